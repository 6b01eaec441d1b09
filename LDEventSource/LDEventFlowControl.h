#pragma once
// Part of the event-stream client: the bound on records handed to the
// listener queue whose calls have not all run yet, which holds the data
// task back while a slow listener catches up.

#include <atomic>
#include <cstddef>
#include <mutex>

#include "LDEventSource/LDEventSourceExport.h"
#include "Platform/Net/NSURLSession.h"

// A small state machine, under its own lock but for the counts:
//
//   Flowing   the data task runs, and each piece is read as it arrives.
//   Holding   the records in flight (or their text) passed their bound
//             after a piece: the task is suspended, which stops the pieces
//             it has read already as well as the network (see
//             NSURLSessionDataTask::suspend).
//
//   Flowing -> Holding   afterPiece(): past the bound
//   Holding -> Flowing   release() (on the listener queue) brought both back
//                        to half of their bound, or afterPiece() found them
//                        there already: the task resumes
//   any     -> Flowing   reset(): a new connection, close(), the task's end
//
// `records` and `bytes` count what admit() added and release() has not
// taken back; release() runs on the listener queue and takes the lock only
// while `holding` is set. afterPiece() sets `holding` before it looks at
// the counts again, and release() lowers the counts before it looks at
// `holding`: either the last release sees the hold, or the hold sees the
// room, so a hold cannot outlive its records.
class LDEVENTSOURCE_EXPORT LDEventFlowControl {
 public:
  LDEventFlowControl(std::size_t maximumRecords, std::size_t maximumBytes)
      : maximumRecords_(maximumRecords), maximumBytes_(maximumBytes) {}

  // Records handed to the listener queue, and the bytes of their text.
  void admit(std::size_t records, std::size_t bytes);
  // Records whose calls have all run.
  void release(std::size_t records, std::size_t bytes);
  // After a piece of the task's body has been read: holds the task if the
  // records in flight are past their bound. Called on the delegate queue.
  void afterPiece(const NSURLSessionDataTaskPtr& task);
  // Forgets a hold (its task is gone or about to be).
  void reset();

  std::size_t records() const { return records_.load(); }

 private:
  bool pastBound() const;
  bool roomAgain() const;

  const std::size_t maximumRecords_;
  const std::size_t maximumBytes_;
  std::mutex mutex_;
  NSURLSessionDataTaskPtr held_;  // the task suspended while Holding
  std::atomic<bool> holding_{false};
  std::atomic<std::size_t> records_{0};
  std::atomic<std::size_t> bytes_{0};
};
