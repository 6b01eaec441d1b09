#include "Platform/Net/NSURLSession.h"

#include <cstdlib>
#include <map>

#include "Platform/Foundation/NSString.h"
#include "Platform/Net/NSURLSessionEngine.h"
#include "Platform/Net/NSURLSessionImpl.h"

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

NSURLSessionDataTaskPtr NSURLSessionImpl::makeTask(const NSURLRequest& request,
                                                   NSURLSessionCompletionHandler handler) {
  const uint64_t identifier = nextIdentifier_.fetch_add(1);
  auto task = std::make_shared<NSURLSessionDataTaskImpl>(
      std::static_pointer_cast<NSURLSessionImpl>(shared_from_this()), identifier, request,
      std::move(handler));
  std::lock_guard lock(mutex_);
  tasks_.emplace(identifier, task);
  return task;
}

NSURLSessionImpl::Admission NSURLSessionImpl::admit() {
  std::lock_guard lock(mutex_);
  Admission admission{stage_ != Stage::Valid, stage_ != Stage::Invalidated};
  if (admission.counted) ++pendingEnds_;
  return admission;
}

void NSURLSessionImpl::taskDidEnd(uint64_t identifier, bool counted) {
  std::unique_lock lock(mutex_);
  tasks_.erase(identifier);
  if (counted && pendingEnds_ > 0) --pendingEnds_;
  notifyInvalidIfDone(lock);
}

void NSURLSessionImpl::forget(uint64_t identifier) {
  std::lock_guard lock(mutex_);
  tasks_.erase(identifier);
}

void NSURLSessionImpl::finishTasksAndInvalidate() {
  std::unique_lock lock(mutex_);
  if (stage_ != Stage::Valid) return;
  stage_ = Stage::Invalidating;
  notifyInvalidIfDone(lock);
}

void NSURLSessionImpl::invalidateAndCancel() {
  std::vector<std::weak_ptr<NSURLSessionDataTaskImpl>> tasks;
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
    if (const std::shared_ptr<NSURLSessionDataTaskImpl> task = weakTask.lock()) task->cancel();
  }
  std::unique_lock lock(mutex_);
  --pendingEnds_;
  notifyInvalidIfDone(lock);
}

void NSURLSessionImpl::notifyInvalidIfDone(std::unique_lock<std::mutex>& lock) {
  if (stage_ != Stage::Invalidating || pendingEnds_ != 0) return;
  stage_ = Stage::Invalidated;
  lock.unlock();
  queue_->async([session = std::static_pointer_cast<NSURLSessionImpl>(shared_from_this())] {
    // The last notification of the session; the delegate goes with this block.
    std::shared_ptr<NSURLSessionDataDelegate> delegate = std::move(session->delegate_);
    session->delegate_.reset();
    if (delegate) delegate->didBecomeInvalidWithError(session, nullptr);
  });
}

NSURLSessionPtr NSURLSession::sessionWithConfiguration(
    const NSURLSessionConfiguration& configuration,
    std::shared_ptr<NSURLSessionDataDelegate> delegate, dispatch_queue_t delegateQueue) {
  if (!delegateQueue || !delegateQueue->isSerial()) {
    delegateQueue = dispatch_queue_create("NSURLSession.delegateQueue", DISPATCH_QUEUE_SERIAL);
  }
  return std::make_shared<NSURLSessionImpl>(configuration, std::move(delegate),
                                            std::move(delegateQueue));
}
