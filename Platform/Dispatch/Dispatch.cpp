#include "Platform/Dispatch/Dispatch.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

namespace {

// The most threads that one global queue's pool grows to while its blocks
// wait; past it, blocks that wait can hold the others up again.
constexpr size_t kMaximumPoolThreads = 256;
// How long a thread beyond the pool's usual number stays without work
// before it goes.
constexpr std::chrono::seconds kSurplusThreadLifetime{2};

// A block that throws must not take a queue's thread down with it: the
// exception is reported and the queue goes on.
void runBlock(const dispatch_block_t& block) noexcept {
  try {
    block();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dispatch: uncaught exception in a block: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "dispatch: uncaught exception in a block\n");
  }
}

template <typename Executor>
void runAfter(const Executor& timerExecutor, std::chrono::nanoseconds delay,
              std::function<void()> fire) {
  auto timer = std::make_shared<asio::steady_timer>(timerExecutor);
  timer->expires_after(std::max(delay, std::chrono::nanoseconds::zero()));
  timer->async_wait([timer, fire = std::move(fire)](const std::error_code& ec) {
    if (!ec) fire();
  });
}

size_t poolThreadCount() {
  const size_t hardware = std::max<size_t>(1, std::thread::hardware_concurrency());
  return std::max<size_t>(4, 2 * hardware);
}

// The threads behind a global queue (and the serial queues made on it): an
// Asio io_context run by a set of threads that grows and shrinks. It keeps
// its usual number of threads free to run blocks: a block that waits for
// another queue (dispatch_sync) says so, and if that would leave fewer free
// threads, one more is started, up to kMaximumPoolThreads. A thread that
// has found no work for kSurplusThreadLifetime goes again while there are
// more free threads than the usual number. The queueing, the order and the
// strands are Asio's; this only decides how many threads call run.
class WorkerPool {
 public:
  WorkerPool(std::string name, size_t usualThreads)
      : name_(std::move(name)), usual_(usualThreads), guard_(asio::make_work_guard(io_)) {
    std::lock_guard lock(mutex_);
    while (threads_ < usual_)
      startThreadLocked();
  }
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  asio::io_context& io() { return io_; }
  asio::io_context::executor_type executor() const { return io_.get_executor(); }

  // The pool whose thread is calling, or null.
  static WorkerPool* current() { return current_; }

  // The calling thread (one of this pool's) is about to wait, and then has
  // stopped waiting.
  void waitBegins() {
    std::lock_guard lock(mutex_);
    ++waiting_;
    if (threads_ - waiting_ < usual_ && threads_ < kMaximumPoolThreads && !stopping_) {
      startThreadLocked();
    }
  }
  void waitEnds() {
    std::lock_guard lock(mutex_);
    --waiting_;
  }

  // Drops the work not yet started and waits for every thread to end.
  void stop() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    guard_.reset();
    io_.stop();
    // A program that exits from inside a block does not wait for itself.
    const size_t calling = current_ == this ? 1 : 0;
    ended_.wait(lock, [this, calling] { return threads_ == calling; });
  }

 private:
  void startThreadLocked() {
    ++threads_;
    std::thread thread([this] { work(); });
    pthread_setname_np(thread.native_handle(), name_.substr(0, 15).c_str());
    thread.detach();
  }

  void work() {
    current_ = this;
    for (;;) {
      const size_t ran = io_.run_one_for(kSurplusThreadLifetime);
      if (io_.stopped()) break;
      if (ran != 0) continue;
      std::lock_guard lock(mutex_);
      if (threads_ - waiting_ > usual_) break;
    }
    std::lock_guard lock(mutex_);
    --threads_;
    ended_.notify_all();
  }

  static thread_local WorkerPool* current_;

  const std::string name_;
  const size_t usual_;
  mutable asio::io_context io_;  // mutable: asking for its executor is not a change
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::mutex mutex_;
  std::condition_variable ended_;
  size_t threads_ = 0;  // under mutex_
  size_t waiting_ = 0;  // under mutex_
  bool stopping_ = false;
};

thread_local WorkerPool* WorkerPool::current_ = nullptr;

class MainQueue final : public DispatchQueue {
 public:
  MainQueue() : DispatchQueue("com.apple.main-thread"), guard_(asio::make_work_guard(io_)) {}
  bool isSerial() const override { return true; }
  void async(dispatch_block_t block) override {
    asio::post(io_, [block = std::move(block)] { runBlock(block); });
  }
  void after(std::chrono::nanoseconds delay, dispatch_block_t block) override {
    runAfter(io_.get_executor(), delay, [block = std::move(block)] { runBlock(block); });
  }
  bool isCurrent() const override { return io_.get_executor().running_in_this_thread(); }

  asio::io_context& io() { return io_; }
  std::atomic<bool>& stopRequested() { return stopRequested_; }

 private:
  mutable asio::io_context io_;  // mutable: asking for its executor is not a change
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::atomic<bool> stopRequested_{false};
};

class GlobalQueue final : public DispatchQueue {
 public:
  GlobalQueue(std::string label, WorkerPool& pool) : DispatchQueue(std::move(label)), pool_(pool) {}
  bool isSerial() const override { return false; }
  void async(dispatch_block_t block) override {
    asio::post(pool_.io(), [block = std::move(block)] { runBlock(block); });
  }
  void after(std::chrono::nanoseconds delay, dispatch_block_t block) override {
    runAfter(pool_.executor(), delay, [block = std::move(block)] { runBlock(block); });
  }
  bool isCurrent() const override { return pool_.executor().running_in_this_thread(); }

 private:
  WorkerPool& pool_;
};

// A serial queue is a strand over the default pool: it costs no thread of
// its own, so a process can hold thousands of them.
class SerialQueue final : public DispatchQueue {
 public:
  SerialQueue(std::string label, WorkerPool& pool)
      : DispatchQueue(std::move(label)), pool_(pool), strand_(asio::make_strand(pool.io())) {}
  bool isSerial() const override { return true; }
  void async(dispatch_block_t block) override {
    asio::post(strand_, [block = std::move(block)] { runBlock(block); });
  }
  void after(std::chrono::nanoseconds delay, dispatch_block_t block) override {
    runAfter(pool_.executor(), delay, [strand = strand_, block = std::move(block)]() mutable {
      asio::post(strand, [block = std::move(block)] { runBlock(block); });
    });
  }
  bool isCurrent() const override { return strand_.running_in_this_thread(); }

 private:
  WorkerPool& pool_;
  asio::strand<asio::io_context::executor_type> strand_;
};

// The process-wide queues. Never destroyed: blocks may still run while other
// static objects are torn down, so the pools are stopped and joined at exit
// instead, before the objects that were made ahead of them go away.
struct Queues {
  Queues()
      : defaultPool("dispatch.default", poolThreadCount()),
        highPool("dispatch.high", poolThreadCount()),
        main(std::make_shared<MainQueue>()),
        defaultQueue(std::make_shared<GlobalQueue>("com.apple.root.default-qos", defaultPool)),
        highQueue(std::make_shared<GlobalQueue>("com.apple.root.user-initiated-qos", highPool)) {
    std::atexit([] {
      Queues& q = instance();
      q.highPool.stop();
      q.defaultPool.stop();
    });
  }

  static Queues& instance() {
    static Queues* queues = new Queues();  // NOLINT: deliberately never destroyed
    return *queues;
  }

  WorkerPool defaultPool;
  WorkerPool highPool;
  std::shared_ptr<MainQueue> main;
  dispatch_queue_t defaultQueue;
  dispatch_queue_t highQueue;
};

MainQueue& mainQueue() {
  return *Queues::instance().main;
}

}  // namespace

dispatch_queue_t dispatch_get_main_queue() {
  return Queues::instance().main;
}

dispatch_queue_t dispatch_get_global_queue(long identifier, unsigned long /*flags*/) {
  Queues& q = Queues::instance();
  return identifier >= DISPATCH_QUEUE_PRIORITY_HIGH ? q.highQueue : q.defaultQueue;
}

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr) {
  Queues& q = Queues::instance();
  std::string name = label != nullptr ? label : "";
  if (attr == DISPATCH_QUEUE_CONCURRENT) {
    return std::make_shared<GlobalQueue>(std::move(name), q.defaultPool);
  }
  return std::make_shared<SerialQueue>(std::move(name), q.defaultPool);
}

void dispatch_async(const dispatch_queue_t& queue, dispatch_block_t block) {
  if (queue && block) queue->async(std::move(block));
}

void dispatch_sync(const dispatch_queue_t& queue, const dispatch_block_t& block) {
  if (!queue || !block) return;
  // A concurrent queue runs a synchronous block on the caller's thread, as
  // the platform does; so does a serial queue that is already current, which
  // would otherwise wait for itself.
  if (!queue->isSerial() || queue->isCurrent()) {
    runBlock(block);
    return;
  }
  std::promise<void> done;
  queue->async([&] {
    runBlock(block);
    done.set_value();
  });
  // A block of a global or serial queue that waits here leaves its pool a
  // thread short; the pool makes up for it, so that the block waited for
  // (and every other) still finds a thread.
  WorkerPool* pool = WorkerPool::current();
  if (pool != nullptr) pool->waitBegins();
  done.get_future().wait();
  if (pool != nullptr) pool->waitEnds();
}

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
  if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
  int64_t base = static_cast<int64_t>(std::min<dispatch_time_t>(when, INT64_MAX));
  if (when == DISPATCH_TIME_NOW) {
    base = std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count();
  }
  const int64_t result = (delta > 0 && base > INT64_MAX - delta) ? INT64_MAX : base + delta;
  return static_cast<dispatch_time_t>(std::max<int64_t>(result, 1));
}

void dispatch_after(dispatch_time_t when, const dispatch_queue_t& queue, dispatch_block_t block) {
  if (!queue || !block || when == DISPATCH_TIME_FOREVER) return;
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const auto at = when == DISPATCH_TIME_NOW
                      ? now
                      : std::chrono::nanoseconds(static_cast<int64_t>(std::min<dispatch_time_t>(
                            when, static_cast<dispatch_time_t>(INT64_MAX))));
  queue->after(std::chrono::duration_cast<std::chrono::nanoseconds>(at - now), std::move(block));
}

void DispatchMainLoop::run() {
  MainQueue& main = mainQueue();
  while (!main.stopRequested().exchange(false)) {
    main.io().restart();
    main.io().run();
  }
}

bool DispatchMainLoop::runUntil(const std::function<bool()>& condition,
                                std::chrono::milliseconds timeout) {
  MainQueue& main = mainQueue();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  constexpr auto kSlice = std::chrono::milliseconds(5);
  while (!condition()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    main.io().restart();
    main.io().run_one_for(std::min<std::chrono::steady_clock::duration>(deadline - now, kSlice));
  }
  return true;
}

void DispatchMainLoop::drain() {
  MainQueue& main = mainQueue();
  main.io().restart();
  main.io().poll();
}

void DispatchMainLoop::stop() {
  MainQueue& main = mainQueue();
  main.stopRequested() = true;
  main.io().stop();
}
