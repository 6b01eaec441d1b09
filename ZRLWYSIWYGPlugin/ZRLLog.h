#pragma once
// The plug-in's log lines, "<ZRL INFO|ERROR|DEBUG> message location:line",
// gated by the host's LOG_LEVEL at the moment of logging. The message of a
// gated line is formatted (and its arguments read) only when it is written.

#include <string_view>

#include "Platform/Foundation/NSLog.h"
#include "ZorlanSDK/ZorlanSDK.h"

inline bool ZRLLogErrorEnabled() {
  return LOG_LEVEL.load() <= 3;
}
inline bool ZRLLogDebugEnabled() {
  return LOG_LEVEL.load() <= 1;
}

template <typename... Args>
void ZRLLogLine(std::string_view lineFormat, const char* location, int line,
                std::string_view format, const Args&... args) {
  NSLog(lineFormat, NSStringWithFormat(format, args...), location, line);
}

// Location: the operation's name in the platform's form, e.g.
// "-[ZRLWYSIWYGPlugin initialize:]", or "..._block_invoke" for a closure.
#define ZRLLogInfo(location, ...) \
  ZRLLogLine("<ZRL INFO> %@ %s:%d\n", location, __LINE__, __VA_ARGS__)
#define ZRLLogError(location, ...)                                           \
  do {                                                                       \
    if (ZRLLogErrorEnabled())                                                \
      ZRLLogLine("<ZRL ERROR> %@ %s:%d\n", location, __LINE__, __VA_ARGS__); \
  } while (false)
#define ZRLLogDebug(location, ...)                                           \
  do {                                                                       \
    if (ZRLLogDebugEnabled())                                                \
      ZRLLogLine("<ZRL DEBUG> %@ %s:%d\n", location, __LINE__, __VA_ARGS__); \
  } while (false)
