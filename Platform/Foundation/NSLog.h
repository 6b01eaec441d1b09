#pragma once
// The platform's log: each line goes to standard error with a timestamp and
// the process prefix, or to a sink that a test installs to capture lines.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/NSString.h"
#include "Platform/PlatformExport.h"

// Writes one already formatted message (a trailing newline is added when the
// message has none).
PLATFORM_EXPORT void NSLogv(std::string_view message);

template <typename... Args>
void NSLog(std::string_view format, const Args&... args) {
  NSLogv(NSStringWithFormat(format, args...));
}

// Receives each message, without the prefix and without its final newline.
using NSLogSink = std::function<void(const std::string& message)>;

// Installs a sink in place of standard error (an empty sink restores it);
// returns the sink that was installed before.
PLATFORM_EXPORT NSLogSink NSLogSetSink(NSLogSink sink);

// The prefix that a line on standard error starts with:
// "2026-12-06 19:46:45.123456+0000 name[pid:tid] ".
PLATFORM_EXPORT std::string NSLogPrefix();

// Captures every log message while it lives (tests).
class PLATFORM_EXPORT NSLogCapture {
 public:
  NSLogCapture();
  ~NSLogCapture();
  NSLogCapture(const NSLogCapture&) = delete;
  NSLogCapture& operator=(const NSLogCapture&) = delete;

  std::vector<std::string> lines() const;
  // Lines that contain the text.
  size_t count(std::string_view text) const;
  // Waits until at least `times` lines contain the text.
  bool waitFor(std::string_view text, std::chrono::milliseconds timeout, size_t times = 1) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
  NSLogSink previous_;
};
