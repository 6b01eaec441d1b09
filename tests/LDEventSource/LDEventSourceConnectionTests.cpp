#include <atomic>
#include <span>

#include <gtest/gtest.h>

#include "LDEventSource/LDEventSource.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Net/NSURLError.h"
#include "tests/Platform/NetTestSupport.h"

using namespace std::string_literals;

namespace {

using Trace = std::vector<std::string>;

const std::string kEventStreamHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
    "Connection: close\r\n\r\n";

std::string closedBy(std::string_view domain, long code) {
  return "(" + std::string(domain) + "," + std::to_string(code) + ")";
}
const std::string kNormalEnd = closedBy("", 2);

// One handler call as a line: the ready states by name, an error as its
// domain and code, a parsed record as type(id,event,data).
std::string describe(std::string_view type, const LDEventView& event) {
  const auto& error = event.error;
  const std::string reason = error ? closedBy(error->domain(), error->code()) : "(no error)";
  const auto show = [](std::optional<std::string_view> text) {
    return text ? std::string(*text) : "null";
  };
  if (type == ReadyStateEvent) {
    const int32_t state = event.readyState;
    if (state == LDEventReadyStateClosed) return "CLOSED" + reason;
    if (state == LDEventReadyStateOpen) return "OPEN";
    return state == LDEventReadyStateConnecting ? "CONNECTING" : "state " + std::to_string(state);
  }
  if (type == OpenEvent) return "open";
  if (type == ErrorEvent) return "error" + reason;
  return std::string(type) + "(" + show(event.id) + "," + show(event.event) + "," +
         show(event.data) + ")";
}

// The calls from the end of one connection to the opening of the next.
Trace reconnected(const std::string& end = kNormalEnd) {
  return {"CLOSED" + end, "error" + end, "CONNECTING", "OPEN", "open"};
}
template <typename... Traces>
Trace join(const Traces&... traces) {
  Trace all;
  (all.insert(all.end(), traces.begin(), traces.end()), ...);
  return all;
}

// Notes every call of the client's listeners as a line, in the order of the
// calls: of its own types and of the given event names.
void record(const std::shared_ptr<LineLog>& log, LDEventSource& source,
            std::vector<std::string> names = {}) {
  for (const std::string_view type : {ReadyStateEvent, OpenEvent, MessageEvent, ErrorEvent})
    names.emplace_back(type);
  for (const auto& name : names) {
    source.addEventListener(name, [log, name](const LDEventPtr& event) {
      log->add(describe(name, LDEventView::of(*event)));
    });
  }
}

// The back-off's random draw, replaced: it notes each bound it is asked for
// and answers a fixed number of milliseconds (0 unless a test sets one).
struct Draws : LineLog {
  std::atomic<uint32_t> answer{0};
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
    const size_t total = received += data.size();
    if (afterData) afterData(total);
  }
  bool suspendsEventually() const {
    return eventually([this] {
      const auto task = eventSourceTask();
      return task && task->state() == NSURLSessionTaskState::Suspended;
    });
  }

  std::atomic<size_t> received{0};
  // Called on the (serial) delegate queue with the bytes given so far; set
  // before open().
  std::function<void(size_t received)> afterData;
};

// A record of a fixed size whose id is its number.
std::string numberedBlock(size_t index) {
  std::string id = std::to_string(index);
  return "id: " + std::string(7 - id.size(), '0') + id + "\ndata: " + std::string(100, 'x') +
         "\n\n";
}
const size_t kNumberedBlockSize = numberedBlock(0).size();

// Writes numbered records on a thread of its own, as fast as the socket
// takes them, so that the server holds little of its own; closes the
// stream after the last one if asked to.
std::jthread pushNumbered(std::shared_ptr<ZRLLocalStream> stream, size_t records, bool close) {
  return std::jthread([stream = std::move(stream), records, close] {
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

// A "message" handler of numbered records that stops at its first call
// until released, and what it has seen.
struct SlowHandler {
  std::promise<void> blocked;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<size_t> calls{0};
  std::atomic<size_t> outOfOrder{0};
  std::atomic<size_t> callsAtEnd{0};  // when the CLOSED record came
  // The largest backlog after a piece the client was given: records in
  // flight, and bytes given to the client whose records were not handled.
  std::atomic<size_t> peakInFlight{0};
  std::atomic<size_t> peakUnread{0};

  static std::shared_ptr<SlowHandler> attach(const std::shared_ptr<ObservedSource>& client) {
    auto self = std::make_shared<SlowHandler>();
    client->onMessage([self](const LDEventPtr& event) {
      const size_t index = self->calls.load();
      if (event->id() != numberedBlock(index).substr(4, 7)) ++self->outOfOrder;
      if (index == 0) {
        self->blocked.set_value();
        self->released.wait_for(kPatience);
      }
      self->calls.store(index + 1);
    });
    client->onReadyStateChanged([self](const LDEventPtr& event) {
      if (event->readyState() == LDEventReadyStateClosed)
        self->callsAtEnd.store(self->calls.load());
    });
    // Parsing a piece is what adds to the backlog, so it peaks right after.
    client->afterData = [self, &source = *client](size_t received) {
      const size_t handled = self->calls.load() * kNumberedBlockSize;
      self->peakInFlight = std::max(self->peakInFlight.load(), source.recordsInFlight());
      self->peakUnread = std::max(self->peakUnread.load(), received - std::min(received, handled));
    };
    return self;
  }
  bool waitUntilBlocked() {
    return blocked.get_future().wait_for(kPatience) == std::future_status::ready;
  }
};

struct ClientOptions {
  std::optional<NSHTTPHeaderFields> headers = std::nullopt;
  double timeout = 20.0;
  std::string method = "GET";
  std::optional<NSData> body = std::nullopt;
  std::vector<std::string> names = {};  // event names the recorder listens to as well
  bool record = true;
};

}  // namespace

class LDEventSourceConnection : public LocalServerFixture {
 protected:
  using Answer = std::function<void(ZRLLocalResponder&)>;

  // Closes every client, so that none goes on reconnecting to a server
  // that is gone.
  void TearDown() override {
    for (const auto& client : clients)
      client->close();
  }

  // The i-th request to the path gets the i-th answer; later ones get the last.
  void script(const std::string& path, std::vector<Answer> answers,
              const std::string& method = "GET") {
    auto next = std::make_shared<std::atomic<size_t>>(0);
    server.route(
        method, path,
        [next, answers = std::move(answers)](const ZRLLocalRequest&, ZRLLocalResponder& r) {
          answers[std::min(next->fetch_add(1), answers.size() - 1)](r);
        });
  }
  // An event stream that the test writes, and raw bytes, head included.
  Answer liveStream() {
    return [this](ZRLLocalResponder& r) { hand(r.stream(200, kEventStreamHeaders)); };
  }
  Answer rawStream() {
    return [this](ZRLLocalResponder& r) { hand(r.raw()); };
  }
  // A whole answer, of an event stream unless another Content-Type (or
  // none) is given.
  static Answer whole(int status, std::string body = {},
                      std::optional<std::string> type = "text/event-stream") {
    return [status, body = std::move(body), type = std::move(type)](ZRLLocalResponder& r) {
      ZRLLocalHeaders headers;
      if (type) headers.add("Content-Type", *type);
      r.respond(status, headers, body);
    };
  }

  // A client on the test's serial listener queue, with the noted draw, which
  // the test closes at its end.
  std::shared_ptr<ObservedSource> makeClient(const std::string& path, ClientOptions options = {}) {
    auto client = std::make_shared<ObservedSource>(NSURL::URLWithString(server.URL(path)),
                                                   std::move(options.headers), options.timeout,
                                                   options.method, std::move(options.body));
    client->setListenerQueue(listeners);
    client->setRandomUniform([draws = draws](uint32_t bound) {
      draws->add(std::to_string(bound));
      return std::min(draws->answer.load(), bound - 1);
    });
    if (options.record) record(recorder, *client, std::move(options.names));
    clients.push_back(client);
    return client;
  }

  // Runs a script of answers (on a path of its own) until a line has been
  // heard so many times, closes the client, and checks what the listeners
  // heard until then, what the back-off drew, and that every answer was
  // asked for and every stream closed.
  void expectScript(const std::string& name, const std::vector<Answer>& answers,
                    const std::string& until, size_t times, const Trace& expected,
                    const Trace& expectedDraws, double timeout = 20.0) {
    SCOPED_TRACE(name);
    recorder = std::make_shared<LineLog>();
    draws = std::make_shared<Draws>();
    const std::string path = "/script" + std::to_string(scripts++);
    const size_t requestsBefore = server.requestCount();
    const size_t streamsBefore = handedCount();
    script(path, answers);
    auto client = makeClient(path, {.timeout = timeout});
    client->open();
    ASSERT_TRUE(recorder->waitFor(until, times));
    if (until == "error" + closedBy(LDEventSourceErrorDomain, -401)) {
      EXPECT_FALSE(client->eventSourceTask()) << "nothing scheduled after a refusal";
    }
    client->close();
    Trace heard = recorder->lines();
    heard.resize(std::min(heard.size(), expected.size()));  // more may follow
    EXPECT_EQ(heard, expected);
    EXPECT_EQ(draws->lines(), expectedDraws);
    EXPECT_EQ(server.requestCount() - requestsBefore, answers.size());
    for (size_t s = streamsBefore; s < handedCount(); ++s)
      EXPECT_TRUE(stream(s)->waitUntilClosed(kPatience)) << "stream " << s;
  }

  // Lets the test's handle go; true once nothing holds the client any more.
  static bool released(std::shared_ptr<LDEventSource> client) {
    const std::weak_ptr<LDEventSource> weak = std::exchange(client, nullptr);
    return eventually([&] { return weak.expired(); });
  }

  dispatch_queue_t listeners = dispatch_queue_create("test.listeners", DISPATCH_QUEUE_SERIAL);
  std::shared_ptr<Draws> draws = std::make_shared<Draws>();
  std::shared_ptr<LineLog> recorder = std::make_shared<LineLog>();
  std::vector<std::shared_ptr<LDEventSource>> clients;
  size_t scripts = 0;
};

TEST_F(LDEventSourceConnection, RecordsStatesAndLastEventIDAcrossReconnections) {
  script("/events",
         {liveStream(), whole(200, "id: bad\0id\ndata: b\n\ndata: no id\n\n"s),
          whole(200, "id: 3\ndata: e\n\n"), liveStream()},
         "POST");
  // The caller's own Last-Event-ID gives way to the client's; the method
  // and body go with every connection.
  NSHTTPHeaderFields headers;
  headers.setValue("key-1", "X-Api-Key");
  headers.setValue("from the caller", "Last-Event-ID");
  auto client = makeClient(
      "/events",
      {.headers = headers, .method = "POST", .body = NSData("body"), .names = {"update"}});
  client->setLastEventID("0");
  // The batch handler sees the same calls, as they are made, and nothing
  // once close() has dropped it.
  auto batches = std::make_shared<LineLog>();
  client->setBatchHandler([batches](std::span<const LDEventDelivery> records) {
    for (const LDEventDelivery& delivery : records) {
      for (const std::string_view type : delivery.typeNames())
        batches->add(describe(type, delivery.record));
    }
  });
  client->open();

  auto live = stream(0);
  ASSERT_TRUE(recorder->waitFor("open"));
  live->write("id: 1\nevent: update\ndata: a\ndata: b\n\n: keep-alive\n\n");
  live->write("id: 2\nevent: message\ndata: c\n\n");
  live->close();
  // Two whole answers, then a stream again.
  stream(1)->write("data: d\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,d)"));
  client->close();

  const Trace expected =
      join(Trace{"CONNECTING", "OPEN", "open", "message(1,update,a\nb)", "update(1,update,a\nb)",
                 "message(null,null,null)", "message(2,message,c)", "message(2,message,c)"},
           reconnected(), Trace{"message(bad\0id,null,b)"s, "message(null,null,no id)"},
           reconnected(), Trace{"message(3,null,e)"}, reconnected(), Trace{"message(null,null,d)"});
  EXPECT_EQ(recorder->lines(), expected);
  EXPECT_EQ(batches->lines(), expected);
  EXPECT_EQ(draws->lines(), (Trace{"2000", "2000", "2000"}));
  // (zrl-events' tests print each end's domain, code and description.)

  // Each request as its body, its key and every Last-Event-ID it sent. An
  // identifier with a NUL could not be sent as a header field: it is not
  // taken, and a record without an identifier keeps the last one.
  Trace sent;
  for (const auto& request : server.requests()) {
    std::string line = request.body() + " " + request.header("X-Api-Key").value_or("none");
    for (const auto& id : request.headers().values("Last-Event-ID"))
      line.append(" ").append(id);
    sent.push_back(line);
  }
  EXPECT_EQ(sent, (Trace{"body key-1 0", "body key-1 2", "body key-1 2", "body key-1 3"}));
  EXPECT_EQ(client->lastEventID(), "3");

  record(recorder, *client);
  client->open();
  stream(2)->write("data: again\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,again)"));
  EXPECT_EQ(batches->lines(), expected);
}

// (zrl-events' tests give a client with a batch handler alone bursts of
// 20,000 records, each printed in order. Content codings are the session's:
// its tests check the codings offered and that an undecodable answer fails.)
TEST_F(LDEventSourceConnection, RecordsDoNotDependOnCutsAndNoUnfinishedBlockOutlivesItsConnection) {
  // A byte order mark, CR LF and lone CR line ends, characters of two and
  // four bytes and an ill-formed byte (the reader's tests have the rest).
  const std::string body =
      "\xEF\xBB\xBFid: 1\r\nevent: caf\xC3\xA9\r\ndata: \xF0\x9F\x98\x80\xFF\r\n\r\n"
      "data: lone\rdata: cr\r\r";
  const Trace records{"message(1,caf\xC3\xA9,\xF0\x9F\x98\x80\xEF\xBF\xBD)",
                      "caf\xC3\xA9(1,caf\xC3\xA9,\xF0\x9F\x98\x80\xEF\xBF\xBD)",
                      "message(null,null,lone\ncr)"};
  script("/split", {rawStream()});
  auto client = makeClient("/split", {.names = {"caf\xC3\xA9"}});
  client->setMaxEventSize(4096);
  auto descriptions = std::make_shared<LineLog>();
  client->onError([descriptions](const LDEventPtr& event) {
    descriptions->add(event->error()->localizedDescription());
  });
  client->open();

  // First connection: every byte a chunk of its own, and a block and a
  // character left unfinished when the connection is reset.
  const std::string first = body + "data: h\xE2\x82";
  auto bytewise = stream(0);
  ASSERT_TRUE(bytewise->write(kEventStreamHead));
  for (size_t i = 0; i < first.size(); ++i) {
    ASSERT_TRUE(bytewise->write(first.substr(i, 1)));
    ASSERT_TRUE(eventually([&] { return client->received > i; })) << "byte " << i;
  }
  bytewise->abort();
  // Second: all of it in one piece, and a block left unfinished by an
  // orderly end.
  const std::string second = body + "data: par";
  auto onePiece = stream(1);
  ASSERT_TRUE(onePiece->write(kEventStreamHead + second));
  ASSERT_TRUE(eventually([&] { return client->received >= first.size() + second.size(); }));
  onePiece->close();
  // Third: a block that grows by 1 KiB a write past the size limit.
  auto growing = stream(2);
  ASSERT_TRUE(growing->write(kEventStreamHead + "data: small\n\ndata: "));
  for (size_t written = 0; written <= 8192 && growing->write(std::string(1024, 'x')) &&
                           growing->flush() && growing->isOpen();
       written += 1024) {
  }
  EXPECT_TRUE(growing->waitUntilClosed(kPatience)) << "the client must give the connection up";
  // Fourth: none of the unfinished blocks is glued onto the new text, nor
  // its own onto that of the fifth, which open() starts while it runs.
  ASSERT_TRUE(stream(3)->write(kEventStreamHead + "data: three\n\ndata: unfin"));
  ASSERT_TRUE(recorder->waitFor("message(null,null,three)"));
  client->open();
  ASSERT_TRUE(stream(4)->write(kEventStreamHead + "data: five\n\n"));
  ASSERT_TRUE(recorder->waitFor("message(null,null,five)"));

  const std::string lost = closedBy(NSURLErrorDomain, NSURLErrorNetworkConnectionLost);
  const std::string tooLarge = closedBy(LDEventSourceErrorDomain, -413);
  const Trace expected = join(
      Trace{"CONNECTING", "OPEN", "open"}, records, reconnected(lost), records, reconnected(),
      Trace{"message(null,null,small)"}, reconnected(tooLarge),
      Trace{"message(null,null,three)", "CONNECTING", "OPEN", "open", "message(null,null,five)"});
  EXPECT_EQ(recorder->lines(), expected);
  EXPECT_EQ(descriptions->lines().at(2), "Event exceeds the size limit.");
  Trace sent;
  for (const auto& request : server.requests())
    sent.push_back(request.header("Last-Event-ID").value_or("none"));
  EXPECT_EQ(sent, (Trace{"none", "1", "1", "1", "1"}));

  // A connection failed for a block too large counts as a failed attempt,
  // whatever it delivered before: after the second's 2 s, the third's
  // ceiling doubles. The one replaced by open() drew nothing.
  EXPECT_EQ(draws->lines(), (Trace{"2000", "2000", "4000"}));
}

// Scripts of answers that differ in one thing: what the listeners hear and
// what the back-off draws, until a line has been heard so many times (the
// client is closed then).
TEST_F(LDEventSourceConnection, EachScriptOfAnswersGivesItsRecordsAndDelays) {
  const Answer silentAfterOne = [this](ZRLLocalResponder& r) {
    auto stream = r.stream(200, kEventStreamHeaders);
    stream->write("data: a\n\n");
    hand(stream);
  };
  const std::string refused = closedBy(LDEventSourceErrorDomain, -401);
  const std::string timedOut = closedBy(NSURLErrorDomain, NSURLErrorTimedOut);
  const Trace opened{"CONNECTING", "OPEN", "open"};
  const Trace ended{"CLOSED" + kNormalEnd, "error" + kNormalEnd};
  const Trace failed = join(Trace{"CONNECTING"}, ended);
  // Twice the interval per attempt since the last record with data, from
  // the interval that the last "retry" set; a zero interval draws nothing,
  // and an answer of 200 without data does not start the count again. The
  // bodies of answers but 200 are not read as events, and after a 401
  // nothing is scheduled.
  expectScript(
      "retry intervals",
      {whole(200, "data: once\n\n"), whole(204), whole(500, "data: an error page\n\n"),
       whole(200, "retry: 5000\ndata: x\n\n"), whole(500), whole(200, "retry: 0\n\n"),
       whole(401, "data: not for you\n\n")},
      "error" + refused, 1,
      join(opened, Trace{"message(null,null,once)"}, ended, failed, failed, opened,
           Trace{"message(null,null,x)"}, ended, failed, opened, Trace{"message(null,null,null)"},
           ended, Trace{"CONNECTING", "CLOSED" + refused, "error" + refused}),
      {"2000", "4000", "8000", "10000", "20000"});
  // A captive portal's page, an event stream of any case with parameters,
  // and an answer without a Content-Type.
  expectScript("media types",
               {whole(200, "data: portal\n\n", "text/html; charset=utf-8"),
                whole(200, "data: a\n\n", "Text/Event-Stream ; charset=UTF-8"),
                whole(200, "data: b\n\n", std::nullopt), liveStream()},
               "open", 3,
               join(failed, opened, Trace{"message(null,null,a)"}, reconnected(),
                    Trace{"message(null,null,b)"}, reconnected()),
               {"2000", "2000", "2000"});
  // Silent after one record, then silent from the start, with a time-out
  // long enough for a busy machine to send a head in time.
  expectScript("stalls", {silentAfterOne, rawStream(), liveStream()}, "open", 2,
               join(opened, Trace{"message(null,null,a)", "CLOSED" + timedOut, "error" + timedOut},
                    Trace{"CONNECTING", "CLOSED" + timedOut, "error" + timedOut}, opened),
               {"2000", "4000"}, 1.0);
}

TEST_F(LDEventSourceConnection, TheBackOffDrawsMillisecondsBelowAGrowingCeiling) {
  auto client = makeClient("/unused");
  draws->answer = 1500;
  for (int attempt = 1; attempt <= 13; ++attempt)
    EXPECT_EQ(client->increaseIntervalWithBackoff(), 1.5) << "attempt " << attempt;
  // A ceiling of 1 ms or less draws nothing; 2 ms draws below 2.
  for (const auto& [interval, delay] : {std::pair{0.0005, 0.0}, std::pair{0.001, 0.001}}) {
    client->setRetryAttempt(0);
    client->setRetryInterval(interval);
    EXPECT_EQ(client->increaseIntervalWithBackoff(), delay) << "interval " << interval;
  }
  // The ceiling doubles per attempt up to an hour, in milliseconds.
  EXPECT_EQ(draws->lines(),
            (Trace{"2000", "4000", "8000", "16000", "32000", "64000", "128000", "256000", "512000",
                   "1024000", "2048000", "3600000", "3600000", "2"}));
}

TEST_F(LDEventSourceConnection, ConnectionsWithoutDataAreRetriedAtGrowingIntervalsNeverInALoop) {
  // Accepted and dropped at once; a 200 with only a retry field of 0; one
  // with only a comment; dropped again.
  const auto dropped = [](ZRLLocalResponder& r) { r.raw()->close(); };
  script("/nothing",
         {dropped, whole(200, "retry: 0\n\n"), whole(200, ": only a comment\n\n"), dropped});
  auto client = makeClient("/nothing");
  const auto start = std::chrono::steady_clock::now();
  client->open();
  ASSERT_TRUE(server.waitForRequest(3, kPatience));
  // The draw answers 0: each of the three waits is the floor of a second. A
  // retry interval of 0 draws nothing, and no answer started the count again.
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2970ms);
  ASSERT_TRUE(recorder->waitFor("CONNECTING", 5));
  client->close();
  EXPECT_EQ(draws->lines(), (Trace{"2000"}));
  EXPECT_GE(client->retryAttempt(), 4);  // a fifth may have failed before the close
}

TEST_F(LDEventSourceConnection, AnOpenClientNeedsNoOwnerThroughServerRestartsUntilClose) {
  script("/events", {liveStream()});
  std::shared_ptr<LDEventSource> client = makeClient("/events");
  client->open();
  const std::weak_ptr<LDEventSource> weak = client;
  clients.clear();  // nobody holds it but the connection
  client.reset();
  ASSERT_TRUE(recorder->waitFor("open"));
  // Through the waits for reconnections too, and each restart leaves one
  // connection.
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
  auto last = stream(kRestarts);
  for (size_t i = 0; i <= kRestarts; ++i)
    stream(i)->write("data: once\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,null,once)"));
  client = weak.lock();
  ASSERT_TRUE(client);
  client->close();
  EXPECT_TRUE(client->listenerCounts().empty());
  last->write("data: after close\n\n");
  EXPECT_TRUE(last->waitUntilClosed(kPatience));

  // Once the session has let the client go, nothing of it can run any more.
  ASSERT_TRUE(released(std::move(client))) << "released after close";
  ASSERT_TRUE(drain(listeners));
  const Trace trace = recorder->lines();
  EXPECT_EQ(trace.back(), "message(null,null,once)");
  EXPECT_EQ(LineLog::count(trace, "message(null,null,once)"), 1U);
  EXPECT_EQ(LineLog::count(trace, "open"), kRestarts + 1);
  EXPECT_EQ(server.requestCount(), kRestarts + 1);
}

TEST_F(LDEventSourceConnection, CloseCancelsReconnections) {
  // One scheduled a second ahead: past its time, on the queue it fires on,
  // it has not opened.
  script("/events", {whole(200, "data: a\n\n")});
  draws->answer = 1000;
  auto client = makeClient("/events");
  client->open();
  ASSERT_TRUE(recorder->waitFor("error" + kNormalEnd));
  client->close();
  auto past = std::make_shared<std::promise<void>>();
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 1500 * NSEC_PER_MSEC),
                 dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0),
                 [past] { past->set_value(); });
  ASSERT_EQ(past->get_future().wait_for(kPatience + 1500ms), std::future_status::ready);
  EXPECT_FALSE(client->eventSourceTask());
  EXPECT_FALSE(client->session());
  EXPECT_EQ(server.requestCount(), 1U);
  EXPECT_EQ(recorder->count("CONNECTING"), 1U);
  // open() starts again; one scheduled far ahead then does not keep the
  // closed client alive meanwhile.
  record(recorder, *client);
  client->setRetryInterval(100.0);
  draws->answer = 100000;  // 100 s
  client->open();
  ASSERT_TRUE(recorder->waitFor("error" + kNormalEnd, 2));
  client->close();
  clients.clear();
  EXPECT_TRUE(released(std::move(client))) << "held until its reconnection's time";

  // Ones that follow at once, answer after answer.
  script("/empty", {whole(200, "retry: 0\ndata: again\n\n")});
  for (int round = 0; round < 20; ++round) {
    recorder = std::make_shared<LineLog>();
    auto looping = makeClient("/empty");
    clients.clear();
    looping->open();
    ASSERT_TRUE(recorder->waitFor("CONNECTING", 3));
    looping->close();
    ASSERT_TRUE(released(std::move(looping))) << "round " << round;
    ASSERT_TRUE(drain(listeners));
  }
}

TEST_F(LDEventSourceConnection, ListenersMayBeAddedFromAnyThreadAndNeitherThrowNorCloseLosesACall) {
  script("/events", {liveStream()});
  NSLogCapture log;
  auto client = makeClient("/events", {.record = false});
  client->onMessage(
      [](const LDEventPtr& event) { throw std::runtime_error("boom " + *event->data()); });
  record(recorder, *client);
  // A handler that registers another one while records are delivered, and
  // at the record "close" closes the client and registers again.
  auto late = std::make_shared<std::atomic<int>>(0);
  auto afterClose = std::make_shared<std::atomic<int>>(0);
  auto closed = std::make_shared<std::promise<void>>();
  client->onMessage([late, afterClose, closed,
                     weak = std::weak_ptr<LDEventSource>(client)](const LDEventPtr& event) {
    auto self = weak.lock();
    if (!self) return;
    if (event->data() != "close") {
      self->addEventListener("late", [late](const LDEventPtr&) { ++*late; });
      return;
    }
    self->close();
    self->onMessage([afterClose](const LDEventPtr&) { ++*afterClose; });
    closed->set_value();
  });
  client->open();
  auto live = stream(0);
  // One piece, so that the calls of both records share one block: the
  // listener that the first record's call adds is called for the second.
  live->write("data: a\n\nevent: late\ndata: b\n\n");
  ASSERT_TRUE(recorder->waitFor("message(null,late,b)"));
  ASSERT_TRUE(drain(listeners));
  EXPECT_GT(late->load(), 0);
  const auto registrar = [&](int thread) {
    return std::jthread([&client, thread] {
      for (int i = 0; i < 200; ++i) {
        client->addEventListener(i % 2 == 0 ? "message" : "tick" + std::to_string(thread),
                                 [](const LDEventPtr&) {});
        (void)client->listenerCounts();
      }
    });
  };
  std::jthread registrars[] = {registrar(0), registrar(1), registrar(2)};
  constexpr int kEvents = 300;
  Trace expected{"CONNECTING", "OPEN", "open", "message(null,null,a)", "message(null,late,b)"};
  for (int i = 0; i < kEvents; ++i) {
    live->write("event: late\ndata: " + std::to_string(i) + "\n\n");
    expected.push_back("message(null,late," + std::to_string(i) + ")");
  }
  ASSERT_TRUE(recorder->waitFor(expected.back()));

  // Calls handed to the listener queue before close() still run: the queue
  // is held up until all the records after "close" have been handed over.
  auto unplug = std::make_shared<std::promise<void>>();
  dispatch_async(listeners, [plug = unplug->get_future().share()] { plug.wait_for(kPatience); });
  constexpr size_t kRecords = 50;
  std::string records;
  for (size_t i = 0; i < kRecords; ++i) {
    const std::string data = i == 0 ? "close" : std::to_string(kEvents + i);
    records += "data: " + data + "\n\n";
    expected.push_back("message(null,null," + data + ")");
  }
  live->write(records);
  ASSERT_TRUE(eventually([&] { return client->recordsInFlight() == kRecords; }));
  std::jthread closing = registrar(3);  // registration while close() runs
  unplug->set_value();
  ASSERT_EQ(closed->get_future().wait_for(kPatience), std::future_status::ready);
  live->write("data: after close\n\n");
  EXPECT_TRUE(live->waitUntilClosed(kPatience));

  // The first handlers saw every record, in order.
  ASSERT_TRUE(drain(listeners));
  EXPECT_EQ(recorder->lines(), expected);
  EXPECT_EQ(afterClose->load(), 0);
  EXPECT_EQ(client->recordsInFlight(), 0U);
  EXPECT_TRUE(
      log.waitFor("a listener threw: boom " + std::to_string(kEvents + kRecords - 1), kPatience));
  EXPECT_EQ(log.count("a listener threw: boom a"), 1U);
  EXPECT_EQ(log.count("a listener threw: boom b"), 1U);
}

TEST_F(LDEventSourceConnection, ASlowHandlerHoldsTheStreamBackAndLosesNothing) {
  // Held back, then closed: a suspended task is cancelled like a running
  // one, and what was held back goes with the client.
  script("/dropped", {liveStream()});
  {
    auto client = makeClient("/dropped", {.record = false});
    clients.clear();  // nobody holds it but the connection
    auto slow = SlowHandler::attach(client);
    client->open();
    auto dropped = stream(0);
    std::jthread writer = pushNumbered(dropped, 100000, false);
    ASSERT_TRUE(slow->waitUntilBlocked());
    ASSERT_TRUE(client->suspendsEventually());
    client->close();
    EXPECT_TRUE(dropped->waitUntilClosed(kPatience));
    slow->release.set_value();
    EXPECT_TRUE(released(std::move(client))) << "released after close";
    ASSERT_TRUE(drain(listeners));
    EXPECT_EQ(slow->outOfOrder.load(), 0U);
    EXPECT_EQ(slow->callsAtEnd.load(), 0U);
    EXPECT_EQ(server.requestCount(), 1U);
  }

  // Far more than the bound, about 36 MB, on a stream that then ends: the
  // end reaches the client while pieces are still held, and comes after
  // their records.
  script("/long", {liveStream()});
  auto client = makeClient("/long", {.record = false});
  auto slow = SlowHandler::attach(client);
  client->open();
  auto live = stream(1);
  constexpr size_t kRecords = 300000;
  std::jthread writer = pushNumbered(live, kRecords, true);
  ASSERT_TRUE(slow->waitUntilBlocked());
  // The backlog suspends the data task while the handler sits still.
  EXPECT_TRUE(client->suspendsEventually());
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
  // piece (64 KiB), nor the bytes read ahead of the handler past the text
  // of those records and what the session itself lets pile up.
  const size_t pieceRecords = (size_t{64} << 10) / kNumberedBlockSize;
  EXPECT_LE(slow->peakInFlight.load(), LDEventSource::kMaximumRecordsInFlight + pieceRecords);
  EXPECT_LE(slow->peakUnread.load(),
            (LDEventSource::kMaximumRecordsInFlight + pieceRecords) * kNumberedBlockSize +
                2 * NSURLSessionMaximumUndeliveredBytes);
  EXPECT_TRUE(eventually([&] { return client->recordsInFlight() == 0; }));
}
