#include "LDEventSource/LDEventFlowControl.h"

void LDEventFlowControl::admit(std::size_t records, std::size_t bytes) {
  records_.fetch_add(records);
  bytes_.fetch_add(bytes);
}

void LDEventFlowControl::release(std::size_t records, std::size_t bytes) {
  records_.fetch_sub(records);
  bytes_.fetch_sub(bytes);
  if (!holding_.load()) return;
  std::lock_guard lock(mutex_);
  if (!held_ || !roomAgain()) return;
  holding_.store(false);
  const NSURLSessionDataTaskPtr task = std::move(held_);
  task->resume();
}

void LDEventFlowControl::afterPiece(const NSURLSessionDataTaskPtr& task) {
  if (!pastBound()) return;
  std::lock_guard lock(mutex_);
  if (held_) return;
  held_ = task;
  holding_.store(true);
  task->suspend();
  // Looked at after `holding_` is set (see above).
  if (roomAgain()) {
    holding_.store(false);
    held_.reset();
    task->resume();
  }
}

void LDEventFlowControl::reset() {
  std::lock_guard lock(mutex_);
  holding_.store(false);
  held_.reset();
}

bool LDEventFlowControl::pastBound() const {
  return records_.load() > maximumRecords_ || bytes_.load() > maximumBytes_;
}

bool LDEventFlowControl::roomAgain() const {
  return records_.load() <= maximumRecords_ / 2 && bytes_.load() <= maximumBytes_ / 2;
}
