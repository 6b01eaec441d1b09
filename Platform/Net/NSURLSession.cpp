#include "Platform/Net/NSURLSession.h"

#include <cstdlib>
#include <map>

#include "Platform/Foundation/NSString.h"
#include "Platform/Net/NSURLSessionEngine.h"
#include "Platform/Net/NSURLTransfer.h"

void NSURLSessionDataDelegate::didReceiveResponse(
    const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&, const NSHTTPURLResponsePtr&,
    std::function<void(NSURLSessionResponseDisposition)>
        completionHandler) {  // NOLINT(performance-unnecessary-value-param): overriders keep it
  completionHandler(NSURLSessionResponseDisposition::Allow);
}
void NSURLSessionDataDelegate::didReceiveData(const NSURLSessionPtr&,
                                              const NSURLSessionDataTaskPtr&, const NSData&) {}
void NSURLSessionDataDelegate::didCompleteWithError(const NSURLSessionPtr&,
                                                    const NSURLSessionDataTaskPtr&,
                                                    const NSErrorPtr&) {}
void NSURLSessionDataDelegate::didBecomeInvalidWithError(const NSURLSessionPtr&,
                                                         const NSErrorPtr&) {}

namespace {

struct DefaultCertificateAuthority {
  std::mutex mutex;
  bool loaded = false;
  std::optional<std::string> path;
};

DefaultCertificateAuthority& defaultCertificateAuthority() {
  // Never destroyed: configurations may be made while statics are torn down.
  static auto* state = new DefaultCertificateAuthority();  // NOLINT
  return *state;
}

}  // namespace

std::optional<std::string> NSURLSessionConfiguration::defaultCertificateAuthorityFile() {
  DefaultCertificateAuthority& state = defaultCertificateAuthority();
  std::lock_guard lock(state.mutex);
  if (!state.loaded) {
    state.loaded = true;
    // Read once, under the lock; nothing in this process changes it.
    const char* value = std::getenv("ZRL_CA_FILE");  // NOLINT(concurrency-mt-unsafe)
    if (value != nullptr && *value != '\0') state.path = value;
  }
  return state.path;
}

void NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(
    std::optional<std::string> path) {
  DefaultCertificateAuthority& state = defaultCertificateAuthority();
  std::lock_guard lock(state.mutex);
  state.loaded = true;
  state.path = std::move(path);
}

namespace {

class Session;

// A data task. Its notifications are blocks on the session's delegate queue;
// the network side reaches it as the transfer's client, on the network
// thread. Which of the two ends it (the network's result or a cancellation)
// is decided once, by stage_.
class DataTask final : public NSURLSessionDataTask, public NSURLTransferClient {
 public:
  DataTask(std::shared_ptr<Session> session, uint64_t identifier, const NSURLRequest& request,
           NSURLSessionCompletionHandler handler);
  ~DataTask() override;

  void resume() override;
  void suspend() override;
  void cancel() override;
  NSURLSessionTaskState state() const override { return state_.load(); }
  NSHTTPURLResponsePtr response() const override {
    std::lock_guard lock(mutex_);
    return response_;
  }
  const NSURLRequest& originalRequest() const override { return *request_; }
  uint64_t taskIdentifier() const override { return identifier_; }

  // Network thread.
  bool transferDidReceiveResponse(const NSHTTPURLResponsePtr& response) override;
  bool transferShouldPause() override;
  NSErrorPtr transferDidReceiveData(NSData data) override;
  void transferDidComplete(const NSErrorPtr& error) override;

 private:
  // The task's life. The public state() is kept beside it.
  //   Created    made and not resumed: nothing has reached the network.
  //   Started    resume() has handed it to the network; suspend() and
  //              resume() move the public state between Running and
  //              Suspended.
  //   Cancelled  cancel() decided the end (from Created or Started): the
  //              cancelled end is posted, and nothing else is delivered.
  //   Finished   the network decided the end (from Started): the end is
  //              posted, with the gathered body if there is one.
  // Cancelled and Finished are final and exclusive: the first
  // compare-and-set wins. Once the end has been delivered the public state
  // is Completed.
  enum class Stage { Created, Started, Cancelled, Finished };
  static constexpr size_t kResumeBelow = NSURLSessionMaximumUndeliveredBytes / 2;

  std::shared_ptr<DataTask> self() {
    return std::static_pointer_cast<DataTask>(shared_from_this());
  }
  void post(dispatch_block_t block);
  void postEnd(NSErrorPtr error, std::optional<NSData> body);
  // Schedules a pass of the waiting deliveries, unless one is scheduled,
  // nothing waits, or the task is suspended. outbox_.mutex held.
  void schedulePassLocked();

  // Delegate queue.
  void deliverWaiting();
  void deliverResponse(const NSHTTPURLResponsePtr& response);
  void deliverData(const NSData& data);
  void deliverEnd(const NSErrorPtr& error, const std::optional<NSData>& body);

  const std::shared_ptr<Session> session_;
  const uint64_t identifier_;
  const std::shared_ptr<const NSURLRequest> request_;  // shared with the transfer
  const bool gathersBody_;                             // made with a completion handler
  const std::shared_ptr<NSURLTransfer> transfer_;

  // Orders resume(), suspend() and cancel(), and guards response_. Nothing
  // that runs under it calls out to a delegate or waits for another thread.
  mutable std::mutex mutex_;
  std::atomic<Stage> stage_{Stage::Created};
  std::atomic<NSURLSessionTaskState> state_{NSURLSessionTaskState::Suspended};
  // Whether the session waits for this task's end before it reports its
  // invalidation (and so still has its delegate when the end is delivered).
  std::atomic<bool> counted_{false};

  NSHTTPURLResponsePtr response_;

  // The back-pressure between the network and the delegate, one contract
  // for both directions of hold-up:
  //
  //   The network thread puts each body piece, and then the network's end,
  //   in the outbox; passes on the delegate queue hand them over in order.
  //   Nothing is handed over while the task is suspended (the delegate's
  //   way to stop the flow at once, whatever is already on its way), and
  //   resume() schedules the next pass.
  //
  //   `undelivered` counts the bytes in the outbox and in the piece being
  //   handed over. Past NSURLSessionMaximumUndeliveredBytes the transfer
  //   holds libcurl back (transferShouldPause sets `networkWaiting`); the
  //   pass that brings them down to half resumes it. So a delegate that is
  //   slow, or suspended, holds the network up instead of making memory
  //   grow.
  //
  //   Flowing --suspend()--> Held --resume()--> Flowing
  //   (either) --cancel()--> the outbox is dropped; only the cancelled end
  //                          is delivered
  struct Outbox {
    std::mutex mutex;
    std::vector<NSData> pieces;  // those from `next` on wait
    size_t next = 0;
    std::optional<NSErrorPtr> end;  // the network's end, behind the pieces
    std::optional<NSData> body;     // the gathered body that goes with it
    bool passScheduled = false;
  };
  Outbox outbox_;
  std::atomic<size_t> undelivered_{0};
  std::atomic<bool> networkWaiting_{false};

  // What only a task with a completion handler needs: the body gathered on
  // the network thread, and the handler, called on the delegate queue.
  struct Gathering {
    NSData body;
    NSURLSessionCompletionHandler handler;
  };
  const std::unique_ptr<Gathering> gathering_;  // null for a delegate's task
};

class Session final : public NSURLSession {
 public:
  Session(NSURLSessionConfiguration configuration,
          std::shared_ptr<NSURLSessionDataDelegate> delegate, dispatch_queue_t queue)
      : configuration_(std::move(configuration)),
        queue_(std::move(queue)),
        delegate_(std::move(delegate)) {}

  NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequest& request) override {
    return makeTask(request, nullptr);
  }
  NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequest& request,
                                              NSURLSessionCompletionHandler handler) override {
    // A null handler would make the task's end invisible; the delegate gets it instead.
    return makeTask(request, std::move(handler));
  }
  void invalidateAndCancel() override;
  void finishTasksAndInvalidate() override;
  const NSURLSessionConfiguration& configuration() const override { return configuration_; }
  const dispatch_queue_t& delegateQueue() const override { return queue_; }

  struct Admission {
    bool invalidated = false;
    bool counted = false;
  };
  // A task is about to run, or to end without running: it will deliver an
  // end, which the invalidation waits for unless it has been reported.
  Admission admit();
  // Delegate queue: the task's end has been delivered.
  void taskDidEnd(uint64_t identifier, bool counted);
  // A task that never ran is gone.
  void forget(uint64_t identifier);
  // Delegate queue only: the delegate, or null once released.
  const std::shared_ptr<NSURLSessionDataDelegate>& delegate() const { return delegate_; }

 private:
  NSURLSessionDataTaskPtr makeTask(const NSURLRequest& request,
                                   NSURLSessionCompletionHandler handler);
  void notifyInvalidIfDone(std::unique_lock<std::mutex>& lock);

  const NSURLSessionConfiguration configuration_;
  const dispatch_queue_t queue_;
  // The session and its delegate hold each other on purpose (the delegate
  // usually keeps its session): the session is what keeps a delegate with
  // running tasks alive. The cycle ends when the invalidation has been
  // reported, where the delegate is released. Read and released on the
  // delegate queue only.
  std::shared_ptr<NSURLSessionDataDelegate> delegate_;
  std::atomic<uint64_t> nextIdentifier_{1};

  std::mutex mutex_;
  // A tree rather than a hash table: most sessions hold one task, and a
  // table's bucket array would cost more than the task's entry.
  std::map<uint64_t, std::weak_ptr<DataTask>> tasks_;
  // The session's life, under mutex_:
  //   Valid         tasks are made and run.
  //   Invalidating  finishTasksAndInvalidate() or invalidateAndCancel() has
  //                 been called: tasks resumed from now on end cancelled. It
  //                 waits until pendingEnds_ is 0.
  //   Invalidated   didBecomeInvalidWithError has been posted, the last
  //                 notification: tasks admitted from now on are not
  //                 counted, and the delegate hears nothing of them.
  // pendingEnds_ counts the ends still to be delivered of the tasks that
  // the invalidation waits for (those admitted before it was reported).
  enum class Stage { Valid, Invalidating, Invalidated };
  Stage stage_ = Stage::Valid;
  size_t pendingEnds_ = 0;
};

DataTask::DataTask(std::shared_ptr<Session> session, uint64_t identifier,
                   const NSURLRequest& request, NSURLSessionCompletionHandler handler)
    : session_(std::move(session)),
      identifier_(identifier),
      request_(std::make_shared<const NSURLRequest>(request)),
      gathersBody_(handler != nullptr),
      transfer_(std::make_shared<NSURLTransfer>(
          request_, session_->configuration().TLSCertificateAuthorityFile())),
      gathering_(handler ? std::make_unique<Gathering>(Gathering{NSData(), std::move(handler)})
                         : nullptr) {}

DataTask::~DataTask() {
  session_->forget(identifier_);
}

void DataTask::post(dispatch_block_t block) {
  session_->delegateQueue()->async(std::move(block));
}

void DataTask::resume() {
  std::unique_lock lock(mutex_);
  const Stage stage = stage_.load();
  if (stage == Stage::Started || stage == Stage::Finished) {
    auto suspended = NSURLSessionTaskState::Suspended;
    if (state_.compare_exchange_strong(suspended, NSURLSessionTaskState::Running)) {
      NSURLSessionEngine::shared().resume(transfer_, NSURLTransfer::Suspended);
      std::lock_guard outbox(outbox_.mutex);
      schedulePassLocked();
    }
    return;
  }
  if (stage != Stage::Created) return;  // cancelled before it ran
  const Session::Admission admission = session_->admit();
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

void DataTask::suspend() {
  std::lock_guard lock(mutex_);
  // Compared and set, so that an end that has just been delivered stays.
  auto running = NSURLSessionTaskState::Running;
  if (stage_.load() == Stage::Created ||
      !state_.compare_exchange_strong(running, NSURLSessionTaskState::Suspended)) {
    return;
  }
  NSURLSessionEngine::shared().pause(transfer_, NSURLTransfer::Suspended);
}

void DataTask::cancel() {
  std::unique_lock lock(mutex_);
  const NSURLSessionTaskState state = state_.load();
  if (state == NSURLSessionTaskState::Canceling || state == NSURLSessionTaskState::Completed) {
    return;
  }
  Stage before = stage_.load();
  do {
    if (before == Stage::Cancelled || before == Stage::Finished) return;  // already ended
  } while (!stage_.compare_exchange_weak(before, Stage::Cancelled));
  state_ = NSURLSessionTaskState::Canceling;
  {
    std::lock_guard outbox(outbox_.mutex);
    outbox_.pieces = {};
    outbox_.next = 0;
  }
  if (before == Stage::Created) {
    counted_ = session_->admit().counted;
  } else {
    NSURLSessionEngine::shared().cancel(transfer_);
  }
  lock.unlock();
  postEnd(NSURLErrorWithCode(NSURLErrorCancelled), std::nullopt);
}

bool DataTask::transferDidReceiveResponse(const NSHTTPURLResponsePtr& response) {
  {
    std::lock_guard lock(mutex_);
    response_ = response;
  }
  if (gathersBody_) return false;
  post([task = self(), response] { task->deliverResponse(response); });
  return true;
}

bool DataTask::transferShouldPause() {
  if (gathersBody_ || undelivered_.load() <= NSURLSessionMaximumUndeliveredBytes) return false;
  // Announce the pause before looking again, so that the delegate queue,
  // which drains and then checks the flag, cannot miss it: either it sees
  // the flag and resumes the transfer, or this sees what it drained.
  networkWaiting_.store(true);
  if (undelivered_.load() > kResumeBelow) return true;
  networkWaiting_.store(false);
  return false;
}

NSErrorPtr DataTask::transferDidReceiveData(NSData data) {
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
  std::lock_guard outbox(outbox_.mutex);
  outbox_.pieces.push_back(std::move(data));
  schedulePassLocked();
  return nullptr;
}

void DataTask::transferDidComplete(const NSErrorPtr& error) {
  Stage expected = Stage::Started;
  if (!stage_.compare_exchange_strong(expected, Stage::Finished)) return;  // cancelled meanwhile
  std::lock_guard outbox(outbox_.mutex);
  outbox_.end = error;
  if (gathersBody_ && !error) outbox_.body = std::move(gathering_->body);
  schedulePassLocked();
}

void DataTask::schedulePassLocked() {
  if (outbox_.passScheduled || state_.load() == NSURLSessionTaskState::Suspended) return;
  if (outbox_.next == outbox_.pieces.size() && !outbox_.end) return;
  outbox_.passScheduled = true;
  post([task = self()] { task->deliverWaiting(); });
}

void DataTask::deliverWaiting() {
  // A few pieces per pass, so that the other tasks of the session get their
  // turn on the queue.
  constexpr int kPiecesPerPass = 16;
  for (int handed = 0;; ++handed) {
    NSData piece;
    std::optional<NSErrorPtr> end;
    std::optional<NSData> body;
    {
      std::lock_guard outbox(outbox_.mutex);
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
        body = std::move(outbox_.body);
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

void DataTask::postEnd(NSErrorPtr error, std::optional<NSData> body) {
  post([task = self(), error = std::move(error), body = std::move(body)] {
    task->deliverEnd(error, body);
  });
}

void DataTask::deliverResponse(const NSHTTPURLResponsePtr& response) {
  if (stage_.load() == Stage::Cancelled) return;
  const std::shared_ptr<NSURLSessionDataDelegate> delegate = session_->delegate();
  if (!delegate || !counted_.load()) {
    NSURLSessionEngine::shared().resume(transfer_, NSURLTransfer::AwaitingDisposition);
    return;
  }
  // Weak: a delegate that keeps the handler must not keep the task alive.
  std::weak_ptr<DataTask> weakTask = self();
  auto answered = std::make_shared<std::atomic<bool>>(false);
  delegate->didReceiveResponse(session_, self(), response,
                               [weakTask, answered](NSURLSessionResponseDisposition disposition) {
                                 if (answered->exchange(true)) return;
                                 const std::shared_ptr<DataTask> task = weakTask.lock();
                                 if (!task) return;
                                 if (disposition == NSURLSessionResponseDisposition::Allow) {
                                   NSURLSessionEngine::shared().resume(
                                       task->transfer_, NSURLTransfer::AwaitingDisposition);
                                 } else {
                                   task->cancel();
                                 }
                               });
}

void DataTask::deliverData(const NSData& data) {
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

void DataTask::deliverEnd(const NSErrorPtr& error, const std::optional<NSData>& body) {
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

NSURLSessionDataTaskPtr Session::makeTask(const NSURLRequest& request,
                                          NSURLSessionCompletionHandler handler) {
  const uint64_t identifier = nextIdentifier_.fetch_add(1);
  auto task = std::make_shared<DataTask>(std::static_pointer_cast<Session>(shared_from_this()),
                                         identifier, request, std::move(handler));
  std::lock_guard lock(mutex_);
  tasks_.emplace(identifier, task);
  return task;
}

Session::Admission Session::admit() {
  std::lock_guard lock(mutex_);
  Admission admission{stage_ != Stage::Valid, stage_ != Stage::Invalidated};
  if (admission.counted) ++pendingEnds_;
  return admission;
}

void Session::taskDidEnd(uint64_t identifier, bool counted) {
  std::unique_lock lock(mutex_);
  tasks_.erase(identifier);
  if (counted && pendingEnds_ > 0) --pendingEnds_;
  notifyInvalidIfDone(lock);
}

void Session::forget(uint64_t identifier) {
  std::lock_guard lock(mutex_);
  tasks_.erase(identifier);
}

void Session::finishTasksAndInvalidate() {
  std::unique_lock lock(mutex_);
  if (stage_ != Stage::Valid) return;
  stage_ = Stage::Invalidating;
  notifyInvalidIfDone(lock);
}

void Session::invalidateAndCancel() {
  std::vector<std::weak_ptr<DataTask>> tasks;
  {
    std::lock_guard lock(mutex_);
    if (stage_ == Stage::Invalidated) return;
    stage_ = Stage::Invalidating;
    // Held while the tasks are cancelled one by one, so that the ends of the
    // first ones cannot report the invalidation before the last ones end.
    ++pendingEnds_;
    tasks.reserve(tasks_.size());
    for (const auto& entry : tasks_)
      tasks.push_back(entry.second);
  }
  for (const auto& weakTask : tasks) {
    if (const std::shared_ptr<DataTask> task = weakTask.lock()) task->cancel();
  }
  std::unique_lock lock(mutex_);
  --pendingEnds_;
  notifyInvalidIfDone(lock);
}

void Session::notifyInvalidIfDone(std::unique_lock<std::mutex>& lock) {
  if (stage_ != Stage::Invalidating || pendingEnds_ != 0) return;
  stage_ = Stage::Invalidated;
  lock.unlock();
  queue_->async([session = std::static_pointer_cast<Session>(shared_from_this())] {
    // The last notification of the session; the delegate goes with this block.
    std::shared_ptr<NSURLSessionDataDelegate> delegate = std::move(session->delegate_);
    session->delegate_.reset();
    if (delegate) delegate->didBecomeInvalidWithError(session, nullptr);
  });
}

}  // namespace

NSURLSessionPtr NSURLSession::sessionWithConfiguration(
    const NSURLSessionConfiguration& configuration,
    std::shared_ptr<NSURLSessionDataDelegate> delegate, dispatch_queue_t delegateQueue) {
  if (!delegateQueue || !delegateQueue->isSerial()) {
    delegateQueue = dispatch_queue_create("NSURLSession.delegateQueue", DISPATCH_QUEUE_SERIAL);
  }
  return std::make_shared<Session>(configuration, std::move(delegate), std::move(delegateQueue));
}
