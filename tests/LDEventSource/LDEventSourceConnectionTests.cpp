#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LDEventSource/LDEventSource.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Net/NSURLError.h"
#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "tests/Platform/NetTestSupport.h"

using namespace std::string_literals;

namespace {

using Trace = std::vector<std::string>;

const std::string kEventStreamHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: close\r\n\r\n";
const ZRLLocalHeaders kEventStreamHeaders = {{"Content-Type", "text/event-stream"}};

std::string show(const std::optional<std::string>& text) {
  return text ? *text : "null";
}

// One handler call as a line: the ready states by name, an error as its
// domain and code, a parsed record as type(id,event,data).
std::string describe(const std::string& type, const LDEvent& event) {
  const auto error = [&] {
    return event.error()
               ? "(" + event.error()->domain() + "," + std::to_string(event.error()->code()) + ")"
               : std::string("(no error)");
  };
  if (type == ReadyStateEvent) {
    switch (event.readyState()) {
      case LDEventReadyStateConnecting:
        return "CONNECTING";
      case LDEventReadyStateOpen:
        return "OPEN";
      case LDEventReadyStateClosed:
        return "CLOSED" + error();
      default:
        return "state " + std::to_string(event.readyState());
    }
  }
  if (type == OpenEvent) return "open";
  if (type == ErrorEvent) return "error" + error();
  return type + "(" + show(event.id()) + "," + show(event.event()) + "," + show(event.data()) + ")";
}

std::string closedBy(std::string_view domain, long code) {
  return "(" + std::string(domain) + "," + std::to_string(code) + ")";
}
const std::string kNormalEnd = closedBy("", 2);

// The first lines of a trace, as many as expected has: what follows them
// may still be arriving.
Trace head(const Trace& trace, const Trace& expected) {
  return Trace(trace.begin(), trace.begin() + static_cast<std::ptrdiff_t>(
                                                  std::min(trace.size(), expected.size())));
}

// Everything the listeners of one or more clients were called with, in the
// order of the calls.
class Recorder {
 public:
  struct Call {
    std::string type;
    LDEventPtr event;
  };

  // Registers for the client's own types and for the given event names.
  static void listen(const std::shared_ptr<Recorder>& recorder, LDEventSource& source,
                     std::vector<std::string> names = {}) {
    for (const std::string_view type : {ReadyStateEvent, OpenEvent, MessageEvent, ErrorEvent})
      names.emplace_back(type);
    for (const auto& name : names) {
      source.addEventListener(
          name, [recorder, name](const LDEventPtr& event) { recorder->add(name, event); });
    }
  }

  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  Trace trace() const {
    std::lock_guard lock(mutex_);
    Trace lines;
    for (const Call& call : calls_)
      lines.push_back(describe(call.type, *call.event));
    return lines;
  }
  size_t count(const std::string& line) const {
    const Trace lines = trace();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }
  bool waitForCalls(size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return calls_.size() >= n; });
  }
  // Waits until the line has been seen n times.
  bool waitFor(const std::string& line, size_t n = 1,
               std::chrono::milliseconds timeout = kPatience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      size_t seen = 0;
      for (const Call& call : calls_)
        seen += describe(call.type, *call.event) == line ? 1 : 0;
      return seen >= n;
    });
  }

 private:
  void add(const std::string& type, const LDEventPtr& event) {
    std::lock_guard lock(mutex_);
    calls_.push_back({type, event});
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

// The back-off's random draw, replaced: it records each bound it is asked
// for and answers a fixed number of seconds (0 unless a test sets one).
struct Draws {
  std::atomic<uint32_t> answer{0};
  mutable std::mutex mutex;
  std::vector<uint32_t> bounds;

  std::vector<uint32_t> seen() const {
    std::lock_guard lock(mutex);
    return bounds;
  }
  static LDEventSource::RandomUniform function(const std::shared_ptr<Draws>& draws) {
    return [draws](uint32_t bound) {
      std::lock_guard lock(draws->mutex);
      draws->bounds.push_back(bound);
      return std::min(draws->answer.load(), bound - 1);
    };
  }
};

// A client that counts the body bytes it has been given, so that a server
// can send its next piece only once the last one has arrived on its own:
// then each write is one chunk for the client.
class ObservedSource : public LDEventSource {
 public:
  using LDEventSource::LDEventSource;

  void didReceiveData(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                      const NSData& data) override {
    LDEventSource::didReceiveData(session, task, data);
    size_t received = 0;
    {
      std::lock_guard lock(mutex_);
      received = received_ += data.size();
      changed_.notify_all();
    }
    if (afterData) afterData(received);
  }
  // Waits until the client has been given n body bytes in all.
  bool waitForBytes(size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return received_ >= n; });
  }

  // Called on the delegate queue after each piece, with the bytes given so
  // far; set before open().
  std::function<void(size_t received)> afterData;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t received_ = 0;
};

// The connections that the server's handlers hand out, in order.
class Streams {
 public:
  void add(std::shared_ptr<ZRLLocalStream> stream) {
    std::lock_guard lock(mutex_);
    streams_.push_back(std::move(stream));
    changed_.notify_all();
  }
  std::shared_ptr<ZRLLocalStream> wait(size_t index) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return streams_.size() > index; });
    return streams_.size() > index ? streams_[index] : nullptr;
  }
  std::vector<std::shared_ptr<ZRLLocalStream>> all() const {
    std::lock_guard lock(mutex_);
    return streams_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<ZRLLocalStream>> streams_;
};

// A record of a fixed size whose id is its number.
std::string numberedBlock(size_t index) {
  std::array<char, 16> id{};
  std::snprintf(id.data(), id.size(), "%07zu", index);
  return "id: " + std::string(id.data()) + "\ndata: " + std::string(100, 'x') + "\n\n";
}
const size_t kNumberedBlockSize = numberedBlock(0).size();

// Writes numbered records on a thread of its own, as fast as the socket
// takes them; each piece reaches the socket before the next is queued, so
// the server holds little of its own. Closes the stream after the last one
// if asked to.
std::thread pushNumbered(std::shared_ptr<ZRLLocalStream> stream, size_t records, bool close) {
  return std::thread([stream = std::move(stream), records, close] {
    constexpr size_t kPerPiece = 2048;
    for (size_t first = 0; first < records; first += kPerPiece) {
      std::string piece;
      for (size_t i = first; i < std::min(records, first + kPerPiece); ++i)
        piece += numberedBlock(i);
      if (!stream->write(std::move(piece)) || !stream->flush(kPatience)) return;
    }
    if (close) stream->close();
  });
}

// What a handler that stops at its first call until released has seen.
struct SlowHandler {
  std::promise<void> blocked;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<size_t> calls{0};
  std::atomic<size_t> outOfOrder{0};
  std::atomic<size_t> peakInFlight{0};
  std::atomic<size_t> peakUnread{0};  // bytes given to the client, their records not handled
  std::atomic<size_t> callsAtEnd{0};  // when the CLOSED record came

  void see(std::atomic<size_t>& peak, size_t value) {
    size_t seen = peak.load();
    while (value > seen && !peak.compare_exchange_weak(seen, value)) {
    }
  }
  LDEventSourceEventHandler handler(const std::shared_ptr<SlowHandler>& self,
                                    const std::shared_ptr<LDEventSource>& client) {
    return [self, weak = std::weak_ptr<LDEventSource>(client)](const LDEventPtr& event) {
      const size_t index = self->calls.load();
      if (event->id() != numberedBlock(index).substr(4, 7)) ++self->outOfOrder;
      if (auto source = weak.lock()) self->see(self->peakInFlight, source->recordsInFlight());
      if (index == 0) {
        self->blocked.set_value();
        self->released.wait_for(kPatience);
      }
      self->calls.store(index + 1);
    };
  }
  // Notes how many records came before the end of the stream.
  LDEventSourceEventHandler endHandler(const std::shared_ptr<SlowHandler>& self) {
    return [self](const LDEventPtr& event) {
      if (event->readyState() == LDEventReadyStateClosed)
        self->callsAtEnd.store(self->calls.load());
    };
  }
  // Watches the client's backlog after each piece it is given.
  void watch(const std::shared_ptr<SlowHandler>& self, ObservedSource& client) {
    client.afterData = [self, &client](size_t received) {
      self->see(self->peakInFlight, client.recordsInFlight());
      const size_t handled = self->calls.load() * kNumberedBlockSize;
      self->see(self->peakUnread, received - std::min(received, handled));
    };
  }
};

// Runs on a queue after a delay and waits for it.
bool waitAfter(const dispatch_queue_t& queue, std::chrono::milliseconds delay) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, delay.count() * NSEC_PER_MSEC), queue,
                 [done] { done->set_value(); });
  return future.wait_for(delay + kPatience) == std::future_status::ready;
}

}  // namespace

class LDEventSourceConnection : public ::testing::Test {
 protected:
  using Answer = std::function<void(ZRLLocalResponder&)>;

  void SetUp() override { ASSERT_TRUE(server.start()); }
  // Closes every client, so that none goes on reconnecting to a server
  // that is gone.
  void TearDown() override {
    for (const auto& client : clients)
      client->close();
  }

  // The i-th request to the path gets the i-th answer; later ones get the last.
  void script(const std::string& path, std::vector<Answer> answers) {
    auto next = std::make_shared<std::atomic<size_t>>(0);
    server.route(
        "GET", path,
        [next, answers = std::move(answers)](const ZRLLocalRequest&, ZRLLocalResponder& r) {
          answers[std::min(next->fetch_add(1), answers.size() - 1)](r);
        });
  }
  // An event stream that the test writes.
  Answer liveStream() {
    return [this](ZRLLocalResponder& r) { streams.add(r.stream(200, kEventStreamHeaders)); };
  }
  // Raw bytes that the test writes, head included.
  Answer rawStream() {
    return [this](ZRLLocalResponder& r) { streams.add(r.raw()); };
  }
  static Answer whole(int status, std::string body = {}) {
    return [status, body = std::move(body)](ZRLLocalResponder& r) {
      r.respond(status, kEventStreamHeaders, body);
    };
  }

  // A client on the test's serial listener queue, with the recorded draw,
  // which the test closes at its end. The recorder listens to the client's
  // own types and to the given event names.
  std::shared_ptr<ObservedSource> makeClient(
      const std::string& path, std::optional<NSHTTPHeaderFields> headers = std::nullopt,
      double timeoutInterval = 20.0, std::vector<std::string> names = {}) {
    auto client = makeUnrecordedClient(path, std::move(headers), timeoutInterval);
    Recorder::listen(recorder, *client, std::move(names));
    return client;
  }
  // The same without the recorder, for streams too long to record.
  std::shared_ptr<ObservedSource> makeUnrecordedClient(
      const std::string& path, std::optional<NSHTTPHeaderFields> headers = std::nullopt,
      double timeoutInterval = 20.0) {
    auto client =
        std::make_shared<ObservedSource>(NSURL::URLWithString(server.URL(path)), std::move(headers),
                                         timeoutInterval, "GET", std::nullopt);
    client->setListenerQueue(listeners);
    client->setRandomUniform(Draws::function(draws));
    clients.push_back(client);
    return client;
  }

  dispatch_queue_t listeners = dispatch_queue_create("test.listeners", DISPATCH_QUEUE_SERIAL);
  std::shared_ptr<Draws> draws = std::make_shared<Draws>();
  std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
  std::vector<std::shared_ptr<LDEventSource>> clients;
  Streams streams;  // outlives the server, whose handlers fill it
  ZRLLocalServer server;
};

TEST_F(LDEventSourceConnection, RecordsAndStatesOfAStreamThatEndsAndReconnects) {
  script("/events", {liveStream()});
  NSHTTPHeaderFields headers;
  headers.setValue("key-1", "X-Api-Key");
  auto client = makeClient("/events", headers, 20.0, {"update"});
  client->open();

  auto first = server.waitForRequest(0, kPatience);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->method(), "GET");
  EXPECT_EQ(first->header("X-Api-Key"), "key-1");
  EXPECT_FALSE(first->header("Last-Event-ID"));
  EXPECT_EQ(first->body(), "");

  auto stream = streams.wait(0);
  ASSERT_TRUE(stream);
  ASSERT_TRUE(recorder->waitFor("open"));
  EXPECT_EQ(client->retryAttempt(), 0);
  stream->write("id: 1\nevent: update\ndata: a\ndata: b\n\n: keep-alive\n\n");
  stream->write("id: 2\ndata: c\n\n");
  stream->close();

  ASSERT_TRUE(recorder->waitFor("open", 2));
  auto second = streams.wait(1);
  ASSERT_TRUE(second);
  second->write("data: d\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,d)"));
  client->close();

  EXPECT_EQ(recorder->trace(),
            (Trace{"CONNECTING", "OPEN", "open", "message(1,update,a\nb)", "update(1,update,a\nb)",
                   "message(null,null,null)", "message(2,null,c)", "CLOSED" + kNormalEnd,
                   "error" + kNormalEnd, "CONNECTING", "OPEN", "open", "message(null,null,d)"}));
  EXPECT_EQ(draws->seen(), (std::vector<uint32_t>{2}));

  // One record object per occasion, whatever the number of types it goes to.
  const auto calls = recorder->calls();
  ASSERT_EQ(calls.size(), 13U);
  EXPECT_EQ(calls[1].event, calls[2].event);
  EXPECT_EQ(calls[3].event, calls[4].event);
  EXPECT_EQ(calls[7].event, calls[8].event);
  EXPECT_EQ(calls[3].event->readyState(), LDEventReadyStateOpen);
  const NSErrorPtr& closing = calls[7].event->error();
  ASSERT_TRUE(closing);
  EXPECT_EQ(closing->localizedDescription(), "Connection with the event source was closed.");
  EXPECT_FALSE(closing->underlyingError());
  EXPECT_EQ(client->lastEventID(), "2");
}

TEST_F(LDEventSourceConnection, LastEventIDIsSentOnEveryReconnection) {
  script("/events", {whole(200, "id: 1\ndata: a\n\nid: bad\0id\ndata: b\n\ndata: no id\n\n"s),
                     whole(200, "id: 3\ndata: c\n\n"), liveStream()});
  // The caller's own Last-Event-ID is replaced by the client's.
  NSHTTPHeaderFields headers;
  headers.setValue("from the caller", "Last-Event-ID");
  headers.setValue("kept", "X-Other");
  auto client = makeClient("/events", headers);
  client->setLastEventID("0");
  client->open();
  ASSERT_TRUE(recorder->waitFor("open", 3)) << testing::PrintToString(recorder->trace());
  client->close();

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3U);
  std::vector<std::string> sent;
  for (const auto& request : requests) {
    EXPECT_EQ(request.headers().values("Last-Event-ID").size(), 1U);
    EXPECT_EQ(request.header("X-Other"), "kept");
    sent.push_back(show(request.header("Last-Event-ID")));
  }
  // An identifier with a NUL could not be sent as a header field: it is not
  // taken, and a record without an identifier keeps the last one.
  EXPECT_EQ(sent, (std::vector<std::string>{"0", "1", "3"}));
  EXPECT_EQ(recorder->count("message(bad\0id,null,b)"s), 1U);
}

TEST_F(LDEventSourceConnection, StreamOverTLSOnTheDefaultConcurrentQueue) {
  TemporaryDirectory directory;
  std::string problem;
  auto certificate = ZRLLocalCertificate::generate(directory.path(), &problem);
  ASSERT_TRUE(certificate) << problem;
  ZRLLocalServer secure({.certificate = certificate});
  ASSERT_TRUE(secure.start(&problem)) << problem;
  const auto previousFile = NSURLSessionConfiguration::defaultCertificateAuthorityFile();
  NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(certificate->certificateFile());

  constexpr int kEvents = 50;
  secure.route("POST", "/secure", [this](const ZRLLocalRequest& request, ZRLLocalResponder& r) {
    auto stream = r.stream(200, kEventStreamHeaders);
    for (int i = 0; i < kEvents; ++i)
      stream->write("event: tick\ndata: " + request.body() + " " + std::to_string(i) + "\n\n");
    streams.add(stream);
  });
  // Made as callers make it; handlers run on the global queue, in any order.
  auto client = LDEventSource::eventSourceWithURL(NSURL::URLWithString(secure.URL("/secure")),
                                                  std::nullopt, 20.0, "POST", NSData("body"));
  clients.push_back(client);
  client->setRandomUniform(Draws::function(draws));
  Recorder::listen(recorder, *client, {"tick"});
  client->open();
  ASSERT_TRUE(recorder->waitForCalls(3 + 2 * kEvents));
  client->close();
  NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(previousFile);

  Trace expected{"CONNECTING", "OPEN", "open"};
  for (int i = 0; i < kEvents; ++i) {
    expected.push_back("message(null,tick,body " + std::to_string(i) + ")");
    expected.push_back("tick(null,tick,body " + std::to_string(i) + ")");
  }
  Trace seen = recorder->trace();
  std::sort(expected.begin(), expected.end());
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, expected);
  auto request = secure.waitForRequest(0, kPatience);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->body(), "body");
}

TEST_F(LDEventSourceConnection, RecordsDoNotDependOnWhereTheBytesAreCut) {
  // A byte order mark, CR LF and lone CR line ends, characters of two to
  // four bytes, an ill-formed byte, and U+2028 inside data.
  const std::string body =
      "\xEF\xBB\xBFid: 1\r\nevent: caf\xC3\xA9\r\ndata: \xF0\x9F\x98\x80 smile\r\n\r\n"
      "data: lone\rdata: cr\r\r: comment\r\n\r\n"
      "data: bad\xFF byte\n\ndata: x\xE2\x80\xA8y\n\ndata: tail\n\n";
  const Trace records{"message(1,caf\xC3\xA9,\xF0\x9F\x98\x80 smile)",
                      "caf\xC3\xA9(1,caf\xC3\xA9,\xF0\x9F\x98\x80 smile)",
                      "message(null,null,lone\ncr)",
                      "message(null,null,null)",
                      "message(null,null,bad\xEF\xBF\xBD byte)",
                      "message(null,null,x\xE2\x80\xA8y)",
                      "message(null,null,tail)"};
  script("/split", {rawStream()});
  auto client = makeClient("/split", std::nullopt, 20.0, {"caf\xC3\xA9"});
  client->open();

  // First connection: every byte of the body is a chunk of its own.
  auto bytewise = streams.wait(0);
  ASSERT_TRUE(bytewise);
  ASSERT_TRUE(bytewise->write(kEventStreamHead));
  for (size_t i = 0; i < body.size(); ++i) {
    ASSERT_TRUE(bytewise->write(body.substr(i, 1)));
    ASSERT_TRUE(client->waitForBytes(i + 1)) << "byte " << i;
  }
  bytewise->close();
  // Second connection: all of it in one piece.
  auto whole = streams.wait(1);
  ASSERT_TRUE(whole);
  whole->write(kEventStreamHead + body);
  ASSERT_TRUE(recorder->waitFor("message(null,null,tail)", 2));
  client->close();

  Trace expected{"CONNECTING", "OPEN", "open"};
  expected.insert(expected.end(), records.begin(), records.end());
  expected.insert(expected.end(),
                  {"CLOSED" + kNormalEnd, "error" + kNormalEnd, "CONNECTING", "OPEN", "open"});
  expected.insert(expected.end(), records.begin(), records.end());
  EXPECT_EQ(recorder->trace(), expected);
  auto second = server.waitForRequest(1, kPatience);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->header("Last-Event-ID"), "1");
}

TEST_F(LDEventSourceConnection, AConnectionThatEndsMidBlockLeavesNothingForTheNext) {
  script("/events", {rawStream()});
  auto client = makeClient("/events");
  client->open();
  size_t sent = 0;
  // Dropped with a reset, then ended in order, each time inside a block.
  const std::vector<std::string> bodies{"data: one\n\ndata: hal", "data: two\n\ndata: par",
                                        "data: three\n\n"};
  for (size_t i = 0; i < bodies.size(); ++i) {
    auto stream = streams.wait(i);
    ASSERT_TRUE(stream);
    ASSERT_TRUE(stream->write(kEventStreamHead + bodies[i]));
    sent += bodies[i].size();
    ASSERT_TRUE(client->waitForBytes(sent));
    if (i == 0) stream->abort();
    if (i == 1) stream->close();
  }
  ASSERT_TRUE(recorder->waitFor("message(null,null,three)"));
  client->close();
  const std::string lost = closedBy(NSURLErrorDomain, NSURLErrorNetworkConnectionLost);
  EXPECT_EQ(recorder->trace(),
            (Trace{"CONNECTING", "OPEN", "open", "message(null,null,one)", "CLOSED" + lost,
                   "error" + lost, "CONNECTING", "OPEN", "open", "message(null,null,two)",
                   "CLOSED" + kNormalEnd, "error" + kNormalEnd, "CONNECTING", "OPEN", "open",
                   "message(null,null,three)"}));
}

TEST_F(LDEventSourceConnection, AnswersOtherThan200AreNotReadAsEventsAnd401Stops) {
  script("/events", {whole(204), whole(500, "data: an error page\n\n"),
                     whole(401, "data: not for you\n\n"), liveStream()});
  auto client = makeClient("/events");
  client->open();
  const std::string refused = closedBy(LDEventSourceErrorDomain, -401);
  ASSERT_TRUE(recorder->waitFor("error" + refused));
  EXPECT_EQ(recorder->trace(), (Trace{"CONNECTING", "CLOSED" + kNormalEnd, "error" + kNormalEnd,
                                      "CONNECTING", "CLOSED" + kNormalEnd, "error" + kNormalEnd,
                                      "CONNECTING", "CLOSED" + refused, "error" + refused}));
  const NSErrorPtr error = recorder->calls().back().event->error();
  EXPECT_EQ(error->localizedDescription(), "Connection refused by the server.");
  // The delay grows without an HTTP 200 in between, and after the 401 no
  // reconnection is scheduled (the delay would be drawn before the record
  // is delivered).
  EXPECT_EQ(draws->seen(), (std::vector<uint32_t>{2, 4}));
  EXPECT_FALSE(client->eventSourceTask());
  EXPECT_EQ(server.requestCount(), 3U);

  // Only the caller opens it again.
  client->open();
  auto stream = streams.wait(0);
  ASSERT_TRUE(stream);
  stream->write("data: welcome back\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,welcome back)"));
  EXPECT_EQ(client->retryAttempt(), 0);
}

TEST_F(LDEventSourceConnection, AServerThatStallsTimesOut) {
  // Silent after one record, then silent from the start.
  script("/events", {[this](ZRLLocalResponder& r) {
                       auto stream = r.stream(200, kEventStreamHeaders);
                       stream->write("data: a\n\n");
                       streams.add(stream);
                     },
                     rawStream(), liveStream()});
  auto client = makeClient("/events", std::nullopt, 0.3);
  client->open();
  ASSERT_TRUE(recorder->waitFor("open", 2));
  client->close();
  const std::string timedOut = closedBy(NSURLErrorDomain, NSURLErrorTimedOut);
  const Trace expected{"CONNECTING",
                       "OPEN",
                       "open",
                       "message(null,null,a)",
                       "CLOSED" + timedOut,
                       "error" + timedOut,
                       "CONNECTING",
                       "CLOSED" + timedOut,
                       "error" + timedOut,
                       "CONNECTING",
                       "OPEN",
                       "open"};
  EXPECT_EQ(head(recorder->trace(), expected), expected);
  for (size_t i = 0; i < 2; ++i)
    EXPECT_TRUE(streams.wait(i)->waitUntilClosed(kPatience)) << "connection " << i;
}

TEST_F(LDEventSourceConnection, ABlockPastTheSizeLimitFailsTheConnection) {
  // A block that never ends, growing by 1 KiB a write.
  const auto endless = [this](ZRLLocalResponder& r) {
    auto stream = r.stream(200, kEventStreamHeaders);
    stream->write("data: small\n\ndata: ");
    streams.add(stream);
  };
  script("/events", {endless, whole(200, "data: fine\n\n"), endless});
  auto client = makeClient("/events");
  client->setMaxEventSize(4096);
  client->open();
  auto stream = streams.wait(0);
  ASSERT_TRUE(stream);
  while (stream->write(std::string(1024, 'x')) && stream->flush() && stream->isOpen()) {
  }
  EXPECT_TRUE(stream->waitUntilClosed(kPatience)) << "the client must give the connection up";
  ASSERT_TRUE(recorder->waitFor("message(null,null,fine)"));

  const std::string tooLarge = closedBy(LDEventSourceErrorDomain, -413);
  Trace expected{"CONNECTING",
                 "OPEN",
                 "open",
                 "message(null,null,small)",
                 "CLOSED" + tooLarge,
                 "error" + tooLarge,
                 "CONNECTING",
                 "OPEN",
                 "open",
                 "message(null,null,fine)",
                 "CLOSED" + kNormalEnd,
                 "error" + kNormalEnd,
                 "CONNECTING",
                 "OPEN",
                 "open",
                 "message(null,null,small)"};
  ASSERT_TRUE(recorder->waitFor("message(null,null,small)", 2));
  EXPECT_EQ(recorder->calls()[4].event->error()->localizedDescription(),
            "Event exceeds the size limit.");

  // The default limit is 16 MiB.
  EXPECT_EQ(LDEventSourceMaxEventSize, size_t{16} << 20);
  client->setMaxEventSize(LDEventSourceMaxEventSize);
  client->open();
  auto large = streams.wait(2);
  ASSERT_TRUE(large);
  const std::string piece(size_t{1} << 20, 'y');
  for (size_t written = 0; written <= LDEventSourceMaxEventSize && large->write(piece);
       written += piece.size()) {
  }
  ASSERT_TRUE(recorder->waitFor("error" + tooLarge, 2))
      << testing::PrintToString(recorder->trace());
  client->close();
  EXPECT_TRUE(large->waitUntilClosed(kPatience));
  expected.insert(expected.end(), {"CONNECTING", "OPEN", "open", "message(null,null,small)",
                                   "CLOSED" + tooLarge, "error" + tooLarge});
  EXPECT_EQ(head(recorder->trace(), expected), expected);
}

TEST_F(LDEventSourceConnection, RetryFieldsAndTheCeilingsOfTheBackOff) {
  std::vector<Answer> answers{whole(500),
                              whole(500),
                              whole(500),
                              whole(200, "retry: 5000\ndata: x\n\n"),
                              whole(500),
                              whole(200, "retry: 0\n\n"),
                              whole(200, "retry: 1000\n\n")};
  for (int i = 0; i < 12; ++i)
    answers.push_back(whole(500));
  answers.push_back(whole(401));
  script("/events", answers);
  auto client = makeClient("/events");
  client->open();
  ASSERT_TRUE(recorder->waitFor("error" + closedBy(LDEventSourceErrorDomain, -401)));
  // Twice the interval per attempt since the last 200, from the interval
  // that the last "retry" set, up to an hour; a zero interval draws nothing.
  EXPECT_EQ(draws->seen(), (std::vector<uint32_t>{2, 4, 8, 10, 20, 2, 4, 8, 16, 32, 64, 128, 256,
                                                  512, 1024, 2048, 3600, 3600}));
  EXPECT_EQ(client->retryInterval(), 1.0);
  EXPECT_EQ(client->retryAttempt(), 13);
  EXPECT_EQ(server.requestCount(), answers.size());
}

TEST_F(LDEventSourceConnection, CloseDuringAConnectionEndsEverything) {
  script("/events", {liveStream()});
  auto client = makeClient("/events");
  clients.clear();  // nobody holds it but the connection
  client->open();
  auto stream = streams.wait(0);
  ASSERT_TRUE(stream);
  stream->write("data: a\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,a)"));
  client->close();
  EXPECT_TRUE(client->listenerCounts().empty());
  stream->write("data: b\n\n");
  EXPECT_TRUE(stream->waitUntilClosed(kPatience));

  // Once the session has let the client go, nothing of it can run any more.
  std::weak_ptr<LDEventSource> weak = client;
  client.reset();
  ASSERT_TRUE(eventually([&] { return weak.expired(); })) << "released after close";
  ASSERT_TRUE(drain(listeners));
  EXPECT_EQ(recorder->trace(), (Trace{"CONNECTING", "OPEN", "open", "message(null,null,a)"}));
  EXPECT_TRUE(draws->seen().empty());
  EXPECT_EQ(server.requestCount(), 1U);
}

TEST_F(LDEventSourceConnection, RecordsQueuedBeforeCloseReachNoLaterListener) {
  // Many records in one piece; the first one's handler closes the client
  // and registers again, while the others are still on their way.
  constexpr int kEvents = 1000;
  script("/events", {whole(200, [] {
           std::string body;
           for (int i = 0; i < kEvents; ++i)
             body += "data: " + std::to_string(i) + "\n\n";
           return body;
         }())});
  auto client = makeClient("/events");
  auto late = std::make_shared<std::atomic<int>>(0);
  auto closed = std::make_shared<std::promise<void>>();
  client->onMessage(
      [late, closed, weak = std::weak_ptr<LDEventSource>(client)](const LDEventPtr& event) {
        auto self = weak.lock();
        if (!self || event->data() != "0") return;
        self->close();
        self->onMessage([late](const LDEventPtr&) { ++*late; });
        closed->set_value();
      });
  client->open();
  ASSERT_EQ(closed->get_future().wait_for(kPatience), std::future_status::ready);
  std::weak_ptr<LDEventSource> weak = client;
  clients.clear();
  client.reset();
  ASSERT_TRUE(eventually([&] { return weak.expired(); }));
  ASSERT_TRUE(drain(listeners));
  EXPECT_EQ(late->load(), 0);
}

TEST_F(LDEventSourceConnection, CloseStopsAClientThatReconnectsWithoutPause) {
  script("/events", {whole(204)});
  for (int round = 0; round < 20; ++round) {
    auto client = makeClient("/events");
    clients.clear();
    client->open();
    ASSERT_TRUE(recorder->waitFor("CONNECTING", 3));
    client->close();
    std::weak_ptr<LDEventSource> weak = client;
    client.reset();
    ASSERT_TRUE(eventually([&] { return weak.expired(); })) << "round " << round;
    ASSERT_TRUE(drain(listeners));
    recorder = std::make_shared<Recorder>();
  }
}

TEST_F(LDEventSourceConnection, CloseDuringAScheduledReconnectionCancelsIt) {
  script("/events", {whole(200, "data: a\n\n"), liveStream()});
  draws->answer = 1;  // one second
  auto client = makeClient("/events");
  client->open();
  ASSERT_TRUE(recorder->waitFor("error" + kNormalEnd));
  client->close();
  // Past the reconnection's time, on the queue it fires on: it did not open.
  ASSERT_TRUE(waitAfter(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0), 1500ms));
  EXPECT_FALSE(client->eventSourceTask());
  EXPECT_FALSE(client->session());
  EXPECT_EQ(server.requestCount(), 1U);
  EXPECT_EQ(recorder->count("CONNECTING"), 1U);

  // open() starts again.
  Recorder::listen(recorder, *client);
  draws->answer = 0;
  client->open();
  ASSERT_TRUE(recorder->waitFor("open", 2));
}

TEST_F(LDEventSourceConnection, AnOpenClientNeedsNoOwner) {
  script("/events", {liveStream()});
  std::weak_ptr<LDEventSource> weak;
  {
    auto client = makeClient("/events");
    clients.clear();  // nobody holds it but the connection
    weak = client;
    client->open();
  }
  auto first = streams.wait(0);
  ASSERT_TRUE(first);
  first->write("data: alive\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,alive)"));
  // Through the wait for the reconnection too.
  first->close();
  auto second = streams.wait(1);
  ASSERT_TRUE(second);
  second->write("data: still\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,still)"));
  ASSERT_FALSE(weak.expired());
  weak.lock()->close();
  EXPECT_TRUE(eventually([&] { return weak.expired(); }));
  EXPECT_TRUE(second->waitUntilClosed(kPatience));
}

TEST_F(LDEventSourceConnection, ListenersMayBeAddedFromAnyThreadDuringDelivery) {
  script("/events", {liveStream()});
  auto client = makeClient("/events");
  auto late = std::make_shared<std::atomic<int>>(0);
  // A handler that registers another one while records are delivered.
  client->onMessage([late, weakClient = std::weak_ptr<LDEventSource>(client)](const LDEventPtr&) {
    if (auto self = weakClient.lock())
      self->addEventListener("late", [late](const LDEventPtr&) { ++*late; });
  });
  client->open();
  auto stream = streams.wait(0);
  ASSERT_TRUE(stream);
  constexpr int kEvents = 300;
  const auto registrar = [&](int thread) {
    return std::thread([&client, thread] {
      for (int i = 0; i < 200; ++i) {
        client->addEventListener(i % 2 == 0 ? "message" : "tick" + std::to_string(thread),
                                 [](const LDEventPtr&) {});
        (void)client->listenerCounts();
      }
    });
  };
  std::vector<std::thread> registrars;
  registrars.reserve(3);
  for (int t = 0; t < 3; ++t)
    registrars.push_back(registrar(t));
  for (int i = 0; i < kEvents; ++i)
    stream->write("event: late\ndata: " + std::to_string(i) + "\n\n");
  for (auto& thread : registrars)
    thread.join();
  ASSERT_TRUE(recorder->waitFor("message(null,late," + std::to_string(kEvents - 1) + ")"));
  // Registration while close() runs.
  std::thread closing = registrar(3);
  client->close();
  closing.join();

  // The first handlers saw every record, in order.
  ASSERT_TRUE(drain(listeners));
  Trace expected{"CONNECTING", "OPEN", "open"};
  for (int i = 0; i < kEvents; ++i)
    expected.push_back("message(null,late," + std::to_string(i) + ")");
  EXPECT_EQ(recorder->trace(), expected);
  EXPECT_GT(late->load(), 0);
}

TEST_F(LDEventSourceConnection, AServerRestartLeavesOneConnection) {
  script("/events", {liveStream()});
  auto client = makeClient("/events");
  client->open();
  ASSERT_TRUE(recorder->waitFor("open"));
  const std::string refused = closedBy(NSURLErrorDomain, NSURLErrorCannotConnectToHost);
  constexpr size_t kRestarts = 3;
  for (size_t round = 1; round <= kRestarts; ++round) {
    server.stop();
    // At least one attempt found nobody listening.
    ASSERT_TRUE(recorder->waitFor("error" + refused, round));
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(recorder->waitFor("open", round + 1));
    EXPECT_TRUE(eventually([&] { return server.openConnectionCount() == 1; }))
        << server.openConnectionCount() << " connections after restart " << round;
  }
  // The handler may still be handing the last stream over when the client
  // already sees its head.
  ASSERT_TRUE(streams.wait(kRestarts));
  for (const auto& stream : streams.all())
    stream->write("data: once\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,once)"));
  client->close();
  EXPECT_EQ(recorder->count("message(null,null,once)"), 1U);
  EXPECT_EQ(recorder->count("open"), kRestarts + 1);
  EXPECT_EQ(server.requestCount(), kRestarts + 1);
}

TEST_F(LDEventSourceConnection, ASlowHandlerHoldsTheStreamBackAndLosesNothing) {
  script("/events", {liveStream()});
  auto client = makeUnrecordedClient("/events");
  auto slow = std::make_shared<SlowHandler>();
  slow->watch(slow, *client);
  client->onMessage(slow->handler(slow, client));
  client->onReadyStateChanged(slow->endHandler(slow));
  client->open();
  auto stream = streams.wait(0);
  ASSERT_TRUE(stream);
  // Far more than the bound on records in flight: about 36 MB.
  constexpr size_t kRecords = 300000;
  std::thread writer = pushNumbered(stream, kRecords, true);

  ASSERT_EQ(slow->blocked.get_future().wait_for(kPatience), std::future_status::ready);
  // The backlog suspends the data task while the handler sits still.
  const bool suspended = eventually([&] {
    const auto task = client->eventSourceTask();
    return task && task->state() == NSURLSessionTaskState::Suspended;
  });
  EXPECT_TRUE(suspended);
  EXPECT_GT(client->recordsInFlight(), LDEventSource::kMaximumRecordsInFlight);
  slow->release.set_value();
  writer.join();

  // Every record, in order, and the end after the last one.
  ASSERT_TRUE(eventually([&] { return slow->callsAtEnd.load() != 0; }));
  client->close();
  ASSERT_TRUE(drain(listeners));
  EXPECT_EQ(slow->callsAtEnd.load(), kRecords);
  EXPECT_EQ(slow->calls.load(), kRecords);
  EXPECT_EQ(slow->outOfOrder.load(), 0U);

  // The backlog never went past its bound by more than the records of one
  // piece (16 KiB), nor the bytes read ahead of the handler past the text
  // of those records and what the session itself lets pile up.
  const size_t pieceRecords = (size_t{64} << 10) / kNumberedBlockSize;
  EXPECT_LE(slow->peakInFlight.load(), LDEventSource::kMaximumRecordsInFlight + pieceRecords);
  EXPECT_LE(slow->peakUnread.load(),
            (LDEventSource::kMaximumRecordsInFlight + pieceRecords) * kNumberedBlockSize +
                2 * NSURLSessionMaximumUndeliveredBytes);
  EXPECT_TRUE(eventually([&] { return client->recordsInFlight() == 0; }));
}

TEST_F(LDEventSourceConnection, CloseEndsAConnectionThatABacklogHoldsBack) {
  script("/events", {liveStream()});
  auto client = makeUnrecordedClient("/events");
  clients.clear();  // nobody holds it but the connection
  auto slow = std::make_shared<SlowHandler>();
  client->onMessage(slow->handler(slow, client));
  client->onReadyStateChanged(slow->endHandler(slow));
  client->open();
  auto stream = streams.wait(0);
  ASSERT_TRUE(stream);
  std::thread writer = pushNumbered(stream, 100000, false);
  ASSERT_EQ(slow->blocked.get_future().wait_for(kPatience), std::future_status::ready);
  ASSERT_TRUE(eventually([&] {
    const auto task = client->eventSourceTask();
    return task && task->state() == NSURLSessionTaskState::Suspended;
  }));

  // A suspended task is cancelled like a running one, and what was held
  // back goes with the client.
  client->close();
  EXPECT_TRUE(stream->waitUntilClosed(kPatience));
  slow->release.set_value();
  writer.join();
  std::weak_ptr<LDEventSource> weak = client;
  client.reset();
  EXPECT_TRUE(eventually([&] { return weak.expired(); })) << "released after close";
  ASSERT_TRUE(drain(listeners));
  EXPECT_EQ(slow->outOfOrder.load(), 0U);
  EXPECT_EQ(slow->callsAtEnd.load(), 0U);
  EXPECT_EQ(server.requestCount(), 1U);
}

TEST_F(LDEventSourceConnection, AHandlerThatThrowsKeepsNoOtherCallFromRunning) {
  script("/events", {liveStream()});
  NSLogCapture log;
  auto client = makeUnrecordedClient("/events");
  client->onMessage(
      [](const LDEventPtr& event) { throw std::runtime_error("boom " + *event->data()); });
  Recorder::listen(recorder, *client);
  client->open();
  auto stream = streams.wait(0);
  ASSERT_TRUE(stream);
  // One piece, so that the calls of both records share one block.
  stream->write("data: a\n\ndata: b\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,b)"));
  EXPECT_EQ(recorder->trace(),
            (Trace{"CONNECTING", "OPEN", "open", "message(null,null,a)", "message(null,null,b)"}));
  EXPECT_TRUE(log.waitFor("a listener threw: boom b", kPatience));
  EXPECT_EQ(log.count("a listener threw: boom a"), 1U);
}

TEST_F(LDEventSourceConnection, AnEndThatComesWhileTheStreamIsHeldBackFollowsItsRecords) {
  // A whole body well past the bound, sent at once and ended: the end
  // usually reaches the client while pieces of the body are still held.
  constexpr size_t kRecords = 3 * LDEventSource::kMaximumRecordsInFlight / 2;
  std::string body;
  for (size_t i = 0; i < kRecords; ++i)
    body += numberedBlock(i);
  script("/events", {whole(200, body), liveStream()});
  auto client = makeUnrecordedClient("/events");
  auto slow = std::make_shared<SlowHandler>();
  client->onMessage(slow->handler(slow, client));
  client->onReadyStateChanged(slow->endHandler(slow));
  client->open();
  ASSERT_EQ(slow->blocked.get_future().wait_for(kPatience), std::future_status::ready);
  ASSERT_TRUE(eventually(
      [&] { return client->recordsInFlight() > LDEventSource::kMaximumRecordsInFlight; }));
  slow->release.set_value();

  ASSERT_TRUE(eventually([&] { return slow->callsAtEnd.load() != 0; }));
  EXPECT_EQ(slow->callsAtEnd.load(), kRecords);
  EXPECT_EQ(slow->outOfOrder.load(), 0U);
  // And the next connection is opened as after any end.
  EXPECT_TRUE(streams.wait(0));
}

TEST_F(LDEventSourceConnection, CallsAlreadyHandedToTheListenerQueueRunAfterClose) {
  script("/events", {liveStream()});
  auto client = makeClient("/events");
  // The listener queue is held up until the test lets it go, so that the
  // records pile up there, handed over but not yet run.
  auto unplug = std::make_shared<std::promise<void>>();
  dispatch_async(listeners, [plug = unplug->get_future().share()] { plug.wait_for(kPatience); });
  client->open();
  auto stream = streams.wait(0);
  ASSERT_TRUE(stream);
  constexpr size_t kRecords = 50;
  for (size_t i = 0; i < kRecords; ++i)
    stream->write("data: " + std::to_string(i) + "\n\n");
  // CONNECTING and OPEN are in flight as well.
  ASSERT_TRUE(eventually([&] { return client->recordsInFlight() == kRecords + 2; }));
  client->close();
  stream->write("data: after close\n\n");
  unplug->set_value();

  ASSERT_TRUE(recorder->waitFor("message(null,null," + std::to_string(kRecords - 1) + ")"));
  EXPECT_TRUE(stream->waitUntilClosed(kPatience));
  ASSERT_TRUE(drain(listeners));
  Trace expected{"CONNECTING", "OPEN", "open"};
  for (size_t i = 0; i < kRecords; ++i)
    expected.push_back("message(null,null," + std::to_string(i) + ")");
  EXPECT_EQ(recorder->trace(), expected);
  EXPECT_EQ(client->recordsInFlight(), 0U);
}
