#include "Tools/zrl-events/ZRLEventsHandlerQueue.h"

#include <cstdio>
#include <exception>

namespace {

// The queue whose pass runs on this thread, if any.
thread_local const ZRLEventsHandlerQueue* currentQueue = nullptr;

}  // namespace

std::shared_ptr<ZRLEventsHandlerQueue> ZRLEventsHandlerQueue::make(std::function<void()> idle) {
  return std::make_shared<ZRLEventsHandlerQueue>(std::move(idle));
}

ZRLEventsHandlerQueue::ZRLEventsHandlerQueue(std::function<void()> idle)
    : DispatchQueue("zrl-events.handlers"),
      idle_(std::move(idle)),
      pool_(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0)) {}

void ZRLEventsHandlerQueue::async(dispatch_block_t block) {
  if (!block) return;
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(block));
    if (scheduled_) return;  // the running or queued pass will take it
    scheduled_ = true;
  }
  // The pass holds the queue alive until it has run everything.
  dispatch_async(pool_, [self = shared_from_this()] { self->runPasses(); });
}

void ZRLEventsHandlerQueue::after(std::chrono::nanoseconds delay, dispatch_block_t block) {
  const auto nanoseconds = static_cast<int64_t>(std::max(delay.count(), int64_t{0}));
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, nanoseconds), pool_,
                 [self = shared_from_this(), block = std::move(block)]() mutable {
                   self->async(std::move(block));
                 });
}

bool ZRLEventsHandlerQueue::isCurrent() const {
  return currentQueue == this;
}

bool ZRLEventsHandlerQueue::waitUntilIdle(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return becameIdle_.wait_for(lock, timeout, [&] { return !scheduled_; });
}

void ZRLEventsHandlerQueue::runPasses() {
  currentQueue = this;
  std::vector<dispatch_block_t> running;
  while (true) {
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) {
        scheduled_ = false;
        break;
      }
      running.swap(pending_);
    }
    for (dispatch_block_t& block : running) {
      // A block that throws must not end the pass and leave the rest
      // waiting forever.
      try {
        block();
      } catch (const std::exception& e) {
        std::fprintf(stderr, "zrl-events: uncaught exception in a handler: %s\n", e.what());
      }
    }
    running.clear();  // keeps its capacity for the next pass
    if (idle_) idle_();
  }
  currentQueue = nullptr;
  becameIdle_.notify_all();
}
