#pragma once
// An event of the host: type 1 is a screen change whose identifier is the
// screen's name; type 0 carries application states such as "BACKGROUND".

#include <memory>
#include <optional>
#include <string>

#include "ZorlanSDK/ZorlanSDKExport.h"

class ZORLANSDK_EXPORT ZRLEvent {
 public:
  ZRLEvent(unsigned long eventType, std::optional<std::string> identifier)
      : eventType_(eventType), identifier_(std::move(identifier)) {}

  unsigned long eventType() const { return eventType_; }
  const std::optional<std::string>& identifier() const { return identifier_; }

 private:
  unsigned long eventType_;
  std::optional<std::string> identifier_;
};

using ZRLEventPtr = std::shared_ptr<const ZRLEvent>;

inline constexpr unsigned long ZRLEventTypeApplicationState = 0;
inline constexpr unsigned long ZRLEventTypeScreenChange = 1;
