#pragma once
// zrl-events' standard output: lines are appended from the handler queue
// and written by a thread of its own, which takes everything appended while
// it was writing in one write call. A reader waiting for a line gets it as
// soon as the writer is free; a fast stream costs a few large writes instead
// of one per record.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class ZRLEventsOutput {
 public:
  // Appending waits while this much is still unwritten, so that a slow
  // reader holds back the handlers instead of filling memory.
  static constexpr size_t kMaximumPendingBytes = size_t{4} << 20;

  // Writes to the file descriptor, which stays open. onFailure is called
  // once, on the writer's thread, with the errno of a write that failed.
  explicit ZRLEventsOutput(int fd, std::function<void(int error)> onFailure = {});
  // Finishes.
  ~ZRLEventsOutput();
  ZRLEventsOutput(const ZRLEventsOutput&) = delete;
  ZRLEventsOutput& operator=(const ZRLEventsOutput&) = delete;

  // Queues whole lines; any thread. Once finish() has begun, or a write
  // has failed, the text is dropped.
  void append(std::string_view lines);
  // Writes what was appended before the call, stops the writer and
  // returns 0, or the errno of the write that failed. Later calls return
  // the same.
  int finish();
  // The errno of a failed write, or 0; any thread.
  int error() const;

 private:
  void run();

  const int fd_;
  const std::function<void(int error)> onFailure_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;     // the writer: text arrived or finishing
  std::condition_variable drained_;  // appenders: the pending text shrank
  std::string pending_;
  bool finishing_ = false;
  bool writerWaiting_ = false;
  int error_ = 0;
  std::thread writer_;
};
