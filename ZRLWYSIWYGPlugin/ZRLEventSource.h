#pragma once
// The preview channel: a subscription to the dashboard's stream of campaign
// configurations for this application. Each configuration that arrives is
// handed at once to the UI plug-in's builder for its display type.

#include <functional>
#include <memory>
#include <mutex>

#include "LDEventSource/LDEventSource.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h"

class ZRLWYSIWYGPLUGIN_EXPORT ZRLEventSource {
 public:
  ZRLEventSource() = default;
  // Closes the channel's stream.
  ~ZRLEventSource();
  ZRLEventSource(const ZRLEventSource&) = delete;
  ZRLEventSource& operator=(const ZRLEventSource&) = delete;

  // Opens the subscription and returns at once. A channel keeps one live
  // stream: a further connect closes the old one and opens a new one that
  // starts from the old one's last event ID, so that nothing pushed during
  // the swap is lost and no message reaches a builder twice.
  void connect();

  // The stream that the channel holds (null before the first connect).
  std::shared_ptr<LDEventSource> client() const;

  // What the channel does with one message of the stream.
  static void handleMessage(const LDEventPtr& event);

  // Called with every stream a channel makes, before it opens, so that a
  // tool can follow the traffic (the simulator prints it). Empty: none.
  using ClientObserver = std::function<void(const std::shared_ptr<LDEventSource>& client)>;
  static void setClientObserver(ClientObserver observer);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<LDEventSource> client_;
};
