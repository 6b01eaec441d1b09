#pragma once
// What a program that runs the host for a person or a test to watch (the
// simulator) may ask of a loaded plug-in beyond its protocol, so that it
// needs neither the plug-in's headers nor its library. A plug-in implements
// it beside ZorlanPlugin; the program finds it with dynamic_pointer_cast.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ZorlanSDK/ZorlanSDKExport.h"

class LDEventSource;

class ZORLANSDK_EXPORT ZorlanPluginInspection {
 public:
  // Called with every event-stream client that the plug-in's preview
  // channel makes, before the client opens.
  using StreamObserver = std::function<void(const std::shared_ptr<LDEventSource>& client)>;

  virtual ~ZorlanPluginInspection() = default;

  // The name of the screen that the host's latest screen-change event named.
  virtual std::optional<std::string> currActivity() const = 0;
  // Captures the key window's layout and screenshot as "Select Screen" does,
  // without its pause, and hands the upload to the host's controller.
  virtual void captureLayoutInfoOfScreenWithName(const std::optional<std::string>& screenName) = 0;
  // For every channel of the plug-in; an empty observer stops observing.
  virtual void setPreviewStreamObserver(StreamObserver observer) = 0;
};
