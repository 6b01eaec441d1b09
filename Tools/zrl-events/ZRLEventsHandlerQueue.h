#pragma once
// The serial queue on which zrl-events' handlers run. Blocks run one at a
// time in the order queued, never inside async(), on a thread of the global
// queue; each pass takes every block queued since the last one, and when a
// pass has run them all, the queue calls its idle hook (where the printer
// writes the lines of the pass at once). A fast stream thus costs one pass
// and one write per burst of records, a slow one a write per record.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Platform/Dispatch/Dispatch.h"

class ZRLEventsHandlerQueue final : public DispatchQueue,
                                    public std::enable_shared_from_this<ZRLEventsHandlerQueue> {
 public:
  // idle runs on the queue, after the last block of each pass.
  static std::shared_ptr<ZRLEventsHandlerQueue> make(std::function<void()> idle);

  bool isSerial() const override { return true; }
  void async(dispatch_block_t block) override;
  void after(std::chrono::nanoseconds delay, dispatch_block_t block) override;
  bool isCurrent() const override;

  // Waits until no pass runs and no block waits; false on time-out.
  bool waitUntilIdle(std::chrono::milliseconds timeout);

  explicit ZRLEventsHandlerQueue(std::function<void()> idle);

 private:
  void runPasses();

  const std::function<void()> idle_;
  const dispatch_queue_t pool_;
  std::mutex mutex_;
  std::condition_variable becameIdle_;
  std::vector<dispatch_block_t> pending_;
  bool scheduled_ = false;  // a pass is queued or running
};
