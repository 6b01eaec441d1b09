#pragma once
// The event-stream client: one long-lived HTTP request to a stream URL whose
// body is read as it arrives and turned into event records for the
// listeners registered by type. When the connection ends for any reason but
// close() or an HTTP 401 answer, it is opened again after a randomised,
// exponentially growing delay, sending the last event ID it saw.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "LDEventSource/LDEvent.h"
#include "LDEventSource/LDEventSourceConstants.h"
#include "LDEventSource/LDEventStreamReader.h"
#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSData.h"
#include "Platform/Net/NSURLSession.h"

// A listener: called with each record delivered under the type it was
// registered for.
using LDEventSourceEventHandler = std::function<void(const LDEventPtr& event)>;

// One record as a batch handler sees it, and the types that the listeners
// get it under, in order: "message" and then its own event name for a
// parsed record; "readyState" and then "open" or "error" for a change of
// state ("readyState" alone for CONNECTING).
struct LDEventDelivery {
  LDEventView record;
  std::array<std::string_view, 2> types{};
  std::size_t typeCount = 0;

  std::span<const std::string_view> typeNames() const { return {types.data(), typeCount}; }
};
// A batch handler: the records of one piece of the stream (or one change of
// state), whose views stay valid for the call only.
using LDEventSourceBatchHandler = std::function<void(std::span<const LDEventDelivery> records)>;

class LDEventSource : public NSURLSessionDataDelegate,
                      public std::enable_shared_from_this<LDEventSource> {
 public:
  // Draws a whole number from 0 to bound - 1 (bound 0 or 1: 0); the back-off
  // draws milliseconds.
  using RandomUniform = std::function<uint32_t(uint32_t bound)>;

  static constexpr double kDefaultTimeoutInterval = 300.0;
  static constexpr double kMaximumRetryInterval = 3600.0;
  // The shortest wait, in seconds, after a connection that ended before it
  // delivered a record with data, whatever the draw and the retry interval.
  static constexpr double kMinimumRetryDelayWithoutData = 1.0;
  // Records in flight (parsed, and their handler calls not yet all run)
  // past which the client stops reading the stream, and the text bytes of
  // their id, event and data past which it does too. Reading goes on once
  // both are back at half of their bound. A few thousand records keep a
  // fast handler busy while the next pieces are read, and keep the records
  // in flight small enough to stay in the processor's cache.
  static constexpr std::size_t kMaximumRecordsInFlight = 4096;
  static constexpr std::size_t kMaximumBytesInFlight = std::size_t{4} << 20;

  // GET with the given headers and a time-out of 300 seconds.
  static std::shared_ptr<LDEventSource> eventSourceWithURL(
      NSURLPtr url, std::optional<NSHTTPHeaderFields> httpHeaders);
  static std::shared_ptr<LDEventSource> eventSourceWithURL(
      NSURLPtr url, std::optional<NSHTTPHeaderFields> httpHeaders,
      std::optional<std::string> connectMethod, std::optional<NSData> connectBody);
  static std::shared_ptr<LDEventSource> eventSourceWithURL(
      NSURLPtr url, std::optional<NSHTTPHeaderFields> httpHeaders, double timeoutInterval,
      std::optional<std::string> connectMethod, std::optional<NSData> connectBody);

  LDEventSource(NSURLPtr url, std::optional<NSHTTPHeaderFields> httpHeaders, double timeoutInterval,
                std::optional<std::string> connectMethod, std::optional<NSData> connectBody);
  ~LDEventSource() override;
  LDEventSource(const LDEventSource&) = delete;
  LDEventSource& operator=(const LDEventSource&) = delete;

  // Starts a connection attempt. From here until close() the connection
  // machinery keeps the client alive; nobody else needs to hold it. A
  // client must be owned by a shared_ptr (as eventSourceWithURL makes it);
  // one that is not cannot be opened.
  void open();
  // Ends the running connection, cancels a scheduled reconnection, stops all
  // reporting and drops every listener. Nothing reaches a listener after
  // it, but for handler calls already handed to the listener queue, which
  // still run (to the listeners registered before the close). Only open()
  // connects again.
  void close();

  // Listener registry; safe from any thread, also during delivery. A
  // listener added while records are being delivered is called for the
  // records whose calls start after it.
  void addEventListener(std::string_view eventName, LDEventSourceEventHandler handler);
  void onMessage(LDEventSourceEventHandler handler);
  void onError(LDEventSourceEventHandler handler);
  void onOpen(LDEventSourceEventHandler handler);
  void onReadyStateChanged(LDEventSourceEventHandler handler);

  // URL session notifications.
  void didReceiveResponse(
      const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
      const NSHTTPURLResponsePtr& response,
      std::function<void(NSURLSessionResponseDisposition)> completionHandler) override;
  void didReceiveData(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
                      const NSData& data) override;
  void didCompleteWithError(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                            const NSErrorPtr& error) override;

  // The error that a closed connection reports.
  NSErrorPtr eventErrorForTask(const NSURLSessionDataTaskPtr& task, long errorCode,
                               const NSErrorPtr& underlyingError) const;
  // True when the task's answer is HTTP 401.
  static bool responseIsUnauthorizedForTask(const NSURLSessionDataTaskPtr& task);
  // Counts one more attempt and returns the next delay in seconds: a whole
  // number of milliseconds drawn below the ceiling, retryInterval times two
  // to the power of the attempts, at most kMaximumRetryInterval.
  double increaseIntervalWithBackoff();

  // Properties.
  NSURLPtr eventURL() const;
  void setEventURL(NSURLPtr url);
  NSURLSessionDataTaskPtr eventSourceTask() const;
  NSURLSessionPtr session() const;
  double timeoutInterval() const;
  void setTimeoutInterval(double seconds);
  double retryInterval() const;
  void setRetryInterval(double seconds);
  long retryAttempt() const;
  void setRetryAttempt(long attempt);
  std::optional<NSHTTPHeaderFields> httpRequestHeaders() const;
  void setHttpRequestHeaders(std::optional<NSHTTPHeaderFields> headers);
  std::optional<std::string> connectMethod() const;
  void setConnectMethod(std::optional<std::string> method);
  std::optional<NSData> connectBody() const;
  void setConnectBody(std::optional<NSData> body);
  std::optional<std::string> lastEventID() const;
  void setLastEventID(std::optional<std::string> eventID);
  // The fast way to every record, for a client that prints or counts them
  // all: one handler, called with the records of each piece of the stream
  // as views, before the same records are queued for the listeners. It is
  // called under the client's lock, on the thread that reads the stream (or
  // that opens or ends the connection): one call at a time, in stream
  // order, and never after close() has returned, which drops it. It makes
  // no record objects, and it takes no part in the bound on records in
  // flight: a handler that takes its time holds the reading up instead. It
  // must not call open() or close(), nor wait for a thread that does. A null
  // handler removes the one set.
  void setBatchHandler(LDEventSourceBatchHandler handler);

  // Listener counts by type (diagnostics and tests).
  std::map<std::string, size_t> listenerCounts() const;
  // Records parsed, or made for a state change, whose handler calls have
  // not all run yet (diagnostics and tests). While it is past
  // kMaximumRecordsInFlight (or their text past kMaximumBytesInFlight) the
  // data task is suspended and the pieces still on their way are held
  // unread, so a slow handler holds the stream back instead of making
  // memory grow. A handler must therefore not wait for a later record.
  std::size_t recordsInFlight() const;

  // The queue on which listeners run: the global queue of high priority,
  // unless a caller that needs its handler calls in stream order sets a
  // serial queue. Reconnections always fire on the global queue.
  //
  // The calls that one piece of the stream makes (its records, each to
  // every handler of its types, in stream and registration order) are one
  // block on this queue. On a serial queue every call therefore runs in
  // stream order. On a concurrent queue the calls of one piece run one
  // after the other on one thread, while those of different pieces may
  // overlap and finish in any order.
  dispatch_queue_t listenerQueue() const;
  void setListenerQueue(dispatch_queue_t queue);
  // Replaces the random draw of the back-off (tests).
  void setRandomUniform(RandomUniform draw);
  // The most text one event block may hold, in bytes (LDEventSourceMaxEventSize
  // unless set). A new limit applies from the next open().
  std::size_t maxEventSize() const;
  void setMaxEventSize(std::size_t bytes);

  // Delivery: a record to the listeners of exactly one type, and a parsed
  // record to "message" and then to its own event name.
  void _dispatchEvent(const LDEventPtr& event, std::string_view type);
  void _dispatchEvent(const LDEventPtr& event);

 private:
  // The types a record is delivered under, in this order.
  enum class Occasion : uint8_t {
    Parsed,      // "message", then the record's own event name if any
    Connecting,  // "readyState"
    Opened,      // "readyState", "open"
    Ended,       // "readyState", "error"
  };
  struct Queued {
    LDEventPtr event;
    Occasion occasion;
  };
  using Batch = std::vector<Queued>;
  using Handlers = std::vector<std::shared_ptr<const LDEventSourceEventHandler>>;
  // Listeners by type. Never changed once made: a registration makes a new
  // one, so a block on the listener queue holds the registry of its time.
  struct Registry {
    std::map<std::string, Handlers, std::less<>> byType;
    // byType's "message" list, which every parsed record goes to, if any.
    const Handlers* messages = nullptr;

    const Handlers* handlersOf(std::string_view type) const;
    // A copy with one more handler.
    std::shared_ptr<const Registry> adding(std::string_view type,
                                           std::shared_ptr<const LDEventSourceEventHandler>) const;
  };

  // Opens, unless a generation is given and open() or close() has run since
  // (a reconnection that was scheduled then is void).
  void openConnection(std::optional<uint64_t> scheduledGeneration);
  LDEventStreamReader makeReader();
  bool isCurrentTask(const NSURLSessionDataTaskPtr& task) const;
  void blockParsed(const LDEventParser::BlockFields& fields);
  // The records of the piece just read: to the batch handler, then to the
  // listeners. mutex_ held.
  void deliverParsedLocked();
  // A change of state, the same way. mutex_ held.
  void deliverStateLocked(LDEventReadyState state, Occasion occasion, NSErrorPtr error = nullptr);
  void callBatchHandlerLocked(std::span<const LDEventDelivery> records);
  bool hasListeners() const;
  // Reads one piece of the body and queues the records it completes as one
  // batch; false when a block has grown past the size limit. mutex_ held.
  bool readLocked(std::string_view bytes);
  // The steps at the end of a data task; the delay of the reconnection to
  // schedule, if any. mutex_ held.
  std::optional<double> endTaskLocked(const NSURLSessionDataTaskPtr& task, const NSErrorPtr& error,
                                      uint64_t* generation);
  // Hands records to the listeners of their types, as one block on the
  // listener queue. Called with mutex_ held, so that blocks are queued in
  // the order in which the connection made their records. They count as in
  // flight until their calls have run.
  void deliverLocked(Batch batch, std::size_t bytes);
  // Runs every call of a batch, in order. Each record is delivered to the
  // listeners registered when its calls start, or, once close() has run
  // since the batch was queued, to those registered before the close().
  void callListeners(std::shared_ptr<const Registry> registry, uint64_t version,
                     uint64_t closeCount, const Batch& batch) const;
  // The calls of one record.
  static void callListeners(const Registry& registry, const Queued& queued);
  // Records (and their text) whose calls have run.
  void release(std::size_t records, std::size_t bytes);
  // A batch whose calls have run comes back for a later piece: a batch's
  // buffer is a few KiB, and allocating one per piece would make the
  // allocator tidy its free lists each time. Its records are let go when
  // it is reused, under mutex_, by the thread that reads the stream: freed
  // where they were made, their memory goes straight back to the records
  // that it parses next.
  void recycle(Batch batch);
  Batch spareBatch();

  // Flow control of the records in flight. A small state machine, under
  // mutex_ but for the counts:
  //
  //   Flowing   the data task runs and each piece is read as it arrives.
  //   Holding   the records in flight (or their text) passed their bound:
  //             the task is suspended, and the pieces still on their way
  //             are kept unread in `held`; an end that arrives meanwhile
  //             waits in `heldEnd` until they have been read.
  //   Draining  the records are back at half of their bound: a pass on the
  //             delegate queue is scheduled that reads `held` slice by
  //             slice (from `heldOffset`) while the bound allows.
  //
  //   Flowing  -> Holding   holdLocked(): a piece left the records past the
  //                         bound, or arrived while they were
  //   Holding  -> Draining  scheduleDrainLocked(): release() on the listener
  //                         queue made room, or holdLocked() found it
  //   Draining -> Holding   drainHeld(): past the bound again before all is read
  //   Draining -> Flowing   drainHeld(): all read; the task resumes, or its
  //                         held end is handled now
  //   any      -> Flowing   resetHoldLocked(): open(), close(), end of the task
  //
  // `records` and `bytes` count what deliverLocked() handed to the listener
  // queue and release() has not yet taken back; they are atomics because
  // release() runs on the listener queue without mutex_. `holding` mirrors
  // state != Flowing for release(), which takes mutex_ only then. It is set
  // before holdLocked() looks at the counts again, and release() lowers the
  // counts before it looks at it: either the last release sees the hold,
  // or the hold sees the room, so a hold cannot outlive its records.
  enum class FlowState : uint8_t { Flowing, Holding, Draining };
  struct FlowControl {
    FlowState state = FlowState::Flowing;
    std::string held;
    std::size_t heldOffset = 0;  // the part of held already read
    std::optional<NSErrorPtr> heldEnd;
    std::atomic<bool> holding{false};
    std::atomic<std::size_t> records{0};
    std::atomic<std::size_t> bytes{0};

    void enter(FlowState next) {
      state = next;
      holding.store(next != FlowState::Flowing);
    }
  };

  // Whether the records in flight are past their bound, or back at half of
  // it; the transitions above. mutex_ held.
  bool pastBoundLocked() const;
  bool roomAgainLocked() const;
  void holdLocked(const NSURLSessionDataTaskPtr& task);
  void scheduleDrainLocked();
  // keepBuffer: the room of `held` is kept for the next hold of the same
  // task (a fast stream holds again and again), rather than given back.
  void resetHoldLocked(bool keepBuffer = false);
  // Delegate queue: reads what was held back, while the bound allows.
  void drainHeld(const NSURLSessionDataTaskPtr& task);
  void scheduleReconnection(double delay, uint64_t generation);

  mutable std::recursive_mutex mutex_;
  bool wasClosed_ = false;
  uint64_t generation_ = 0;  // bumped by open() and close(); stale reconnections check it
  dispatch_queue_t listenerQueue_;
  NSURLPtr eventURL_;
  NSURLSessionDataTaskPtr eventSourceTask_;
  NSURLSessionPtr session_;
  double timeoutInterval_;
  double retryInterval_ = 1.0;
  long retryAttempt_ = 0;
  std::optional<NSHTTPHeaderFields> httpRequestHeaders_;
  std::optional<std::string> connectMethod_;
  std::optional<NSData> connectBody_;
  std::optional<std::string> lastEventID_;
  std::size_t maxEventSize_ = LDEventSourceMaxEventSize;
  LDEventStreamReader reader_;
  bool discardBody_ = false;
  // Whether the current connection has parsed a record with data; the first
  // such record resets retryAttempt_, which was attemptsBeforeData_ then.
  bool deliveredData_ = false;
  long attemptsBeforeData_ = 0;
  NSErrorPtr failure_;  // set when the client itself fails the connection
  RandomUniform randomUniform_;
  // The records of the piece being read: where their texts are in
  // parsedText_, and the bytes of those texts.
  struct ParsedRecord {
    std::size_t idOffset = 0;
    std::size_t idSize = 0;
    std::size_t eventOffset = 0;
    std::size_t eventSize = 0;
    std::size_t dataOffset = 0;
    std::size_t dataSize = 0;
    bool hasId = false;
    bool hasEvent = false;
    bool hasData = false;
  };
  std::vector<ParsedRecord> parsed_;
  std::string parsedText_;
  std::size_t parsedBytes_ = 0;
  std::vector<LDEventDelivery> deliveries_;  // kept for the next piece
  std::shared_ptr<const LDEventSourceBatchHandler> batchHandler_;
  std::mutex spareMutex_;
  std::vector<Batch> spareBatches_;  // under spareMutex_

  FlowControl flow_;  // see FlowState

  mutable std::mutex listenersMutex_;
  // Bumped by close() under listenersMutex_: blocks queued before it stop
  // taking new listeners.
  std::atomic<uint64_t> closeCount_{0};
  std::shared_ptr<const Registry> listeners_;
  // Bumped under listenersMutex_ whenever listeners_ changes.
  std::atomic<uint64_t> registryVersion_{0};
};
