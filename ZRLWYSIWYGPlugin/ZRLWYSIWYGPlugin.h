#pragma once
// The plug-in's entry point: the object that the host creates, initialises
// and notifies. It keeps the current screen's name from the host's
// screen-change events, runs "Select Screen" (capture, then the layout
// upload) and sends the test-device requests to the dashboard.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "ZRLWYSIWYGPlugin/ZRLDashboard.h"
#include "ZRLWYSIWYGPlugin/ZRLEventSource.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginVersion.h"
#include "ZorlanSDK/ZorlanPluginInspection.h"
#include "ZorlanSDK/ZorlanSDK.h"

inline constexpr int32_t kWYSIWYGPluginVersion = 113;

// The key that the test-device requests carry in the header "zrl_ios_key".
inline constexpr const char* kZRLTestDeviceAPIKey = "7C4D19E2A05B3F86D1E7420C9B5A6F13";

// Errors that the plug-in reports in its log lines.
inline constexpr const char* ZRLWYSIWYGPluginErrorDomain = "ZRLWYSIWYGPluginErrorDomain";
inline constexpr long ZRLWYSIWYGPluginErrorMissingDeviceID = 1;
inline constexpr long ZRLWYSIWYGPluginErrorMissingHardwareModel = 2;

class ZRLFloatingButton;

class ZRLWYSIWYGPLUGIN_EXPORT ZRLWYSIWYGPlugin
    : public ZorlanPlugin,
      public ZorlanPluginInspection,
      public ZRLEventListener,
      public std::enable_shared_from_this<ZRLWYSIWYGPlugin> {
 public:
  // Told whether the server accepted a test-device request (no error and
  // status 200); false when the request could not be sent.
  using TestDeviceCompletion = std::function<void(bool accepted)>;

  ZRLWYSIWYGPlugin() = default;

  // The plug-in that was initialised last, or one made on first use.
  static std::shared_ptr<ZRLWYSIWYGPlugin> sharedInstance();

  // ZorlanPlugin. The dictionary is not read.
  void initialize(const nlohmann::json& dictionary) override;
  bool start() override { return false; }
  bool stop() override { return false; }

  // ZRLEventListener: a screen change (type 1) makes its identifier the
  // current screen name; other events are ignored.
  void onEvent(const ZRLEventPtr& event) override;

  // "Select Screen": pauses 1.0 second on the calling (main) thread, then
  // captures and uploads the screen named by the latest screen change.
  void selectScreenTapped();
  void captureLayoutInfoOfScreenWithName(const std::optional<std::string>& screenName) override;
  // Returns at once; the body is built and posted on a background queue.
  // An absent screenshot or layout leaves its key out of the body.
  void sendToServerLayoutInfo(std::optional<nlohmann::json> layout,
                              std::optional<std::string> screenName,
                              std::optional<std::string> info);

  // Register or remove this device as a test device of the application.
  void addAsTestDevice(TestDeviceCompletion completion = {});
  void removeTestDevice(TestDeviceCompletion completion = {});

  std::optional<std::string> currActivity() const override;
  // ZorlanPluginInspection: the observer of ZRLEventSource's clients.
  void setPreviewStreamObserver(StreamObserver observer) override;
  // The floating button, made on the main queue after initialize (null
  // before).
  std::shared_ptr<ZRLFloatingButton> zrlButton() const;
  // The preview channel, made by initialize (null before).
  std::shared_ptr<ZRLEventSource> eventSource() const;

  // The upload's body: "screen" (image, orientation, navigation), "layout"
  // and "device_info" (the host's facts with "dimensions" replaced by
  // integer "width" and "height").
  static nlohmann::json layoutUploadBody(std::optional<nlohmann::json> layout,
                                         const std::optional<std::string>& screenName,
                                         std::optional<std::string> screenshot,
                                         const std::optional<nlohmann::json>& deviceFacts);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> currActivity_;
  std::shared_ptr<ZRLEventSource> eventSource_;
  std::shared_ptr<ZRLFloatingButton> zrlButton_;
};
