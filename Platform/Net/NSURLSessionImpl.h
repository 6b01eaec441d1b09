#pragma once
// Private to the URL session: the session and data task that
// NSURLSession::sessionWithConfiguration makes, and how they meet the
// network thread (NSURLSessionEngine) through NSURLTransfer.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Platform/Net/NSURLSession.h"
#include "Platform/Net/NSURLTransfer.h"
#include "Platform/PlatformExport.h"

class NSURLSessionImpl;

// A data task. Its notifications are blocks on the session's delegate queue;
// the network side reaches it as the transfer's client, on the network
// thread. Which of the two ends it (the network's result or a cancellation)
// is decided once, by stage_.
class PLATFORM_EXPORT NSURLSessionDataTaskImpl final : public NSURLSessionDataTask,
                                                       public NSURLTransferClient {
 public:
  NSURLSessionDataTaskImpl(std::shared_ptr<NSURLSessionImpl> session, uint64_t identifier,
                           const NSURLRequest& request, NSURLSessionCompletionHandler handler);
  ~NSURLSessionDataTaskImpl() override;

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
  //   Cancelled  cancel() decided the end: the cancelled end is posted,
  //              and nothing else is delivered.
  //   Finished   the network decided the end (from Started): the end waits
  //              in the outbox behind the body, with the gathered body if
  //              there is one, and is handed over once the task runs.
  //
  //   Created  -> Started -> Finished              the network's end
  //   Created | Started   -> Cancelled             cancel()
  //   Finished            -> Cancelled             cancel() while the end
  //                                                still waits (suspended)
  // Every change is made under mutex_, so the end is delivered once. Once
  // it has been, the public state is Completed.
  enum class Stage { Created, Started, Cancelled, Finished };
  static constexpr size_t kResumeBelow = NSURLSessionMaximumUndeliveredBytes / 2;

  std::shared_ptr<NSURLSessionDataTaskImpl> self() {
    return std::static_pointer_cast<NSURLSessionDataTaskImpl>(shared_from_this());
  }
  void post(dispatch_block_t block);
  void postEnd(NSErrorPtr error, std::optional<NSData> body);
  // Schedules a pass of the waiting deliveries, unless one is scheduled,
  // nothing waits, or the task is suspended. mutex_ held.
  void schedulePassLocked();

  // Delegate queue.
  void deliverWaiting();
  void deliverResponse(const NSHTTPURLResponsePtr& response);
  void deliverData(const NSData& data);
  void deliverEnd(const NSErrorPtr& error, const std::optional<NSData>& body);

  const std::shared_ptr<NSURLSessionImpl> session_;
  const uint64_t identifier_;
  const std::shared_ptr<const NSURLRequest> request_;  // shared with the transfer
  const bool gathersBody_;                             // made with a completion handler
  const std::shared_ptr<NSURLTransfer> transfer_;

  // Orders resume(), suspend() and cancel(), and guards response_ and
  // outbox_. Nothing that runs under it calls out to a delegate or waits for
  // another thread.
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
    std::vector<NSData> pieces;  // those from `next` on wait
    size_t next = 0;
    std::optional<NSErrorPtr> end;  // the network's end, behind the pieces
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

class PLATFORM_EXPORT NSURLSessionImpl final : public NSURLSession {
 public:
  NSURLSessionImpl(NSURLSessionConfiguration configuration,
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
  std::map<uint64_t, std::weak_ptr<NSURLSessionDataTaskImpl>> tasks_;
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
