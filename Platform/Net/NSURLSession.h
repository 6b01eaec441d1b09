#pragma once
// URL sessions and their data tasks over libcurl: the answer's head before
// its body, the body in chunks as they arrive, exactly one end notification,
// cancellation, all delivered in order on the session's delegate queue. One
// network thread serves every session of the process.
//
// What a task does with its request: any method (GET by default; HEAD reads
// no body), the header fields in their order, the body if there is one,
// HTTP/1.1, redirects followed (up to 16, http and https only), no cookies
// and no cache, so every request reaches the server whatever its cache
// policy. The idle limit (timeoutInterval) is the longest wait for the
// answer or between two pieces of the body; it does not run while the body
// is held back for the delegate. Failures are NSURLErrorDomain errors with
// the platform's descriptions, each carrying libcurl's code and message as an
// underlying error in CURLErrorDomain. A body that ends before its declared
// length or inside a chunk is NSURLErrorNetworkConnectionLost; a body
// without a length ends normally when the server closes the connection.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSData.h"
#include "Platform/Foundation/NSError.h"
#include "Platform/Net/NSURLError.h"
#include "Platform/Net/NSURLRequest.h"
#include "Platform/PlatformExport.h"

// Body bytes read from the network and not yet handed to the delegate that
// a task lets pile up (while the delegate is slow, or has suspended the
// task): past this bound it stops reading from the network until the
// delegate has caught up with half of it, so memory cannot grow without
// bound.
inline constexpr size_t NSURLSessionMaximumUndeliveredBytes = size_t{4} << 20;

// The most body that a task with a completion handler gathers: a longer (or
// endless) answer cancels the task, which ends with
// NSURLErrorDataLengthExceedsMaximum instead of filling memory.
inline constexpr size_t NSURLSessionMaximumGatheredBytes = size_t{64} << 20;

class NSURLSession;
class NSURLSessionDataTask;
using NSURLSessionPtr = std::shared_ptr<NSURLSession>;
using NSURLSessionDataTaskPtr = std::shared_ptr<NSURLSessionDataTask>;

enum class NSURLSessionResponseDisposition { Cancel = 0, Allow = 1 };
enum class NSURLSessionTaskState { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

// What a session's tasks share. Sessions are always ephemeral: no cookies,
// no cache, no stored credentials. TLS certificates are always verified.
class PLATFORM_EXPORT NSURLSessionConfiguration {
 public:
  static NSURLSessionConfiguration ephemeralSessionConfiguration() { return {}; }

  // A PEM file of trusted certificates added for this session's tasks (a
  // local server's own certificate); the system's store is used as well.
  const std::optional<std::string>& TLSCertificateAuthorityFile() const { return caFile_; }
  void setTLSCertificateAuthorityFile(std::optional<std::string> path) {
    caFile_ = std::move(path);
  }

  // The file that new configurations start with: ZRL_CA_FILE from the
  // environment, unless a program sets another.
  static std::optional<std::string> defaultCertificateAuthorityFile();
  static void setDefaultCertificateAuthorityFile(std::optional<std::string> path);

  NSURLSessionConfiguration() : caFile_(defaultCertificateAuthorityFile()) {}

 private:
  std::optional<std::string> caFile_;
};

// Notified on the session's delegate queue, in this order per task: the
// answer's head once, the body's chunks, then the end exactly once (error
// null on success). Nothing is delivered for a task after its end.
class PLATFORM_EXPORT NSURLSessionDataDelegate {
 public:
  virtual ~NSURLSessionDataDelegate() = default;

  // The final answer's head (not those of redirects or interim answers).
  // The body is read only once the completion handler allows it; any thread
  // may call it, once (later calls do nothing). Cancel ends the task with
  // NSURLErrorCancelled. A handler that is never called leaves the task
  // waiting, and its idle limit does not run meanwhile.
  virtual void didReceiveResponse(
      const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
      const NSHTTPURLResponsePtr& response,
      std::function<void(NSURLSessionResponseDisposition)> completionHandler);
  virtual void didReceiveData(const NSURLSessionPtr& session,
                              const NSURLSessionDataTaskPtr& dataTask, const NSData& data);
  virtual void didCompleteWithError(const NSURLSessionPtr& session,
                                    const NSURLSessionDataTaskPtr& task, const NSErrorPtr& error);
  // After the session's last notification once it has been invalidated.
  virtual void didBecomeInvalidWithError(const NSURLSessionPtr& session, const NSErrorPtr& error);
};

using NSURLSessionCompletionHandler =
    std::function<void(const std::optional<NSData>& data, const NSHTTPURLResponsePtr& response,
                       const NSErrorPtr& error)>;

class PLATFORM_EXPORT NSURLSessionDataTask
    : public std::enable_shared_from_this<NSURLSessionDataTask> {
 public:
  virtual ~NSURLSessionDataTask() = default;
  // Starts the request, or goes on with one that suspend() held; otherwise
  // does nothing. A task of a session that has been invalidated ends with
  // NSURLErrorCancelled instead of starting.
  virtual void resume() = 0;
  // Holds a running request until resume(): no more of the body is read
  // from the network, nothing more reaches the delegate (neither pieces
  // already read nor the end; a piece whose delivery has begun on the
  // delegate queue still arrives), and the idle limit does not run
  // meanwhile. A delegate that suspends its task inside didReceiveData
  // therefore gets no other piece until it resumes the task: the way a
  // delegate that cannot keep up holds the stream back. Does nothing to a
  // task that is not running.
  virtual void suspend() = 0;
  // Ends the request from any thread, delegate callbacks included, without
  // waiting and without calling the delegate from inside the call. Its end is
  // reported with NSURLErrorCancelled, and nothing else is delivered for it
  // after the call (body pieces already on their way are dropped), unless
  // the task had already ended: then nothing changes. A task that was never
  // resumed reports its cancelled end at once; resuming it later does
  // nothing.
  virtual void cancel() = 0;
  virtual NSURLSessionTaskState state() const = 0;
  // The answer's head once it has arrived, otherwise null.
  virtual NSHTTPURLResponsePtr response() const = 0;
  virtual const NSURLRequest& originalRequest() const = 0;
  virtual uint64_t taskIdentifier() const = 0;
};

class PLATFORM_EXPORT NSURLSession : public std::enable_shared_from_this<NSURLSession> {
 public:
  // The session holds its delegate strongly until it is invalidated (and
  // its last notification delivered). A null delegate queue, or one that is
  // not serial, gives the session a serial queue of its own. A null delegate
  // suits tasks with completion handlers; other tasks then read their body
  // without telling anyone.
  static NSURLSessionPtr sessionWithConfiguration(
      const NSURLSessionConfiguration& configuration,
      std::shared_ptr<NSURLSessionDataDelegate> delegate, dispatch_queue_t delegateQueue);

  virtual ~NSURLSession() = default;

  // A task whose notifications go to the delegate.
  virtual NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequest& request) = 0;
  // A task that gathers the body (up to NSURLSessionMaximumGatheredBytes)
  // and calls the handler once, on the delegate queue, with the body, the
  // answer and the error (the delegate gets no notifications for it).
  virtual NSURLSessionDataTaskPtr dataTaskWithRequest(const NSURLRequest& request,
                                                      NSURLSessionCompletionHandler handler) = 0;

  // Cancels every task and invalidates the session: each task reports its
  // cancelled end, then the delegate hears didBecomeInvalidWithError (null)
  // and is released.
  virtual void invalidateAndCancel() = 0;
  // Lets running tasks end, then invalidates the session; tasks
  // made afterwards end with NSURLErrorCancelled when resumed.
  virtual void finishTasksAndInvalidate() = 0;

  virtual const NSURLSessionConfiguration& configuration() const = 0;
  // The queue on which the notifications run.
  virtual const dispatch_queue_t& delegateQueue() const = 0;
};
