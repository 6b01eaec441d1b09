#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"

#include <cmath>
#include <limits>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSThread.h"
#include "ZRLWYSIWYGPlugin/ZRLFloatingButton.h"
#include "ZRLWYSIWYGPlugin/ZRLLayoutHelper.h"
#include "ZRLWYSIWYGPlugin/ZRLLog.h"
#include "ZRLWYSIWYGPlugin/ZRLScreenshotHelper.h"

namespace {

struct SharedInstanceState {
  std::mutex mutex;
  std::shared_ptr<ZRLWYSIWYGPlugin> plugin;
};

SharedInstanceState& sharedState() {
  static SharedInstanceState* state = new SharedInstanceState();  // NOLINT: process lifetime
  return *state;
}

constexpr double kSelectScreenPause = 1.0;

// The whole-number part of a JSON number as an unsigned value: negative
// numbers and NaN give 0, numbers beyond the range saturate, and anything
// that is not a number counts as missing (0).
uint64_t unsignedIntegerValue(const nlohmann::json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer())
    return static_cast<uint64_t>(std::max<int64_t>(0, value.get<int64_t>()));
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (!(number > 0)) return 0;
    if (number >= 18446744073709551615.0) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(number);
  }
  return 0;
}

uint64_t dimension(const nlohmann::json& device, const char* key) {
  const auto dimensions = device.find("dimensions");
  if (dimensions == device.end() || !dimensions->is_object()) return 0;
  const auto entry = dimensions->find(key);
  return entry == dimensions->end() ? 0 : unsignedIntegerValue(*entry);
}

bool accepted(const NSHTTPURLResponsePtr& response, const NSErrorPtr& error) {
  return !error && response && response->statusCode() == 200;
}

std::shared_ptr<const NSError> missingValueError(long code, const char* description) {
  return NSError::errorWithDomain(ZRLWYSIWYGPluginErrorDomain, code, description);
}

void finish(const ZRLWYSIWYGPlugin::TestDeviceCompletion& completion, bool result) {
  if (completion) completion(result);
}

}  // namespace

std::shared_ptr<ZRLWYSIWYGPlugin> ZRLWYSIWYGPlugin::sharedInstance() {
  SharedInstanceState& state = sharedState();
  std::lock_guard lock(state.mutex);
  if (!state.plugin) state.plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  return state.plugin;
}

void ZRLWYSIWYGPlugin::initialize(const nlohmann::json& /*dictionary*/) {
  auto self = shared_from_this();
  {
    SharedInstanceState& state = sharedState();
    std::lock_guard lock(state.mutex);
    state.plugin = self;
  }
  // The task keeps the plug-in alive until it has run.
  dispatch_async(dispatch_get_main_queue(), [self] {
    auto button = ZRLFloatingButton::make();
    std::lock_guard lock(self->mutex_);
    self->zrlButton_ = std::move(button);
  });
  ZRLController::sharedController()->registerForEventWithType(ZRLEventTypeScreenChange, self);
  auto channel = std::make_shared<ZRLEventSource>();
  std::shared_ptr<ZRLEventSource> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::exchange(eventSource_, channel);
  }
  // A channel that is replaced closes its stream as it goes.
  previous.reset();
  channel->connect();
  ZRLLogInfo("-[ZRLWYSIWYGPlugin initialize:]", "WYSIWYG Plugin (%d) - Initialized",
             kWYSIWYGPluginVersion);
}

std::shared_ptr<ZRLFloatingButton> ZRLWYSIWYGPlugin::zrlButton() const {
  std::lock_guard lock(mutex_);
  return zrlButton_;
}

void ZRLWYSIWYGPlugin::onEvent(const ZRLEventPtr& event) {
  if (!event || event->eventType() != ZRLEventTypeScreenChange) return;
  std::lock_guard lock(mutex_);
  currActivity_ = event->identifier();
}

std::optional<std::string> ZRLWYSIWYGPlugin::currActivity() const {
  std::lock_guard lock(mutex_);
  return currActivity_;
}

void ZRLWYSIWYGPlugin::setPreviewStreamObserver(StreamObserver observer) {
  ZRLEventSource::setClientObserver(std::move(observer));
}

std::shared_ptr<ZRLEventSource> ZRLWYSIWYGPlugin::eventSource() const {
  std::lock_guard lock(mutex_);
  return eventSource_;
}

void ZRLWYSIWYGPlugin::selectScreenTapped() {
  if (auto channel = eventSource()) channel->connect();
  NSThread::sleepForTimeInterval(kSelectScreenPause);
  captureLayoutInfoOfScreenWithName(currActivity());
}

void ZRLWYSIWYGPlugin::captureLayoutInfoOfScreenWithName(
    const std::optional<std::string>& screenName) {
  // The layout is always taken before the screenshot.
  std::optional<nlohmann::json> layout = ZRLLayoutHelper().constructViewHierarchy();
  std::optional<std::string> screenshot =
      ZRLScreenshotHelper::getBase64EncodedStringForCurrentScreen();
  sendToServerLayoutInfo(std::move(layout), screenName, std::move(screenshot));
}

nlohmann::json ZRLWYSIWYGPlugin::layoutUploadBody(
    std::optional<nlohmann::json> layout, const std::optional<std::string>& screenName,
    std::optional<std::string> screenshot, const std::optional<nlohmann::json>& deviceFacts) {
  nlohmann::json screen = nlohmann::json::object();
  if (screenshot) screen["image"] = std::move(*screenshot);
  screen["orientation"] = "portrait";
  if (screenName) screen["navigation"] = *screenName;

  nlohmann::json device =
      deviceFacts && deviceFacts->is_object() ? *deviceFacts : nlohmann::json::object();
  const uint64_t width = dimension(device, "width");
  const uint64_t height = dimension(device, "height");
  device.erase("dimensions");
  device["height"] = height;
  device["width"] = width;

  nlohmann::json body = nlohmann::json::object();
  body["screen"] = std::move(screen);
  if (layout) body["layout"] = std::move(*layout);
  body["device_info"] = std::move(device);
  return body;
}

void ZRLWYSIWYGPlugin::sendToServerLayoutInfo(std::optional<nlohmann::json> layout,
                                              std::optional<std::string> screenName,
                                              std::optional<std::string> info) {
  struct Upload {
    std::optional<nlohmann::json> layout;
    std::optional<std::string> screenName;
    std::optional<std::string> screenshot;
  };
  auto upload =
      std::make_shared<Upload>(Upload{std::move(layout), std::move(screenName), std::move(info)});
  dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0), [upload] {
    std::optional<nlohmann::json> facts;
    if (auto deviceInfo = ZRLController::sharedController()->deviceInfo()) {
      facts = deviceInfo->jsonDictModified();
    }
    nlohmann::json body = layoutUploadBody(std::move(upload->layout), upload->screenName,
                                           std::move(upload->screenshot), facts);
    const std::string address =
        kZRLSSELayoutURL() +
        ZRLPercentEncodedIdentifier(ZRLController::sharedController()->applicationIdentifier());
    ZRLController::sharedController()->postDataToURL(
        address, body, std::nullopt,
        [](const std::optional<NSData>&, const NSHTTPURLResponsePtr& response,
           const NSErrorPtr& error) {
          if (accepted(response, error)) return;
          ZRLLogError(
              "-[ZRLWYSIWYGPlugin sendToServerLayoutInfo:withScreenName:andInfo:]_block_invoke_2",
              "Error while sending wysiwyg data: %@", error);
        });
  });
}

void ZRLWYSIWYGPlugin::addAsTestDevice(TestDeviceCompletion completion) {
  dispatch_async(
      dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0),
      [completion = std::move(completion)] {
        auto controller = ZRLController::sharedController();
        const std::optional<std::string> deviceID = controller->getDeviceID();
        const std::optional<std::string> model = controller->getHardwareModel();
        NSErrorPtr missing;
        if (ZRLUtilities::isInvalidString(deviceID)) {
          missing = missingValueError(ZRLWYSIWYGPluginErrorMissingDeviceID,
                                      "The device identifier is missing.");
        } else if (ZRLUtilities::isInvalidString(model)) {
          missing = missingValueError(ZRLWYSIWYGPluginErrorMissingHardwareModel,
                                      "The hardware model is missing.");
        }
        if (missing) {
          ZRLLogError("-[ZRLWYSIWYGPlugin addAsTestDevice]_block_invoke",
                      "Error adding test device: %@", missing);
          finish(completion, false);
          return;
        }
        const nlohmann::json body = {{"id", *deviceID}, {"model", *model}};
        const std::string address =
            std::string(kZRLAddTestDeviceURL) +
            ZRLPercentEncodedIdentifier(ZRLController::sharedController()->applicationIdentifier());
        ZRLController::sharedController()->postDataToURL(
            address, body, ZRLHeaderFields{{"zrl_ios_key", kZRLTestDeviceAPIKey}},
            [completion](const std::optional<NSData>&, const NSHTTPURLResponsePtr& response,
                         const NSErrorPtr& error) {
              const bool ok = accepted(response, error);
              if (ok) {
                ZRLLogInfo("-[ZRLWYSIWYGPlugin addAsTestDevice]_block_invoke_2",
                           "Added as test device");
              } else {
                ZRLLogError("-[ZRLWYSIWYGPlugin addAsTestDevice]_block_invoke_2",
                            "Error adding test device: %@", error);
              }
              finish(completion, ok);
            });
      });
}

void ZRLWYSIWYGPlugin::removeTestDevice(TestDeviceCompletion completion) {
  auto controller = ZRLController::sharedController();
  const std::optional<std::string> deviceID = controller->getDeviceID();
  if (ZRLUtilities::isInvalidString(deviceID)) {
    ZRLLogError("-[ZRLWYSIWYGPlugin removeTestDevice]", "Error removing test device: %@",
                missingValueError(ZRLWYSIWYGPluginErrorMissingDeviceID,
                                  "The device identifier is missing."));
    finish(completion, false);
    return;
  }
  std::string path(kZRLRemoveTestDeviceURL);
  const std::string placeholder = "<deviceId>";
  const std::string encodedID = ZRLPercentEncodedIdentifier(deviceID);
  for (size_t at = path.find(placeholder); at != std::string::npos;
       at = path.find(placeholder, at + encodedID.size())) {
    path.replace(at, placeholder.size(), encodedID);
  }
  const std::string address =
      path +
      ZRLPercentEncodedIdentifier(ZRLController::sharedController()->applicationIdentifier());
  ZRLController::sharedController()->makeDeleteRequestToURLPath(
      address, ZRLHeaderFields{{"zrl_ios_key", kZRLTestDeviceAPIKey}},
      [completion = std::move(completion)](const std::optional<NSData>&,
                                           const NSHTTPURLResponsePtr& response,
                                           const NSErrorPtr& error) {
        // A 404 means the dashboard no longer knows the device: it is not a
        // test device there, which is what the removal asked for.
        const bool ok =
            accepted(response, error) || (!error && response && response->statusCode() == 404);
        if (ok) {
          ZRLLogInfo("-[ZRLWYSIWYGPlugin removeTestDevice]_block_invoke", "Removed test device");
        } else {
          ZRLLogError("-[ZRLWYSIWYGPlugin removeTestDevice]_block_invoke",
                      "Error removing test device: %@", error);
        }
        finish(completion, ok);
      });
}
