#include "LDEventSource/LDEventSource.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <limits>

#include "Platform/Foundation/NSLog.h"

namespace {

// Text held back by the bound on records in flight is read again in slices
// of this size, so that each slice adds only a few records past the bound.
constexpr std::size_t kHeldSliceSize = std::size_t{16} * 1024;

// Room for the records of a full 16 KiB piece of short events.
constexpr std::size_t kBatchCapacity = 256;

// The most room for the texts of a piece that is kept between pieces.
constexpr std::size_t kRetainedTextCapacity = std::size_t{1} << 20;

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

std::shared_ptr<LDEvent> readyStateRecord(LDEventReadyState state) {
  auto record = std::make_shared<LDEvent>();
  record->setReadyState(state);
  return record;
}

// A handler that throws is reported; the other calls of its block still run.
void callHandler(const LDEventSourceEventHandler& handler, const LDEventPtr& event) noexcept {
  try {
    handler(event);
  } catch (const std::exception& e) {
    NSLog("LDEventSource: a listener threw: %s", e.what());
  } catch (...) {
    NSLog("LDEventSource: a listener threw");
  }
}

}  // namespace

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

LDEventSource::LDEventSource(NSURLPtr url, std::optional<NSHTTPHeaderFields> httpHeaders,
                             double timeoutInterval, std::optional<std::string> connectMethod,
                             std::optional<NSData> connectBody)
    : listenerQueue_(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0)),
      eventURL_(std::move(url)),
      timeoutInterval_(timeoutInterval),
      httpRequestHeaders_(std::move(httpHeaders)),
      connectMethod_(std::move(connectMethod)),
      connectBody_(std::move(connectBody)),
      reader_(makeReader()),
      randomUniform_([](uint32_t bound) { return arc4random_uniform(bound); }),
      listeners_(std::make_shared<const Registry>()) {}

LDEventSource::~LDEventSource() = default;

LDEventStreamReader LDEventSource::makeReader() {
  return LDEventStreamReader::withFieldsHandler(
      [this](const LDEventParser::BlockFields& fields) { blockParsed(fields); }, maxEventSize_);
}

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
    // The test for a void reconnection and the opening are one step, so a
    // close() on another thread comes either before (and the reconnection
    // does nothing) or after (and ends the new connection).
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

    // A new connection starts from an empty stream: whatever the last one
    // left unfinished is dropped rather than glued onto the new text.
    if (reader_.maxEventSize() == maxEventSize_) {
      reader_.reset();
    } else {
      reader_ = makeReader();
    }
    discardBody_ = false;
    deliveredData_ = false;
    failure_.reset();
    resetHoldLocked();

    previous = std::move(session_);
    // The session holds this client as its delegate until it is
    // invalidated: that cycle is what keeps an open client alive without an
    // outside owner, and close() (or the next open()) breaks it.
    session_ = NSURLSession::sessionWithConfiguration(
        NSURLSessionConfiguration::ephemeralSessionConfiguration(), self, nullptr);
    task = session_->dataTaskWithRequest(request);
    eventSourceTask_ = task;
    // Told before the request starts, so that CONNECTING always comes first.
    deliverStateLocked(LDEventReadyStateConnecting, Occasion::Connecting);
  }
  if (previous) previous->invalidateAndCancel();
  task->resume();
}

void LDEventSource::close() {
  NSURLSessionDataTaskPtr task;
  NSURLSessionPtr session;
  {
    std::lock_guard lock(mutex_);
    wasClosed_ = true;
    ++generation_;
    task = std::move(eventSourceTask_);
    session = std::move(session_);
    reader_.reset();
    resetHoldLocked();
    batchHandler_.reset();
  }
  if (task) task->cancel();
  if (session) session->finishTasksAndInvalidate();
  std::lock_guard lock(listenersMutex_);
  closeCount_.fetch_add(1);
  listeners_ = std::make_shared<const Registry>();
  registryVersion_.fetch_add(1);
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
    std::lock_guard lock(mutex_);
    current = isCurrentTask(dataTask);
    if (current) {
      // A 200 answer of another media type (a captive portal's login page)
      // is no event stream either; one without a Content-Type is read.
      const std::optional<std::string> type =
          response ? response->valueForHTTPHeaderField("Content-Type") : std::nullopt;
      const bool opened =
          response && response->statusCode() == 200 && (!type || isEventStreamType(*type));
      // Any other answer's body is read to its end and dropped: it is not a
      // stream of this server's events.
      discardBody_ = !opened;
      if (opened) deliverStateLocked(LDEventReadyStateOpen, Occasion::Opened);
    }
  }
  // A task of a session that open() or close() already let go is refused.
  completionHandler(current ? NSURLSessionResponseDisposition::Allow
                            : NSURLSessionResponseDisposition::Cancel);
}

void LDEventSource::didReceiveData(const NSURLSessionPtr& /*session*/,
                                   const NSURLSessionDataTaskPtr& dataTask, const NSData& data) {
  NSURLSessionDataTaskPtr failed;
  {
    std::lock_guard lock(mutex_);
    if (!isCurrentTask(dataTask) || discardBody_ || failure_) return;
    // Past the bound, pieces are kept unread, in order, behind those kept
    // before: whatever is still on its way once the task is suspended.
    if (flow_.state != FlowState::Flowing || pastBoundLocked()) {
      holdLocked(dataTask);
      flow_.held.append(data);
      return;
    }
    if (!readLocked(data)) {
      failed = dataTask;
    } else if (pastBoundLocked()) {
      holdLocked(dataTask);
    }
  }
  if (failed) failed->cancel();
}

bool LDEventSource::readLocked(std::string_view bytes) {
  const bool read = reader_.appendBytes(bytes);
  // One block on the listener queue for all the records of the piece;
  // those parsed before a block that is too large are still delivered.
  if (!parsed_.empty()) deliverParsedLocked();
  if (!read) {
    failure_ = NSError::errorWithDomain(std::string(LDEventSourceErrorDomain),
                                        LDEventSourceErrorCodeEventTooLarge,
                                        std::string(LDEventSourceEventTooLargeDescription));
  }
  return read;
}

// Called by the reader, inside readLocked and so under the lock. The texts
// are kept in one buffer for the whole piece.
void LDEventSource::blockParsed(const LDEventParser::BlockFields& fields) {
  // An identifier with a NUL cannot be sent back as a header field: taken,
  // it would fail every reconnection before its request is sent.
  if (fields.id && fields.id->find('\0') == std::string_view::npos && lastEventID_ != fields.id) {
    lastEventID_ = std::string(*fields.id);
  }
  if (fields.retryInterval) retryInterval_ = *fields.retryInterval;
  // Only a connection that delivers data counts as a success that starts
  // the back-off again: an answer of 200 alone does not.
  if (fields.data && !deliveredData_) {
    deliveredData_ = true;
    attemptsBeforeData_ = retryAttempt_;
    retryAttempt_ = 0;
  }
  ParsedRecord& parsed = parsed_.emplace_back();
  const auto keep = [this](const std::optional<std::string_view>& text, std::size_t& offset,
                           std::size_t& size) {
    if (!text) return false;
    offset = parsedText_.size();
    size = text->size();
    parsedText_.append(*text);
    parsedBytes_ += text->size();
    return true;
  };
  parsed.hasId = keep(fields.id, parsed.idOffset, parsed.idSize);
  parsed.hasEvent = keep(fields.event, parsed.eventOffset, parsed.eventSize);
  parsed.hasData = keep(fields.data, parsed.dataOffset, parsed.dataSize);
}

void LDEventSource::deliverParsedLocked() {
  const std::string_view text(parsedText_);
  const auto view = [text](bool present, std::size_t offset,
                           std::size_t size) -> std::optional<std::string_view> {
    if (!present) return std::nullopt;
    return text.substr(offset, size);
  };
  if (batchHandler_) {
    deliveries_.resize(parsed_.size());
    for (std::size_t i = 0; i < parsed_.size(); ++i) {
      const ParsedRecord& parsed = parsed_[i];
      LDEventDelivery& delivery = deliveries_[i];
      delivery.record.id = view(parsed.hasId, parsed.idOffset, parsed.idSize);
      delivery.record.event = view(parsed.hasEvent, parsed.eventOffset, parsed.eventSize);
      delivery.record.data = view(parsed.hasData, parsed.dataOffset, parsed.dataSize);
      delivery.record.readyState = LDEventReadyStateOpen;
      delivery.types[0] = MessageEvent;
      delivery.typeCount = 1;
      if (delivery.record.event) delivery.types[delivery.typeCount++] = *delivery.record.event;
    }
    callBatchHandlerLocked(deliveries_);
  }
  // Records are made only for listeners that take them.
  if (hasListeners()) {
    Batch batch = spareBatch();
    for (const ParsedRecord& parsed : parsed_) {
      auto record = std::make_shared<LDEvent>();
      record->setReadyState(LDEventReadyStateOpen);
      if (parsed.hasId) record->setId(std::string(text.substr(parsed.idOffset, parsed.idSize)));
      if (parsed.hasEvent) {
        record->setEvent(std::string(text.substr(parsed.eventOffset, parsed.eventSize)));
      }
      if (parsed.hasData) {
        record->setData(std::string(text.substr(parsed.dataOffset, parsed.dataSize)));
      }
      batch.push_back({std::move(record), Occasion::Parsed});
    }
    deliverLocked(std::move(batch), parsedBytes_);
  }
  parsed_.clear();
  // The text of a piece of short events is kept for the next one; that of
  // a huge event is given back.
  if (parsedText_.capacity() > kRetainedTextCapacity) {
    std::string().swap(parsedText_);
  } else {
    parsedText_.clear();
  }
  parsedBytes_ = 0;
}

void LDEventSource::deliverStateLocked(LDEventReadyState state, Occasion occasion,
                                       NSErrorPtr error) {
  auto record = readyStateRecord(state);
  record->setError(std::move(error));
  if (batchHandler_) {
    LDEventDelivery delivery{LDEventView::of(*record)};
    delivery.types[delivery.typeCount++] = ReadyStateEvent;
    if (occasion == Occasion::Opened) delivery.types[delivery.typeCount++] = OpenEvent;
    if (occasion == Occasion::Ended) delivery.types[delivery.typeCount++] = ErrorEvent;
    callBatchHandlerLocked(std::span<const LDEventDelivery>(&delivery, 1));
  }
  deliverLocked({{std::move(record), occasion}}, 0);
}

void LDEventSource::callBatchHandlerLocked(std::span<const LDEventDelivery> records) {
  // Held for the call: a handler that sets another one does not end itself.
  const std::shared_ptr<const LDEventSourceBatchHandler> handler = batchHandler_;
  try {
    (*handler)(records);
  } catch (const std::exception& e) {
    NSLog("LDEventSource: the batch handler threw: %s", e.what());
  } catch (...) {
    NSLog("LDEventSource: the batch handler threw");
  }
}

bool LDEventSource::hasListeners() const {
  std::lock_guard lock(listenersMutex_);
  return !listeners_->byType.empty();
}

void LDEventSource::setBatchHandler(LDEventSourceBatchHandler handler) {
  std::lock_guard lock(mutex_);
  batchHandler_ =
      handler ? std::make_shared<const LDEventSourceBatchHandler>(std::move(handler)) : nullptr;
}

void LDEventSource::didCompleteWithError(const NSURLSessionPtr& /*session*/,
                                         const NSURLSessionDataTaskPtr& task,
                                         const NSErrorPtr& error) {
  std::optional<double> delay;
  uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    if (!isCurrentTask(task)) return;
    // The records of pieces still held back come before the end.
    if (flow_.state != FlowState::Flowing && flow_.heldOffset < flow_.held.size()) {
      flow_.heldEnd = error;
      return;
    }
    delay = endTaskLocked(task, error, &generation);
  }
  if (delay) scheduleReconnection(*delay, generation);
}

std::optional<double> LDEventSource::endTaskLocked(const NSURLSessionDataTaskPtr& task,
                                                   const NSErrorPtr& error, uint64_t* generation) {
  eventSourceTask_.reset();
  reader_.reset();
  resetHoldLocked();
  if (wasClosed_) return std::nullopt;
  NSErrorPtr endError =
      failure_ ? failure_ : eventErrorForTask(task, LDEventReadyStateClosed, error);
  // The delay is drawn, and the generation that the reconnection belongs
  // to taken, in the same step as the end: a close() or open() after it
  // voids the reconnection.
  std::optional<double> delay;
  if (!responseIsUnauthorizedForTask(task)) {
    // A connection that the client failed itself (a block too large) is no
    // success, whatever it delivered before: the count goes on growing.
    if (failure_ && deliveredData_) retryAttempt_ = attemptsBeforeData_;
    delay = increaseIntervalWithBackoff();
    // A connection that gave nothing (dropped at once, only a retry field
    // or comments, refused, a block too large) is never retried in a
    // tight loop.
    if (!deliveredData_ || failure_) delay = std::max(*delay, kMinimumRetryDelayWithoutData);
  }
  *generation = generation_;
  deliverStateLocked(LDEventReadyStateClosed, Occasion::Ended, std::move(endError));
  return delay;
}

bool LDEventSource::pastBoundLocked() const {
  return flow_.records.load() > kMaximumRecordsInFlight ||
         flow_.bytes.load() > kMaximumBytesInFlight;
}

bool LDEventSource::roomAgainLocked() const {
  return flow_.records.load() <= kMaximumRecordsInFlight / 2 &&
         flow_.bytes.load() <= kMaximumBytesInFlight / 2;
}

void LDEventSource::holdLocked(const NSURLSessionDataTaskPtr& task) {
  if (flow_.state == FlowState::Flowing) {
    flow_.enter(FlowState::Holding);
    task->suspend();
  }
  // Looked at after `holding` is set (see FlowState).
  if (roomAgainLocked()) scheduleDrainLocked();
}

void LDEventSource::scheduleDrainLocked() {
  if (flow_.state != FlowState::Holding || !session_ || !eventSourceTask_) return;
  flow_.enter(FlowState::Draining);
  // On the delegate queue, so that the held pieces are read before any
  // piece that comes once the task runs again.
  std::weak_ptr<LDEventSource> weak = weak_from_this();
  dispatch_async(session_->delegateQueue(), [weak, task = eventSourceTask_] {
    if (auto self = weak.lock()) self->drainHeld(task);
  });
}

void LDEventSource::resetHoldLocked(bool keepBuffer) {
  flow_.enter(FlowState::Flowing);
  if (keepBuffer) {
    flow_.held.clear();
  } else {
    std::string().swap(flow_.held);
  }
  flow_.heldOffset = 0;
  flow_.heldEnd.reset();
}

void LDEventSource::drainHeld(const NSURLSessionDataTaskPtr& task) {
  NSURLSessionDataTaskPtr failed;
  std::optional<double> delay;
  uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    // A pass of a task that has gone since, or one that a reset voided.
    if (!isCurrentTask(task) || flow_.state != FlowState::Draining) return;
    while (flow_.heldOffset < flow_.held.size() && !failure_) {
      // Full again: the release that makes room next schedules another pass.
      if (pastBoundLocked()) {
        flow_.enter(FlowState::Holding);
        return;
      }
      const std::string_view slice =
          std::string_view(flow_.held).substr(flow_.heldOffset, kHeldSliceSize);
      flow_.heldOffset += slice.size();
      if (!readLocked(slice)) failed = task;
    }
    const std::optional<NSErrorPtr> end = std::move(flow_.heldEnd);
    resetHoldLocked(!end);
    if (end) {
      delay = endTaskLocked(task, *end, &generation);
      failed.reset();  // it has ended already
    } else if (!failed) {
      task->resume();
    }
  }
  if (failed) failed->cancel();
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
  RandomUniform draw;
  uint32_t bound = 0;
  {
    std::lock_guard lock(mutex_);
    ++retryAttempt_;
    const double ceiling = std::min(retryInterval_ * std::exp2(static_cast<double>(retryAttempt_)),
                                    kMaximumRetryInterval);
    bound = drawBoundInMilliseconds(ceiling);
    draw = randomUniform_;
  }
  if (bound <= 1) return 0.0;
  return static_cast<double>(std::min(draw(bound), bound - 1)) / MILLISEC_PER_SEC;
}

void LDEventSource::addEventListener(std::string_view eventName,
                                     LDEventSourceEventHandler handler) {
  if (!handler) return;
  auto copy = std::make_shared<const LDEventSourceEventHandler>(std::move(handler));
  std::lock_guard lock(listenersMutex_);
  listeners_ = listeners_->adding(eventName, std::move(copy));
  registryVersion_.fetch_add(1);
}

const LDEventSource::Handlers* LDEventSource::Registry::handlersOf(std::string_view type) const {
  const auto it = byType.find(type);
  return it == byType.end() ? nullptr : &it->second;
}

std::shared_ptr<const LDEventSource::Registry> LDEventSource::Registry::adding(
    std::string_view type, std::shared_ptr<const LDEventSourceEventHandler> handler) const {
  auto registry = std::make_shared<Registry>();
  registry->byType = byType;
  auto it = registry->byType.find(type);
  if (it == registry->byType.end())
    it = registry->byType.emplace(std::string(type), Handlers()).first;
  it->second.push_back(std::move(handler));
  registry->messages = registry->handlersOf(MessageEvent);
  return registry;
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

// Both queue their block under the lock, so once close() has dropped the
// listeners no call of theirs is queued any more.
void LDEventSource::_dispatchEvent(const LDEventPtr& event, std::string_view type) {
  std::lock_guard lock(listenersMutex_);
  if (listeners_->handlersOf(type) == nullptr) return;
  dispatch_async(listenerQueue_, [registry = listeners_, event, type = std::string(type)] {
    for (const auto& handler : *registry->handlersOf(type))
      callHandler(*handler, event);
  });
}

void LDEventSource::_dispatchEvent(const LDEventPtr& event) {
  std::lock_guard lock(listenersMutex_);
  if (listeners_->byType.empty()) return;
  dispatch_async(listenerQueue_, [registry = listeners_, event] {
    callListeners(*registry, Queued{event, Occasion::Parsed});
  });
}

void LDEventSource::callListeners(std::shared_ptr<const Registry> registry, uint64_t version,
                                  uint64_t closeCount, const Batch& batch) const {
  for (const Queued& queued : batch) {
    if (registryVersion_.load() != version) {
      std::lock_guard lock(listenersMutex_);
      if (closeCount_.load() == closeCount) registry = listeners_;
      version = registryVersion_.load();
    }
    callListeners(*registry, queued);
  }
}

void LDEventSource::callListeners(const Registry& registry, const Queued& queued) {
  const auto callEach = [&queued](const Handlers* handlers) {
    if (handlers == nullptr) return;
    for (const auto& handler : *handlers)
      callHandler(*handler, queued.event);
  };
  const auto callAll = [&](std::string_view type) { callEach(registry.handlersOf(type)); };
  switch (queued.occasion) {
    case Occasion::Parsed:
      // "message", then the record's own name, which is not compared with
      // the client's names: a record named "message" reaches those handlers
      // twice.
      callEach(registry.messages);
      if (queued.event->event()) callAll(*queued.event->event());
      break;
    case Occasion::Connecting:
      callAll(ReadyStateEvent);
      break;
    case Occasion::Opened:
      callAll(ReadyStateEvent);
      callAll(OpenEvent);
      break;
    case Occasion::Ended:
      callAll(ReadyStateEvent);
      callAll(ErrorEvent);
      break;
  }
}

void LDEventSource::deliverLocked(Batch batch, std::size_t bytes) {
  // Under the listeners' lock, so that once close() has dropped the
  // listeners no call of theirs is queued any more.
  std::lock_guard lock(listenersMutex_);
  if (listeners_->byType.empty()) return;
  flow_.records.fetch_add(batch.size());
  flow_.bytes.fetch_add(bytes);
  dispatch_async(listenerQueue_,
                 [weak = weak_from_this(), registry = listeners_, version = registryVersion_.load(),
                  closeCount = closeCount_.load(), batch = std::move(batch), bytes]() mutable {
                   if (auto self = weak.lock()) {
                     self->callListeners(registry, version, closeCount, batch);
                     self->release(batch.size(), bytes);
                     self->recycle(std::move(batch));
                   } else {
                     for (const Queued& queued : batch)
                       callListeners(*registry, queued);
                   }
                 });
}

void LDEventSource::recycle(Batch batch) {
  // A few spares cover the pieces in flight at once; more would only hold
  // memory.
  constexpr std::size_t kMostSpares = 4;
  // Only a batch with the room that spareBatch() asks for is worth keeping.
  // A smaller one (a state change's single record) would be replaced on
  // reuse anyway, and kept it would hold its record for as long as the
  // stream stays idle.
  if (batch.capacity() < kBatchCapacity) return;
  std::lock_guard lock(spareMutex_);
  if (spareBatches_.size() < kMostSpares) spareBatches_.push_back(std::move(batch));
}

LDEventSource::Batch LDEventSource::spareBatch() {
  Batch batch;
  {
    std::lock_guard lock(spareMutex_);
    if (!spareBatches_.empty()) {
      batch = std::move(spareBatches_.back());
      spareBatches_.pop_back();
    }
  }
  batch.clear();
  batch.reserve(kBatchCapacity);
  return batch;
}

void LDEventSource::release(std::size_t records, std::size_t bytes) {
  flow_.records.fetch_sub(records);
  flow_.bytes.fetch_sub(bytes);
  if (!flow_.holding.load()) return;
  std::lock_guard lock(mutex_);
  if (roomAgainLocked()) scheduleDrainLocked();
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
  std::lock_guard lock(listenersMutex_);
  std::map<std::string, size_t> counts;
  for (const auto& [type, handlers] : listeners_->byType)
    counts[type] = handlers.size();
  return counts;
}
std::size_t LDEventSource::recordsInFlight() const {
  return flow_.records.load();
}
dispatch_queue_t LDEventSource::listenerQueue() const {
  std::lock_guard lock(listenersMutex_);
  return listenerQueue_;
}
void LDEventSource::setListenerQueue(dispatch_queue_t queue) {
  if (!queue) return;
  std::lock_guard lock(listenersMutex_);
  listenerQueue_ = std::move(queue);
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
