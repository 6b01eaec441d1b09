#include "Platform/Foundation/NSLog.h"

#include <unistd.h>

#include <sys/syscall.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

struct LogState {
  std::mutex mutex;
  NSLogSink sink;
};

LogState& logState() {
  static LogState* state = new LogState();  // NOLINT: lives until the process ends
  return *state;
}

}  // namespace

std::string NSLogPrefix() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
      1000000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  const long tid = syscall(SYS_gettid);
  return NSStringWithFormat("%s.%06ld+0000 %s[%d:%ld] ", stamp, static_cast<long>(micros),
                            program_invocation_short_name, static_cast<int>(getpid()), tid);
}

void NSLogv(std::string_view message) {
  std::string text(message);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  LogState& state = logState();
  std::lock_guard lock(state.mutex);
  if (state.sink) {
    state.sink(text);
    return;
  }
  std::string line = NSLogPrefix();
  line += text;
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

NSLogSink NSLogSetSink(NSLogSink sink) {
  LogState& state = logState();
  std::lock_guard lock(state.mutex);
  std::swap(state.sink, sink);
  return sink;
}

NSLogCapture::NSLogCapture() {
  previous_ = NSLogSetSink([this](const std::string& message) {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(message);
    }
    changed_.notify_all();
  });
}

NSLogCapture::~NSLogCapture() {
  NSLogSetSink(std::move(previous_));
}

std::vector<std::string> NSLogCapture::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

size_t NSLogCapture::count(std::string_view text) const {
  std::lock_guard lock(mutex_);
  return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
    return l.find(text) != std::string::npos;
  }));
}

bool NSLogCapture::waitFor(std::string_view text, std::chrono::milliseconds timeout,
                           size_t times) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return static_cast<size_t>(std::count_if(
               lines_.begin(), lines_.end(),
               [&](const std::string& l) { return l.find(text) != std::string::npos; })) >= times;
  });
}

void NSLogCapture::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}
