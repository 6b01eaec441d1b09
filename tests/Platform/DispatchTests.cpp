#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSThread.h"

using namespace std::chrono_literals;

namespace {

size_t threadCount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

}  // namespace

TEST(Dispatch, MainAndSerialQueuesRunTheirBlocksWhereAndWhenTheyShould) {
  std::vector<int> order;
  bool onMain = true;
  for (int i = 0; i < 5; ++i) {
    dispatch_async(dispatch_get_main_queue(), [&, i] {
      onMain = onMain && NSThread::isMainThread() && dispatch_get_main_queue()->isCurrent();
      order.push_back(i);
    });
  }
  EXPECT_TRUE(order.empty()) << "blocks must wait for the main loop";
  ASSERT_TRUE(DispatchMainLoop::runUntil([&] { return order.size() == 5; }, 20s));
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(onMain);
  EXPECT_FALSE(DispatchMainLoop::runUntil([] { return false; }, 10ms));

  // stop() from another thread ends run().
  std::atomic<bool> ran{false};
  dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0), [&] {
    dispatch_async(dispatch_get_main_queue(), [&] {
      ran = true;
      DispatchMainLoop::stop();
    });
  });
  DispatchMainLoop::run();
  EXPECT_TRUE(ran);

  // A serial queue outlives a throwing block and runs a sync block from its
  // own block. (That it runs its blocks one at a time in order is checked
  // by the event-stream client's tests, whose listeners run on one and
  // count records out of order; that dispatch_after waits its delay, by the
  // client's retry tests.)
  auto queue = dispatch_queue_create("test.serial", DISPATCH_QUEUE_SERIAL);
  dispatch_async(queue, [] { throw std::runtime_error("boom"); });
  std::promise<void> nested;
  dispatch_async(queue, [&] {
    EXPECT_TRUE(queue->isCurrent());
    dispatch_sync(queue, [&] { nested.set_value(); });
  });
  EXPECT_EQ(nested.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(queue->isCurrent());
}

TEST(Dispatch, BlocksThatWaitForAnotherQueueDoNotStarveItAndTheExtraThreadsGo) {
  auto global = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0);
  // Let the pools start before counting threads.
  dispatch_sync(global, [] {});
  const size_t before = threadCount();

  constexpr int kWaiting = 64;
  auto serial = dispatch_queue_create("test.starve", DISPATCH_QUEUE_SERIAL);
  std::mutex mutex;
  std::condition_variable changed;
  int arrived = 0;
  int finished = 0;
  const auto count = [&](int& counter) {
    std::lock_guard lock(mutex);
    ++counter;
    changed.notify_all();
  };
  for (int i = 0; i < kWaiting; ++i) {
    dispatch_async(global, [&] {
      count(arrived);
      // Every waiting block holds a thread of the pool that the serial
      // queue runs on; the first serial block runs only once all 64 wait.
      dispatch_sync(serial, [&] {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 20s, [&] { return arrived == kWaiting; });
      });
      count(finished);
    });
  }
  std::unique_lock lock(mutex);  // nothing takes it once all have finished
  ASSERT_TRUE(changed.wait_for(lock, 30s, [&] { return finished == kWaiting; }))
      << arrived << " arrived, " << finished << " finished";

  // The threads started for the waiting blocks go once idle.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (threadCount() > before + 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);  // a state nothing signals: threads ending
  }
  EXPECT_LE(threadCount(), before + 2);
}
