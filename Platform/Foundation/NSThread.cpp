#include "Platform/Foundation/NSThread.h"

#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// Recorded while static objects are made, which happens on the main thread.
const std::thread::id kMainThreadId = std::this_thread::get_id();

struct SleepState {
  std::mutex mutex;
  std::shared_ptr<const NSThread::SleepHandler> handler;
};

SleepState& sleepState() {
  static SleepState* state = new SleepState();  // NOLINT: lives until the process ends
  return *state;
}

}  // namespace

void NSThread::sleepForTimeInterval(double seconds) {
  std::shared_ptr<const SleepHandler> handler;
  {
    std::lock_guard lock(sleepState().mutex);
    handler = sleepState().handler;
  }
  if (handler && *handler) {
    (*handler)(seconds);
    return;
  }
  if (!(seconds > 0) || !std::isfinite(seconds)) return;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

NSThread::SleepHandler NSThread::setSleepHandler(SleepHandler handler) {
  auto next = std::make_shared<const SleepHandler>(std::move(handler));
  std::lock_guard lock(sleepState().mutex);
  auto previous = std::exchange(sleepState().handler, std::move(next));
  return previous ? *previous : SleepHandler();
}

bool NSThread::isMainThread() {
  return std::this_thread::get_id() == kMainThreadId;
}
