// The connection of the event-stream client and its back-off (the rest of
// the client is in LDEventListeners, LDEventFlowControl, LDEventBatchDelivery
// and LDEventSourceProperties.cpp).

#include "LDEventSource/LDEventSource.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

// Truncates a ceiling in seconds, converted to milliseconds, to the bound
// of the random draw; NaN and values below zero give 0, values beyond the
// range saturate.
uint32_t drawBoundInMilliseconds(double ceiling) {
  const double milliseconds = ceiling * MILLISEC_PER_SEC;
  if (!(milliseconds > 0)) return 0;
  if (milliseconds >= static_cast<double>(std::numeric_limits<uint32_t>::max())) {
    return std::numeric_limits<uint32_t>::max();
  }
  return static_cast<uint32_t>(milliseconds);
}

// Whether a Content-Type names an event stream: its media type, before any
// parameters, compared without regard to case.
bool isEventStreamType(std::string_view contentType) {
  constexpr std::string_view kEventStreamType = "text/event-stream";
  contentType = contentType.substr(0, contentType.find(';'));
  const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
  while (!contentType.empty() && isSpace(contentType.front()))
    contentType.remove_prefix(1);
  while (!contentType.empty() && isSpace(contentType.back()))
    contentType.remove_suffix(1);
  return std::equal(
      contentType.begin(), contentType.end(), kEventStreamType.begin(), kEventStreamType.end(),
      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

}  // namespace

LDEventSource::LDEventSource(NSURLPtr url, std::optional<NSHTTPHeaderFields> httpHeaders,
                             double timeoutInterval, std::optional<std::string> connectMethod,
                             std::optional<NSData> connectBody)
    : eventURL_(std::move(url)),
      timeoutInterval_(timeoutInterval),
      httpRequestHeaders_(std::move(httpHeaders)),
      connectMethod_(std::move(connectMethod)),
      connectBody_(std::move(connectBody)),
      randomUniform_([](uint32_t bound) { return arc4random_uniform(bound); }),
      reader_([this](const LDEventParser::BlockFields& fields) { blockParsed(fields); },
              maxEventSize_),
      delivery_(listeners_, kMaximumRecordsInFlight, kMaximumBytesInFlight) {}

LDEventSource::~LDEventSource() = default;

void LDEventSource::open() {
  openConnection(std::nullopt);
}

void LDEventSource::openConnection(std::optional<uint64_t> scheduledGeneration) {
  // The session must hold this client, which it can only do through a
  // shared_ptr that already owns it.
  const std::shared_ptr<LDEventSource> self = weak_from_this().lock();
  if (!self) return;
  NSURLSessionPtr previous;
  NSURLSessionDataTaskPtr task;
  {
    std::lock_guard stream(streamMutex_);
    std::size_t maxEventSize = 0;
    {
      // The test for a void reconnection and the opening are one step, so
      // a close() on another thread comes either before (and the
      // reconnection does nothing) or after (and ends the new connection).
      std::lock_guard lock(mutex_);
      if (scheduledGeneration && *scheduledGeneration != generation_) return;
      wasClosed_ = false;
      ++generation_;
      NSMutableURLRequest request(eventURL_, NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData,
                                  timeoutInterval_);
      if (httpRequestHeaders_) {
        for (const auto& [name, value] : httpRequestHeaders_->fields())
          request.setValue(value, name);
      }
      if (lastEventID_) request.setValue(*lastEventID_, "Last-Event-ID");
      if (connectMethod_ && !connectMethod_->empty()) request.setHTTPMethod(*connectMethod_);
      if (connectBody_ && !connectBody_->empty()) request.setHTTPBody(connectBody_);
      discardBody_ = false;
      deliveredData_ = false;
      failure_.reset();
      maxEventSize = maxEventSize_;

      previous = std::move(session_);
      // The session holds this client as its delegate until it is
      // invalidated: that cycle is what keeps an open client alive without
      // an outside owner, and close() (or the next open()) breaks it.
      session_ = NSURLSession::sessionWithConfiguration(
          NSURLSessionConfiguration::ephemeralSessionConfiguration(), self, nullptr);
      task = session_->dataTaskWithRequest(request);
      eventSourceTask_ = task;
    }
    // A new connection starts from an empty stream: whatever the last one
    // left unfinished is dropped rather than glued onto the new text.
    reader_.reset(maxEventSize);
    delivery_.flow().reset();
    // Told before the request starts, so that CONNECTING always comes first.
    delivery_.deliverState(LDEventReadyStateConnecting, LDEventOccasion::Connecting);
  }
  if (previous) previous->invalidateAndCancel();
  task->resume();
}

void LDEventSource::close() {
  NSURLSessionDataTaskPtr task;
  NSURLSessionPtr session;
  {
    // Waits for a batch handler call under way.
    std::lock_guard stream(streamMutex_);
    {
      std::lock_guard lock(mutex_);
      wasClosed_ = true;
      ++generation_;
      task = std::move(eventSourceTask_);
      session = std::move(session_);
    }
    reader_.reset();
    delivery_.flow().reset();
    delivery_.setBatchHandler(nullptr);
  }
  if (task) task->cancel();
  if (session) session->finishTasksAndInvalidate();
  listeners_.clear();
}

bool LDEventSource::isCurrentTask(const NSURLSessionDataTaskPtr& task) const {
  return task && task == eventSourceTask_;
}

void LDEventSource::didReceiveResponse(
    const NSURLSessionPtr& /*session*/, const NSURLSessionDataTaskPtr& dataTask,
    const NSHTTPURLResponsePtr& response,
    std::function<void(NSURLSessionResponseDisposition)> completionHandler) {
  bool current = false;
  {
    std::lock_guard stream(streamMutex_);
    bool opened = false;
    {
      std::lock_guard lock(mutex_);
      current = isCurrentTask(dataTask);
      // A 200 answer of another media type (a captive portal's login page)
      // is no event stream either; one without a Content-Type is read.
      const std::optional<std::string> type =
          response ? response->valueForHTTPHeaderField("Content-Type") : std::nullopt;
      opened = current && response && response->statusCode() == 200 &&
               (!type || isEventStreamType(*type));
      // Any other answer's body is read to its end and dropped: it is not a
      // stream of this server's events.
      if (current) discardBody_ = !opened;
    }
    if (opened) delivery_.deliverState(LDEventReadyStateOpen, LDEventOccasion::Opened);
  }
  // A task of a session that open() or close() already let go is refused.
  completionHandler(current ? NSURLSessionResponseDisposition::Allow
                            : NSURLSessionResponseDisposition::Cancel);
}

void LDEventSource::didReceiveData(const NSURLSessionPtr& /*session*/,
                                   const NSURLSessionDataTaskPtr& dataTask, const NSData& data) {
  bool read = true;
  {
    std::lock_guard stream(streamMutex_);
    {
      std::lock_guard lock(mutex_);
      if (!isCurrentTask(dataTask) || discardBody_ || failure_) return;
    }
    // The connection cannot change meanwhile: that takes streamMutex_.
    read = reader_.appendBytes(data);
    {
      std::lock_guard lock(mutex_);
      applyNotesLocked();
      if (!read) {
        failure_ = NSError::errorWithDomain(std::string(LDEventSourceErrorDomain),
                                            LDEventSourceErrorCodeEventTooLarge,
                                            std::string(LDEventSourceEventTooLargeDescription));
      }
    }
    // One block on the listener queue for all the records of the piece;
    // those parsed before a block that is too large are still delivered.
    delivery_.deliverStaged();
    if (read) delivery_.flow().afterPiece(dataTask);
  }
  if (!read) dataTask->cancel();
}

void LDEventSource::blockParsed(const LDEventParser::BlockFields& fields) {
  // An identifier with a NUL cannot be sent back as a header field: taken,
  // it would fail every reconnection before its request is sent.
  if (fields.id && fields.id->find('\0') == std::string_view::npos) {
    notes_.lastEventID.assign(*fields.id);
    notes_.hasLastEventID = true;
  }
  if (fields.retryInterval) notes_.retryInterval = fields.retryInterval;
  if (fields.data) notes_.data = true;
  delivery_.stage(fields);
}

void LDEventSource::applyNotesLocked() {
  if (notes_.hasLastEventID && lastEventID_ != notes_.lastEventID) {
    lastEventID_ = notes_.lastEventID;
  }
  if (notes_.retryInterval) retryInterval_ = *notes_.retryInterval;
  // Only a connection that delivers data counts as a success that starts
  // the back-off again: an answer of 200 alone does not.
  if (notes_.data && !deliveredData_) {
    deliveredData_ = true;
    attemptsBeforeData_ = retryAttempt_;
    retryAttempt_ = 0;
  }
  notes_.hasLastEventID = false;
  notes_.retryInterval.reset();
  notes_.data = false;
}

void LDEventSource::didCompleteWithError(const NSURLSessionPtr& /*session*/,
                                         const NSURLSessionDataTaskPtr& task,
                                         const NSErrorPtr& error) {
  std::optional<double> delay;
  uint64_t generation = 0;
  {
    std::lock_guard stream(streamMutex_);
    NSErrorPtr endError;
    {
      std::lock_guard lock(mutex_);
      if (!isCurrentTask(task)) return;
      eventSourceTask_.reset();
      if (wasClosed_) return;
      endError = failure_ ? failure_ : eventErrorForTask(task, LDEventReadyStateClosed, error);
      // The delay is drawn, and the generation that the reconnection
      // belongs to taken, in the same step as the end: a close() or open()
      // after it voids the reconnection.
      if (!responseIsUnauthorizedForTask(task)) {
        // A connection that the client failed itself (a block too large) is
        // no success, whatever it delivered before: the count goes on.
        if (failure_ && deliveredData_) retryAttempt_ = attemptsBeforeData_;
        delay = nextDelayLocked();
        // A connection that gave nothing (dropped at once, only a retry
        // field or comments, refused, a block too large) is never retried
        // in a tight loop.
        if (!deliveredData_ || failure_) delay = std::max(*delay, kMinimumRetryDelayWithoutData);
      }
      generation = generation_;
    }
    reader_.reset();
    delivery_.flow().reset();
    delivery_.deliverState(LDEventReadyStateClosed, LDEventOccasion::Ended, std::move(endError));
  }
  if (delay) scheduleReconnection(*delay, generation);
}

void LDEventSource::scheduleReconnection(double delay, uint64_t generation) {
  std::weak_ptr<LDEventSource> weak = weak_from_this();
  const auto nanoseconds = static_cast<int64_t>(std::min(delay * NSEC_PER_SEC, 1e18));
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, nanoseconds),
                 dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0), [weak, generation] {
                   if (auto self = weak.lock()) self->openConnection(generation);
                 });
}

NSErrorPtr LDEventSource::eventErrorForTask(const NSURLSessionDataTaskPtr& task, long errorCode,
                                            const NSErrorPtr& underlyingError) const {
  if (responseIsUnauthorizedForTask(task)) {
    return NSError::errorWithDomain(std::string(LDEventSourceErrorDomain), -401,
                                    "Connection refused by the server.", underlyingError);
  }
  if (underlyingError) return underlyingError;
  return NSError::errorWithDomain("", errorCode, "Connection with the event source was closed.");
}

bool LDEventSource::responseIsUnauthorizedForTask(const NSURLSessionDataTaskPtr& task) {
  if (!task) return false;
  const NSHTTPURLResponsePtr response = task->response();
  return response && response->statusCode() == 401;
}

double LDEventSource::increaseIntervalWithBackoff() {
  std::lock_guard lock(mutex_);
  return nextDelayLocked();
}

double LDEventSource::nextDelayLocked() {
  ++retryAttempt_;
  const double ceiling = std::min(retryInterval_ * std::exp2(static_cast<double>(retryAttempt_)),
                                  kMaximumRetryInterval);
  const uint32_t bound = drawBoundInMilliseconds(ceiling);
  if (bound <= 1) return 0.0;
  return static_cast<double>(std::min(randomUniform_(bound), bound - 1)) / MILLISEC_PER_SEC;
}
