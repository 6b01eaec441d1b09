#include "Tools/zrl-sim/ZRLSimCapture.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <vector>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSData.h"
#include "Tools/zrl-sim/ZRLSimInput.h"
#include "Tools/zrl-sim/ZRLSimScene.h"
#include "ZorlanSDK/ZRLJSONWriter.h"
#include "ZorlanSDK/ZRLPluginLoader.h"
#include "ZorlanSDK/ZorlanPluginInspection.h"
#include "ZorlanSDK/ZorlanSDK.h"

using namespace std::chrono_literals;

namespace {

// Generous: a capture of the largest scene under a sanitizer on a busy
// machine takes well under a second.
constexpr auto kCaptureTimeout = 60s;

// The host as the capture runs it: requests that the plug-in hands to the
// host's HTTP operations are kept here and answered with 200 at once.
class ZRLSimCaptureHost : public ZRLController {
 public:
  std::future<nlohmann::json> nextUpload() {
    std::lock_guard lock(mutex_);
    upload_ = std::promise<nlohmann::json>();
    waiting_ = true;
    return upload_.get_future();
  }

  void postDataToURL(const std::string& url, const nlohmann::json& body,
                     const std::optional<ZRLHeaderFields>& /*headerFields*/,
                     ZRLHTTPCompletionHandler completionHandler) override {
    {
      std::lock_guard lock(mutex_);
      if (waiting_) {
        waiting_ = false;
        upload_.set_value(body);
      }
    }
    auto response =
        std::make_shared<NSHTTPURLResponse>(NSURL::URLWithString(url), 200, NSHTTPHeaderFields());
    completionHandler(std::nullopt, response, nullptr);
  }

 private:
  std::mutex mutex_;
  std::promise<nlohmann::json> upload_;
  bool waiting_ = false;
};

// Files are written under temporary names and renamed at the end, so that
// a failure leaves none of them behind.
class OutputFiles {
 public:
  explicit OutputFiles(std::filesystem::path folder) : folder_(std::move(folder)) {}
  ~OutputFiles() {
    std::error_code ignored;
    for (const auto& [temporary, final] : written_)
      std::filesystem::remove(temporary, ignored);
  }
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  bool write(const std::string& name, std::string_view content, std::string& error) {
    const auto final = folder_ / name;
    const auto temporary = folder_ / ("." + name + ".tmp");
    written_.emplace_back(temporary, final);
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    file.close();
    if (!file) {
      error = temporary.string() + ": cannot be written";
      return false;
    }
    return true;
  }

  bool commit(std::string& error) {
    for (const auto& [temporary, final] : written_) {
      std::error_code failure;
      std::filesystem::rename(temporary, final, failure);
      if (failure) {
        error = final.string() + ": " + failure.message();
        return false;
      }
    }
    written_.clear();
    return true;
  }

 private:
  std::filesystem::path folder_;
  std::vector<std::pair<std::filesystem::path, std::filesystem::path>> written_;
};

size_t countNodes(const nlohmann::json& layout) {
  size_t count = 0;
  std::vector<const nlohmann::json*> pending{&layout};
  while (!pending.empty()) {
    const nlohmann::json* nodes = pending.back();
    pending.pop_back();
    if (!nodes->is_array()) continue;
    for (const auto& node : *nodes) {
      ++count;
      if (const auto views = node.find("views"); views != node.end()) pending.push_back(&*views);
    }
  }
  return count;
}

int fail(int status, const std::string& message) {
  std::cerr << "zrl-sim: " << message << std::endl;
  return status;
}

}  // namespace

int ZRLSimRunCapture(const ZRLSimCaptureOptions& options) {
  std::string error;
  const std::optional<ZRLSimScene> scene = ZRLSimScene::loadFile(options.scenePath, error);
  if (!scene) return fail(kZRLSimExitUsage, error);
  const std::string screenName = options.screenName.value_or(scene->initialScreen());
  if (scene->screenNamed(screenName) == nullptr) {
    return fail(kZRLSimExitUsage,
                options.scenePath + ": no screen is named \"" + screenName + "\"");
  }

  // The capture is the plug-in's: without one there is nothing to write.
  const std::shared_ptr<ZorlanPlugin> found = ZRLPluginLoader::load(ZRLSimWriteErrorLine).plugin;
  const auto plugin = std::dynamic_pointer_cast<ZorlanPluginInspection>(found);
  const auto listener = std::dynamic_pointer_cast<ZRLEventListener>(found);
  if (!plugin || !listener) return fail(kZRLSimExitFailure, "the capture needs the plug-in");

  auto host = std::make_shared<ZRLSimCaptureHost>();
  host->setApplicationIdentifier("zrl-sim");
  host->setDeviceID("zrl-sim-device");
  host->setHardwareModel("zrl-sim");
  host->setReactNative(scene->isReactNative());
  host->setScreenSize(scene->screenSize().width, scene->screenSize().height);
  ZRLController::setSharedController(host);

  // The plug-in hears screen changes as it does after initialisation; the
  // preview channel and the floating control play no part in a capture.
  host->registerForEventWithType(ZRLEventTypeScreenChange, listener);
  std::future<nlohmann::json> upload = host->nextUpload();

  std::shared_ptr<UIWindow> window;
  bool captured = false;
  dispatch_async(dispatch_get_main_queue(), [&] {
    window = scene->show(screenName);
    host->postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeScreenChange, screenName));
    host->waitUntilEventsDelivered();
    plugin->captureLayoutInfoOfScreenWithName(plugin->currActivity());
    captured = true;
  });
  if (!DispatchMainLoop::runUntil([&] { return captured; }, kCaptureTimeout) ||
      upload.wait_for(kCaptureTimeout) != std::future_status::ready) {
    ZRLController::setSharedController(nullptr);
    return fail(kZRLSimExitFailure, "the capture did not finish");
  }
  const nlohmann::json body = upload.get();
  ZRLController::setSharedController(nullptr);

  std::optional<NSData> png;
  if (const auto screen = body.find("screen"); screen != body.end() && screen->is_object()) {
    if (const auto image = screen->find("image"); image != screen->end() && image->is_string()) {
      png = NSDataFromBase64EncodedString(image->get_ref<const std::string&>());
    }
  }
  if (!png) return fail(kZRLSimExitFailure, "the capture carried no screenshot");
  const nlohmann::json layout = body.value("layout", nlohmann::json::array());

  std::error_code folderError;
  std::filesystem::create_directories(options.outputFolder, folderError);
  if (folderError) {
    return fail(kZRLSimExitFailure, options.outputFolder + ": " + folderError.message());
  }
  OutputFiles files(options.outputFolder);
  if (!files.write("layout.json", ZRLJSONWriter::stringWithJSONObject(layout) + "\n", error) ||
      !files.write("screenshot.png", *png, error) ||
      !files.write("body.json", ZRLJSONWriter::stringWithJSONObject(body) + "\n", error) ||
      !files.commit(error)) {
    return fail(kZRLSimExitFailure, error);
  }
  std::cout << "captured \"" << screenName << "\": " << countNodes(layout) << " views, "
            << scene->screenSize().width << "x" << scene->screenSize().height << " screenshot of "
            << png->size() << " bytes, written to " << options.outputFolder << std::endl;
  return kZRLSimExitSuccess;
}
