#pragma once
// The event-stream client: one long-lived HTTP request to a stream URL whose
// body is read as it arrives and turned into event records for the
// listeners registered by type. When the connection ends for any reason but
// close() or an HTTP 401 answer, it is opened again after a randomised,
// exponentially growing delay, sending the last event ID it saw.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "LDEventSource/LDEvent.h"
#include "LDEventSource/LDEventBatchDelivery.h"
#include "LDEventSource/LDEventListeners.h"
#include "LDEventSource/LDEventSourceConstants.h"
#include "LDEventSource/LDEventSourceExport.h"
#include "LDEventSource/LDEventStreamReader.h"
#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSData.h"
#include "Platform/Net/NSURLSession.h"

class LDEVENTSOURCE_EXPORT LDEventSource : public NSURLSessionDataDelegate,
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
  // called under the client's stream lock, on the thread that reads the
  // stream (or that opens or ends the connection): one call at a time, in
  // stream order, and never after close() has returned, which drops it. It
  // makes no record objects, and it takes no part in the bound on records
  // in flight: a handler that takes its time holds the reading up instead.
  // It must not call open() or close(), nor wait for a thread that does. A
  // null handler removes the one set.
  void setBatchHandler(LDEventSourceBatchHandler handler);

  // Listener counts by type (diagnostics and tests).
  std::map<std::string, size_t> listenerCounts() const;
  // Records parsed, or made for a state change, whose handler calls have
  // not all run yet (diagnostics and tests). While it is past
  // kMaximumRecordsInFlight (or their text past kMaximumBytesInFlight) the
  // data task is suspended, which also stops the pieces already read (see
  // LDEventFlowControl), so a slow handler holds the stream back instead of
  // making memory grow. A handler must therefore not wait for a later
  // record.
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
  // Opens, unless a generation is given and open() or close() has run since
  // (a reconnection that was scheduled then is void).
  void openConnection(std::optional<uint64_t> scheduledGeneration);
  bool isCurrentTask(const NSURLSessionDataTaskPtr& task) const;
  // The reader's handler: stages the record, and notes what it changes of
  // the connection. streamMutex_ held.
  void blockParsed(const LDEventParser::BlockFields& fields);
  // Applies what the blocks of a piece noted. Both locks held.
  void applyNotesLocked();
  // The next back-off delay; counts one more attempt. mutex_ held.
  double nextDelayLocked();
  void scheduleReconnection(double delay, uint64_t generation);

  // The connection's life. Every change is made with both locks held.
  //
  //   Closed      made, or close(): no task; wasClosed_ after close().
  //   Connecting  open() made session_ and eventSourceTask_ and told
  //               CONNECTING; no answer yet.
  //   Open        a 200 answer of an event stream: told OPEN; the body is
  //               read through reader_ and its records delivered.
  //   Discarding  any other answer (discardBody_): its body is dropped.
  //   Failed      a block grew past maxEventSize_ (failure_): the task is
  //               cancelled and nothing more is read.
  //   Waiting     the task ended and CLOSED was told; a reconnection is
  //               scheduled for generation_ after the back-off delay, but
  //               after a 401 answer nothing is: it waits for open().
  //
  //   Closed, Waiting      -> Connecting          open(), a reconnection
  //   Connecting           -> Open | Discarding   didReceiveResponse
  //   Open                 -> Failed              a block too large
  //   Connecting .. Failed -> Waiting             didCompleteWithError
  //   any                  -> Closed              close()
  //   any                  -> Connecting          open(): the old session
  //                                               is cancelled
  //
  // generation_ is bumped by open() and close(); a scheduled reconnection
  // of another generation does nothing.
  //
  // Two locks, never held while waiting for another thread:
  // streamMutex_ orders the stream: reader_, the staged records, and all
  // that reaches the batch handler and the listener queue, so that they get
  // it in stream order. It is taken first. mutex_ guards the connection's
  // state and the properties, and is never held while calling out, so the
  // batch handler may read any property.
  mutable std::mutex streamMutex_;
  mutable std::mutex mutex_;
  bool wasClosed_ = false;
  uint64_t generation_ = 0;
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
  bool discardBody_ = false;
  // Whether the current connection has parsed a record with data; the first
  // such record resets retryAttempt_, which was attemptsBeforeData_ then.
  bool deliveredData_ = false;
  long attemptsBeforeData_ = 0;
  NSErrorPtr failure_;  // set when the client itself fails the connection
  RandomUniform randomUniform_;

  // Under streamMutex_: the reader, and what the blocks of the piece being
  // read change of the connection, applied once the piece is read.
  LDEventStreamReader reader_;
  struct Notes {
    std::string lastEventID;
    bool hasLastEventID = false;
    std::optional<double> retryInterval;
    bool data = false;
  } notes_;

  LDEventListeners listeners_;
  // Under streamMutex_, but for setBatchHandler and its flow control.
  LDEventBatchDelivery delivery_;
};
