#pragma once
// Dispatch queues in the platform's manner: a main queue that the program runs
// on its main thread, global concurrent queues, serial queues and delayed
// execution, all on standalone Asio.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Platform/PlatformExport.h"

using dispatch_block_t = std::function<void()>;

// Nanoseconds on the steady clock; DISPATCH_TIME_NOW stands for "now".
using dispatch_time_t = uint64_t;
inline constexpr dispatch_time_t DISPATCH_TIME_NOW = 0;
inline constexpr dispatch_time_t DISPATCH_TIME_FOREVER = ~0ULL;
inline constexpr int64_t NSEC_PER_SEC = 1000000000LL;
inline constexpr int64_t NSEC_PER_MSEC = 1000000LL;
inline constexpr int64_t NSEC_PER_USEC = 1000LL;

inline constexpr long DISPATCH_QUEUE_PRIORITY_HIGH = 2;
inline constexpr long DISPATCH_QUEUE_PRIORITY_DEFAULT = 0;
inline constexpr long DISPATCH_QUEUE_PRIORITY_LOW = -2;

enum class dispatch_queue_attr_t { serial, concurrent };
inline constexpr dispatch_queue_attr_t DISPATCH_QUEUE_SERIAL = dispatch_queue_attr_t::serial;
inline constexpr dispatch_queue_attr_t DISPATCH_QUEUE_CONCURRENT =
    dispatch_queue_attr_t::concurrent;

// A queue of blocks. Serial queues run one block at a time in submission
// order; concurrent queues run blocks in parallel on their pool's threads.
class PLATFORM_EXPORT DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const { return label_; }
  virtual bool isSerial() const = 0;

  // Runs the block later; never runs it inside the call.
  virtual void async(dispatch_block_t block) = 0;
  // Runs the block once the delay has passed.
  virtual void after(std::chrono::nanoseconds delay, dispatch_block_t block) = 0;
  // True when the calling thread is running a block of this queue.
  virtual bool isCurrent() const = 0;

 protected:
  explicit DispatchQueue(std::string label) : label_(std::move(label)) {}

 private:
  std::string label_;
};

using dispatch_queue_t = std::shared_ptr<DispatchQueue>;

PLATFORM_EXPORT dispatch_queue_t dispatch_get_main_queue();
// identifier: DISPATCH_QUEUE_PRIORITY_HIGH or _DEFAULT (LOW runs with DEFAULT);
// flags: reserved, 0.
PLATFORM_EXPORT dispatch_queue_t dispatch_get_global_queue(long identifier, unsigned long flags);
PLATFORM_EXPORT dispatch_queue_t dispatch_queue_create(const char* label,
                                                       dispatch_queue_attr_t attr);

PLATFORM_EXPORT void dispatch_async(const dispatch_queue_t& queue, dispatch_block_t block);
// Runs the block on the queue and waits for it. Must not be called from a
// block of the same serial queue. A block of a global or serial queue that
// waits here lets its pool start another thread (up to a fixed cap), so the
// block waited for, and every other, still finds one; threads that are no
// longer needed go after a short idle time.
PLATFORM_EXPORT void dispatch_sync(const dispatch_queue_t& queue, const dispatch_block_t& block);
PLATFORM_EXPORT dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
PLATFORM_EXPORT void dispatch_after(dispatch_time_t when, const dispatch_queue_t& queue,
                                    dispatch_block_t block);

// The main run loop: the main queue's blocks run only inside these calls, on
// the thread that makes them (the program's main thread).
class PLATFORM_EXPORT DispatchMainLoop {
 public:
  // Runs the main queue until stop() is called.
  static void run();
  // Runs the main queue until the condition holds (checked after each block
  // and at least every few milliseconds) or the time-out passes; returns
  // whether the condition held. Meant for tests and small programs.
  static bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
  // Runs every main-queue block that is ready now, then returns.
  static void drain();
  // Makes run() return; callable from any thread.
  static void stop();
};
