// The event-stream client's factories, properties and listener
// registrations: each a step of one line or two.

#include "LDEventSource/LDEventSource.h"

std::shared_ptr<LDEventSource> LDEventSource::eventSourceWithURL(
    NSURLPtr url, std::optional<NSHTTPHeaderFields> httpHeaders) {
  return eventSourceWithURL(std::move(url), std::move(httpHeaders), kDefaultTimeoutInterval, "GET",
                            std::nullopt);
}

std::shared_ptr<LDEventSource> LDEventSource::eventSourceWithURL(
    NSURLPtr url, std::optional<NSHTTPHeaderFields> httpHeaders,
    std::optional<std::string> connectMethod, std::optional<NSData> connectBody) {
  return eventSourceWithURL(std::move(url), std::move(httpHeaders), kDefaultTimeoutInterval,
                            std::move(connectMethod), std::move(connectBody));
}

std::shared_ptr<LDEventSource> LDEventSource::eventSourceWithURL(
    NSURLPtr url, std::optional<NSHTTPHeaderFields> httpHeaders, double timeoutInterval,
    std::optional<std::string> connectMethod, std::optional<NSData> connectBody) {
  return std::make_shared<LDEventSource>(std::move(url), std::move(httpHeaders), timeoutInterval,
                                         std::move(connectMethod), std::move(connectBody));
}

NSURLPtr LDEventSource::eventURL() const {
  std::lock_guard lock(mutex_);
  return eventURL_;
}
void LDEventSource::setEventURL(NSURLPtr url) {
  std::lock_guard lock(mutex_);
  eventURL_ = std::move(url);
}
NSURLSessionDataTaskPtr LDEventSource::eventSourceTask() const {
  std::lock_guard lock(mutex_);
  return eventSourceTask_;
}
NSURLSessionPtr LDEventSource::session() const {
  std::lock_guard lock(mutex_);
  return session_;
}
double LDEventSource::timeoutInterval() const {
  std::lock_guard lock(mutex_);
  return timeoutInterval_;
}
void LDEventSource::setTimeoutInterval(double seconds) {
  std::lock_guard lock(mutex_);
  timeoutInterval_ = seconds;
}
double LDEventSource::retryInterval() const {
  std::lock_guard lock(mutex_);
  return retryInterval_;
}
void LDEventSource::setRetryInterval(double seconds) {
  std::lock_guard lock(mutex_);
  retryInterval_ = seconds;
}
long LDEventSource::retryAttempt() const {
  std::lock_guard lock(mutex_);
  return retryAttempt_;
}
void LDEventSource::setRetryAttempt(long attempt) {
  std::lock_guard lock(mutex_);
  retryAttempt_ = attempt;
}
std::optional<NSHTTPHeaderFields> LDEventSource::httpRequestHeaders() const {
  std::lock_guard lock(mutex_);
  return httpRequestHeaders_;
}
void LDEventSource::setHttpRequestHeaders(std::optional<NSHTTPHeaderFields> headers) {
  std::lock_guard lock(mutex_);
  httpRequestHeaders_ = std::move(headers);
}
std::optional<std::string> LDEventSource::connectMethod() const {
  std::lock_guard lock(mutex_);
  return connectMethod_;
}
void LDEventSource::setConnectMethod(std::optional<std::string> method) {
  std::lock_guard lock(mutex_);
  connectMethod_ = std::move(method);
}
std::optional<NSData> LDEventSource::connectBody() const {
  std::lock_guard lock(mutex_);
  return connectBody_;
}
void LDEventSource::setConnectBody(std::optional<NSData> body) {
  std::lock_guard lock(mutex_);
  connectBody_ = std::move(body);
}
std::optional<std::string> LDEventSource::lastEventID() const {
  std::lock_guard lock(mutex_);
  return lastEventID_;
}
void LDEventSource::setLastEventID(std::optional<std::string> eventID) {
  std::lock_guard lock(mutex_);
  lastEventID_ = std::move(eventID);
}
std::map<std::string, size_t> LDEventSource::listenerCounts() const {
  return listeners_.counts();
}
std::size_t LDEventSource::recordsInFlight() const {
  return delivery_.flow().records();
}
dispatch_queue_t LDEventSource::listenerQueue() const {
  return listeners_.queue();
}
void LDEventSource::setListenerQueue(dispatch_queue_t queue) {
  listeners_.setQueue(std::move(queue));
}
void LDEventSource::setRandomUniform(RandomUniform draw) {
  if (!draw) return;
  std::lock_guard lock(mutex_);
  randomUniform_ = std::move(draw);
}
std::size_t LDEventSource::maxEventSize() const {
  std::lock_guard lock(mutex_);
  return maxEventSize_;
}
void LDEventSource::setMaxEventSize(std::size_t bytes) {
  std::lock_guard lock(mutex_);
  maxEventSize_ = bytes;
}

void LDEventSource::setBatchHandler(LDEventSourceBatchHandler handler) {
  delivery_.setBatchHandler(std::move(handler));
}

void LDEventSource::addEventListener(std::string_view eventName,
                                     LDEventSourceEventHandler handler) {
  listeners_.add(eventName, std::move(handler));
}
void LDEventSource::onMessage(LDEventSourceEventHandler handler) {
  addEventListener(MessageEvent, std::move(handler));
}
void LDEventSource::onError(LDEventSourceEventHandler handler) {
  addEventListener(ErrorEvent, std::move(handler));
}
void LDEventSource::onOpen(LDEventSourceEventHandler handler) {
  addEventListener(OpenEvent, std::move(handler));
}
void LDEventSource::onReadyStateChanged(LDEventSourceEventHandler handler) {
  addEventListener(ReadyStateEvent, std::move(handler));
}

// Both are queued under the registry's lock, so once close() has dropped
// the listeners no call of theirs is queued any more.
void LDEventSource::_dispatchEvent(const LDEventPtr& event, std::string_view type) {
  listeners_.post(event, type);
}
void LDEventSource::_dispatchEvent(const LDEventPtr& event) {
  listeners_.post(LDEventBatch{{event, LDEventOccasion::Parsed}}, [](const LDEventBatch&) {});
}
