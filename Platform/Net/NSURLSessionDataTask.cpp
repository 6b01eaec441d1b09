#include <string>

#include "Platform/Foundation/NSString.h"
#include "Platform/Net/NSURLSessionEngine.h"
#include "Platform/Net/NSURLSessionImpl.h"

NSURLSessionDataTaskImpl::NSURLSessionDataTaskImpl(std::shared_ptr<NSURLSessionImpl> session,
                                                   uint64_t identifier, const NSURLRequest& request,
                                                   NSURLSessionCompletionHandler handler)
    : session_(std::move(session)),
      identifier_(identifier),
      request_(std::make_shared<const NSURLRequest>(request)),
      gathersBody_(handler != nullptr),
      transfer_(std::make_shared<NSURLTransfer>(
          request_, session_->configuration().TLSCertificateAuthorityFile())),
      gathering_(handler ? std::make_unique<Gathering>(Gathering{NSData(), std::move(handler)})
                         : nullptr) {}

NSURLSessionDataTaskImpl::~NSURLSessionDataTaskImpl() {
  session_->forget(identifier_);
}

void NSURLSessionDataTaskImpl::post(dispatch_block_t block) {
  session_->delegateQueue()->async(std::move(block));
}

void NSURLSessionDataTaskImpl::resume() {
  std::unique_lock lock(mutex_);
  const Stage stage = stage_.load();
  if (stage == Stage::Started || stage == Stage::Finished) {
    auto suspended = NSURLSessionTaskState::Suspended;
    if (state_.compare_exchange_strong(suspended, NSURLSessionTaskState::Running)) {
      NSURLSessionEngine::shared().resume(transfer_, NSURLTransfer::Suspended);
      schedulePassLocked();
    }
    return;
  }
  if (stage != Stage::Created) return;  // cancelled before it ran
  const NSURLSessionImpl::Admission admission = session_->admit();
  counted_ = admission.counted;
  if (admission.invalidated) {
    stage_ = Stage::Cancelled;
    state_ = NSURLSessionTaskState::Canceling;
    lock.unlock();
    postEnd(NSURLErrorWithCode(NSURLErrorCancelled), std::nullopt);
    return;
  }
  state_ = NSURLSessionTaskState::Running;
  stage_ = Stage::Started;
  // Still under the lock, so that a cancel() cannot reach the network thread
  // ahead of the start.
  NSURLSessionEngine::shared().start(transfer_, self());
}

void NSURLSessionDataTaskImpl::suspend() {
  std::lock_guard lock(mutex_);
  // Compared and set, so that an end that has just been delivered stays.
  auto running = NSURLSessionTaskState::Running;
  if (stage_.load() == Stage::Created ||
      !state_.compare_exchange_strong(running, NSURLSessionTaskState::Suspended)) {
    return;
  }
  NSURLSessionEngine::shared().pause(transfer_, NSURLTransfer::Suspended);
}

void NSURLSessionDataTaskImpl::cancel() {
  std::unique_lock lock(mutex_);
  const NSURLSessionTaskState state = state_.load();
  if (state == NSURLSessionTaskState::Canceling || state == NSURLSessionTaskState::Completed) {
    return;
  }
  Stage before = stage_.load();
  do {
    // Ended already, unless the network's end still waits in the outbox
    // (the task is suspended): then the cancelled end replaces it.
    if (before == Stage::Cancelled || (before == Stage::Finished && !outbox_.end)) return;
  } while (!stage_.compare_exchange_weak(before, Stage::Cancelled));
  outbox_.end.reset();
  state_ = NSURLSessionTaskState::Canceling;
  outbox_.pieces = {};
  outbox_.next = 0;
  if (before == Stage::Created) {
    counted_ = session_->admit().counted;
  } else {
    NSURLSessionEngine::shared().cancel(transfer_);
  }
  lock.unlock();
  postEnd(NSURLErrorWithCode(NSURLErrorCancelled), std::nullopt);
}

bool NSURLSessionDataTaskImpl::transferDidReceiveResponse(const NSHTTPURLResponsePtr& response) {
  {
    std::lock_guard lock(mutex_);
    response_ = response;
  }
  if (gathersBody_) return false;
  post([task = self(), response] { task->deliverResponse(response); });
  return true;
}

bool NSURLSessionDataTaskImpl::transferShouldPause() {
  if (gathersBody_ || undelivered_.load() <= NSURLSessionMaximumUndeliveredBytes) return false;
  // Announce the pause before looking again, so that the delegate queue,
  // which drains and then checks the flag, cannot miss it: either it sees
  // the flag and resumes the transfer, or this sees what it drained.
  networkWaiting_.store(true);
  if (undelivered_.load() > kResumeBelow) return true;
  networkWaiting_.store(false);
  return false;
}

NSErrorPtr NSURLSessionDataTaskImpl::transferDidReceiveData(NSData data) {
  if (gathersBody_) {
    NSData& body = gathering_->body;
    if (data.size() > NSURLSessionMaximumGatheredBytes - body.size()) {
      body = NSData();
      return NSURLErrorWithCode(
          NSURLErrorDataLengthExceedsMaximum,
          NSError::errorWithDomain(
              CURLErrorDomain, CURLE_WRITE_ERROR,
              NSStringWithFormat("The body is longer than %@ bytes",
                                 std::to_string(NSURLSessionMaximumGatheredBytes))));
    }
    if (body.empty()) {
      body = std::move(data);
    } else {
      body.append(data);
    }
    return nullptr;
  }
  undelivered_.fetch_add(data.size());
  std::lock_guard lock(mutex_);
  outbox_.pieces.push_back(std::move(data));
  schedulePassLocked();
  return nullptr;
}

void NSURLSessionDataTaskImpl::transferDidComplete(const NSErrorPtr& error) {
  // Under the lock, so that cancel() finds the end in the outbox whenever
  // the stage says Finished and the end has not been handed over.
  std::lock_guard lock(mutex_);
  Stage expected = Stage::Started;
  if (!stage_.compare_exchange_strong(expected, Stage::Finished)) return;  // cancelled meanwhile
  outbox_.end = error;
  schedulePassLocked();
}

void NSURLSessionDataTaskImpl::schedulePassLocked() {
  if (outbox_.passScheduled || state_.load() == NSURLSessionTaskState::Suspended) return;
  if (outbox_.next == outbox_.pieces.size() && !outbox_.end) return;
  outbox_.passScheduled = true;
  post([task = self()] { task->deliverWaiting(); });
}

void NSURLSessionDataTaskImpl::deliverWaiting() {
  // A few pieces per pass, so that the other tasks of the session get their
  // turn on the queue.
  constexpr int kPiecesPerPass = 16;
  for (int handed = 0;; ++handed) {
    NSData piece;
    std::optional<NSErrorPtr> end;
    std::optional<NSData> body;
    {
      std::lock_guard lock(mutex_);
      const bool cancelled = stage_.load() == Stage::Cancelled;
      const bool waiting = outbox_.next < outbox_.pieces.size() || outbox_.end;
      if (cancelled || !waiting || state_.load() == NSURLSessionTaskState::Suspended) {
        outbox_.passScheduled = false;
        return;
      }
      if (handed == kPiecesPerPass) {
        post([task = self()] { task->deliverWaiting(); });
        return;
      }
      if (outbox_.next < outbox_.pieces.size()) {
        piece = std::move(outbox_.pieces[outbox_.next++]);
        if (outbox_.next == outbox_.pieces.size()) {
          outbox_.pieces.clear();
          outbox_.next = 0;
        }
      } else {
        end = std::move(outbox_.end);
        outbox_.end.reset();
        // The gathered body, complete now.
        if (gathersBody_ && !*end) body = std::move(gathering_->body);
        outbox_.passScheduled = false;
      }
    }
    if (end) {
      deliverEnd(*end, body);
      return;
    }
    deliverData(piece);
  }
}

void NSURLSessionDataTaskImpl::postEnd(NSErrorPtr error, std::optional<NSData> body) {
  post([task = self(), error = std::move(error), body = std::move(body)] {
    task->deliverEnd(error, body);
  });
}

void NSURLSessionDataTaskImpl::deliverResponse(const NSHTTPURLResponsePtr& response) {
  if (stage_.load() == Stage::Cancelled) return;
  const std::shared_ptr<NSURLSessionDataDelegate> delegate = session_->delegate();
  if (!delegate || !counted_.load()) {
    NSURLSessionEngine::shared().resume(transfer_, NSURLTransfer::AwaitingDisposition);
    return;
  }
  // Weak: a delegate that keeps the handler must not keep the task alive.
  std::weak_ptr<NSURLSessionDataTaskImpl> weakTask = self();
  auto answered = std::make_shared<std::atomic<bool>>(false);
  delegate->didReceiveResponse(
      session_, self(), response,
      [weakTask, answered](NSURLSessionResponseDisposition disposition) {
        if (answered->exchange(true)) return;
        const std::shared_ptr<NSURLSessionDataTaskImpl> task = weakTask.lock();
        if (!task) return;
        if (disposition == NSURLSessionResponseDisposition::Allow) {
          NSURLSessionEngine::shared().resume(task->transfer_, NSURLTransfer::AwaitingDisposition);
        } else {
          task->cancel();
        }
      });
}

void NSURLSessionDataTaskImpl::deliverData(const NSData& data) {
  if (stage_.load() != Stage::Cancelled && counted_.load()) {
    if (const std::shared_ptr<NSURLSessionDataDelegate> delegate = session_->delegate()) {
      delegate->didReceiveData(session_, self(), data);
    }
  }
  const size_t size = data.size();
  if (undelivered_.fetch_sub(size) - size <= kResumeBelow && networkWaiting_.exchange(false)) {
    NSURLSessionEngine::shared().resume(transfer_, NSURLTransfer::FlowControl);
  }
}

void NSURLSessionDataTaskImpl::deliverEnd(const NSErrorPtr& error,
                                          const std::optional<NSData>& body) {
  state_ = NSURLSessionTaskState::Completed;
  const bool counted = counted_.load();
  if (gathersBody_) {
    NSURLSessionCompletionHandler handler = std::move(gathering_->handler);
    gathering_->handler = nullptr;
    if (handler) handler(body, response(), error);
  } else if (counted) {
    if (const std::shared_ptr<NSURLSessionDataDelegate> delegate = session_->delegate()) {
      delegate->didCompleteWithError(session_, self(), error);
    }
  }
  session_->taskDidEnd(identifier_, counted);
}
