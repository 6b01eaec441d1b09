#include "Tools/zrl-events/ZRLEventsOutput.h"

#include <unistd.h>

#include <cerrno>

ZRLEventsOutput::ZRLEventsOutput(int fd, std::function<void(int error)> onFailure)
    : fd_(fd), onFailure_(std::move(onFailure)), writer_([this] { run(); }) {}

ZRLEventsOutput::~ZRLEventsOutput() {
  finish();
}

void ZRLEventsOutput::append(std::string_view lines) {
  if (lines.empty()) return;
  bool wakeWriter = false;
  {
    std::unique_lock lock(mutex_);
    drained_.wait(
        lock, [&] { return finishing_ || error_ != 0 || pending_.size() < kMaximumPendingBytes; });
    if (finishing_ || error_ != 0) return;
    pending_.append(lines);
    // A writer that is busy takes this text with its next write; only an
    // idle one needs waking, which keeps a fast stream free of wake-ups.
    wakeWriter = writerWaiting_;
    writerWaiting_ = false;
  }
  if (wakeWriter) wake_.notify_one();
}

int ZRLEventsOutput::finish() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_one();
  drained_.notify_all();
  if (writer_.joinable()) writer_.join();
  return error();
}

int ZRLEventsOutput::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void ZRLEventsOutput::run() {
  std::string writing;
  std::unique_lock lock(mutex_);
  while (true) {
    if (pending_.empty()) {
      if (finishing_ || error_ != 0) return;
      writerWaiting_ = true;
      wake_.wait(lock, [&] { return !pending_.empty() || finishing_; });
      writerWaiting_ = false;
      continue;
    }
    writing.clear();
    writing.swap(pending_);
    lock.unlock();
    drained_.notify_all();

    int failure = 0;
    const char* next = writing.data();
    size_t left = writing.size();
    while (left > 0) {
      const ssize_t written = ::write(fd_, next, left);
      if (written < 0) {
        if (errno == EINTR) continue;
        failure = errno;
        break;
      }
      next += written;
      left -= static_cast<size_t>(written);
    }

    if (failure != 0) {
      lock.lock();
      error_ = failure;
      pending_.clear();
      lock.unlock();
      drained_.notify_all();
      if (onFailure_) onFailure_(failure);
      return;
    }
    lock.lock();
  }
}
