// zrl-demo: the plug-in end to end on one machine. It starts a local HTTPS
// dashboard, embeds the plug-in in the stand-in host, posts screen changes,
// runs "Select Screen", registers and removes the test device, pushes a
// preview on the live stream, and prints what the dashboard received and
// what the plug-in logged.

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <future>
#include <iostream>
#include <mutex>
#include <string>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "Platform/Net/NSURLSession.h"
#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "ZRLRTAPlugin/ZRLRTAPlugin.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"

using namespace std::chrono_literals;

namespace {

std::mutex outputMutex;

void say(const std::string& text) {
  std::lock_guard lock(outputMutex);
  std::cout << text << std::endl;
}

// Long strings (the screenshot) are shortened so that the body stays readable.
nlohmann::json shortened(const nlohmann::json& value) {
  if (value.is_string() && value.get_ref<const std::string&>().size() > 80) {
    const auto& text = value.get_ref<const std::string&>();
    return text.substr(0, 60) + "... (" + std::to_string(text.size()) + " characters)";
  }
  if (value.is_structured()) {
    nlohmann::json copy = value;
    for (auto& item : copy)
      item = shortened(item);
    return copy;
  }
  return value;
}

void printRequest(const ZRLLocalRequest& request) {
  std::string text = "dashboard <- " + request.method() + " " + request.target();
  for (const char* name : {"Content-Type", "zrl_ios_key", "Last-Event-ID"}) {
    if (auto value = request.header(name)) text += "\n    " + std::string(name) + ": " + *value;
  }
  if (!request.body().empty()) {
    const auto body = nlohmann::json::parse(request.body(), nullptr, false);
    std::string printed = body.is_discarded() ? request.body() : shortened(body).dump(2);
    for (size_t at = printed.find('\n'); at != std::string::npos; at = printed.find('\n', at + 5)) {
      printed.replace(at, 1, "\n    ");
    }
    text += "\n    body: " + printed;
  }
  say(text);
}

bool waitFor(std::future<void>& future, const char* what) {
  if (future.wait_for(15s) == std::future_status::ready) return true;
  say(std::string("demo: timed out waiting for ") + what);
  return false;
}

}  // namespace

int main() {
  std::string folder = (std::filesystem::temp_directory_path() / "zrl-demo-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror("zrl-demo: cannot make a temporary folder");
    return 1;
  }
  std::string error;
  auto certificate = ZRLLocalCertificate::generate(folder, &error);
  if (!certificate) {
    std::cerr << "zrl-demo: cannot make a certificate: " << error << "\n";
    return 1;
  }

  // The local dashboard: layout uploads, test devices, the preview stream.
  ZRLLocalServer dashboard({.certificate = certificate});
  std::promise<void> uploaded;
  std::promise<void> streamOpened;
  std::shared_ptr<ZRLLocalStream> stream;
  std::mutex streamMutex;
  dashboard.route("POST", "/v1/api/layout",
                  [&](const ZRLLocalRequest& request, ZRLLocalResponder& r) {
                    printRequest(request);
                    r.respond(200, {{"Content-Type", "application/json"}}, "{\"status\":\"ok\"}");
                    uploaded.set_value();
                  });
  dashboard.route("POST", "/v2/frontendapi/ios/test-devices",
                  [](const ZRLLocalRequest& request, ZRLLocalResponder& r) {
                    printRequest(request);
                    r.respond(200, {{"Content-Type", "application/json"}}, "{}");
                  });
  dashboard.setFallback([](const ZRLLocalRequest& request, ZRLLocalResponder& responder) {
    printRequest(request);
    const bool removal = request.method() == "DELETE" &&
                         request.path().starts_with("/v2/frontendapi/ios/test-devices/");
    responder.respond(removal ? 200 : 404);
  });
  dashboard.route(
      "GET", "/v1/api/sse-ui-config", [&](const ZRLLocalRequest& request, ZRLLocalResponder& r) {
        printRequest(request);
        std::lock_guard lock(streamMutex);
        const bool first = !stream;
        stream =
            r.stream(200, {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-cache"}});
        if (first) streamOpened.set_value();
      });
  if (!dashboard.start(&error)) {
    std::cerr << "zrl-demo: cannot start the local dashboard: " << error << "\n";
    return 1;
  }
  say("local dashboard listening at " + dashboard.baseURL());

  // The host: the stand-in SDK, pointed at the local dashboard.
  NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(certificate->certificateFile());
  NSUserDefaults::setStandardUserDefaultsPath(std::filesystem::path(folder) / "defaults.json");
  ZRLDashboard::setHost("127.0.0.1:" + std::to_string(dashboard.port()));
  auto host = ZRLController::sharedController();
  host->setApplicationIdentifier("com.zorlan.demo");
  host->setDeviceID("5E1F2A3B-4C5D-4E6F-8A9B-0C1D2E3F4A5B");
  host->setServerURL(dashboard.baseURL());
  host->setCertificateAuthorityFile(certificate->certificateFile());
  NSLogSetSink([](const std::string& line) { say("log: " + line); });
  ZRLPreviewBuilder::setObserver([](const std::string& type, const nlohmann::json& config) {
    say("preview shown by the UI plug-in: " + type + " " + config.dump());
  });

  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  plugin->initialize(nlohmann::json::object());
  auto opened = streamOpened.get_future();
  if (!waitFor(opened, "the preview stream")) return 1;

  host->postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeScreenChange, "Home"));
  host->postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeScreenChange, "Checkout"));
  host->waitUntilEventsDelivered();
  say("app: screen changed to Home, then Checkout; the plug-in keeps " +
      plugin->currActivity().value_or("(null)"));

  say("app: tapping Select Screen (the plug-in pauses 1 second on the main thread)");
  auto upload = uploaded.get_future();
  dispatch_async(dispatch_get_main_queue(),
                 [] { ZRLWYSIWYGPlugin::sharedInstance()->selectScreenTapped(); });
  DispatchMainLoop::runUntil([&] { return upload.wait_for(0s) == std::future_status::ready; }, 15s);
  if (!waitFor(upload, "the layout upload")) return 1;

  std::promise<bool> added;
  plugin->addAsTestDevice([&](bool accepted) { added.set_value(accepted); });
  auto addResult = added.get_future();
  if (addResult.wait_for(15s) != std::future_status::ready || !addResult.get()) {
    say("demo: the test device was not added");
    return 1;
  }

  // A marketer pushes a coach mark from the dashboard; the device shows it.
  const nlohmann::json preview = {
      {"ui", {{"display_type", "coach_mark"}, {"title", "Try the new checkout"}}},
      {"campaign_id", "demo-1"}};
  {
    std::lock_guard lock(streamMutex);
    stream->write("id: 1\nevent: preview\ndata: " + preview.dump() + "\n\n");
  }
  if (!ZRLCoachMarkHelper::sharedHelper()->waitForConfigurations(1, 15s)) {
    say("demo: the preview did not arrive");
    return 1;
  }

  std::promise<bool> removed;
  plugin->removeTestDevice([&](bool accepted) { removed.set_value(accepted); });
  auto removeResult = removed.get_future();
  if (removeResult.wait_for(15s) != std::future_status::ready || !removeResult.get()) {
    say("demo: the test device was not removed");
    return 1;
  }

  say("demo: done: " + std::to_string(dashboard.requestCount()) +
      " requests reached the local dashboard");
  NSLogSetSink(nullptr);
  if (auto channel = plugin->eventSource()) {
    if (auto client = channel->client()) client->close();
  }
  dashboard.stop();
  std::filesystem::remove_all(folder);
  return 0;
}
