// URL sessions against the local server: the order and content of what a
// task tells its delegate, what reaches the wire, failures, cancellation,
// the disposition, idle limits, the ends of a session, flow control and
// TLS trust.

#include <dlfcn.h>
#include <netdb.h>

#include <atomic>
#include <deque>
#include <map>
#include <semaphore>
#include <set>
#include <string_view>
#include <tuple>

#include <curl/curl.h>

#include "tests/Platform/NetTestSupport.h"

using Disposition = NSURLSessionResponseDisposition;

namespace {

// What the delegate has heard of one task.
struct Trace {
  NSHTTPURLResponsePtr response;
  size_t pieces = 0;
  std::string body;
  std::optional<NSErrorPtr> end;          // null on success
  std::string problems;                   // the rules that its notifications broke
  std::function<void(Disposition)> held;  // the disposition handler, when held
};

// Records what each task hears and checks the rules as it goes: one head
// before any body, one end after all else, nothing after the invalidation,
// everything on the delegate queue.
class RecordingDelegate : public NSURLSessionDataDelegate {
 public:
  explicit RecordingDelegate(dispatch_queue_t queue) : queue_(std::move(queue)) {}

  std::atomic<bool> holds{false};  // keeps the disposition handlers instead of allowing
  bool keepsBytes = true;
  std::function<void(const NSURLSessionDataTaskPtr&, const NSData&)> onData;

  void didReceiveResponse(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                          const NSHTTPURLResponsePtr& response,
                          std::function<void(Disposition)> handler) override {
    const bool holding = holds;
    note(task, [&](Trace& t) {
      if (t.response) t.problems += " a second head;";
      t.response = response;
      if (holding) t.held = handler;
    });
    if (!holding) handler(Disposition::Allow);
  }
  void didReceiveData(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                      const NSData& data) override {
    note(task, [&](Trace& t) {
      if (!t.response) t.problems += " body before the head;";
      ++t.pieces;
      if (keepsBytes) t.body += data;
    });
    if (onData) onData(task, data);
  }
  void didCompleteWithError(const NSURLSessionPtr&, const NSURLSessionDataTaskPtr& task,
                            const NSErrorPtr& error) override {
    note(task, [&](Trace& t) { t.end = error; });
  }
  void didBecomeInvalidWithError(const NSURLSessionPtr&, const NSErrorPtr& error) override {
    std::lock_guard lock(mutex_);
    invalidation_ = error;
    changed_.notify_all();
  }

  // The task's trace once the condition holds (or on time-out); at once
  // without one.
  Trace trace(const NSURLSessionDataTaskPtr& task,
              const std::function<bool(const Trace&)>& until = nullptr) {
    std::unique_lock lock(mutex_);
    const Trace& t = traces_[task->taskIdentifier()];
    if (until) changed_.wait_for(lock, kPatience, [&] { return until(t); });
    return t;
  }
  std::optional<NSErrorPtr> invalidation() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return invalidation_.has_value(); });
    return invalidation_;
  }
  size_t tasksHeardOf() {
    std::lock_guard lock(mutex_);
    return traces_.size();
  }

 private:
  template <class Change>
  void note(const NSURLSessionDataTaskPtr& task, const Change& change) {
    std::lock_guard lock(mutex_);
    Trace& t = traces_[task->taskIdentifier()];
    if (!queue_->isCurrent()) t.problems += " off the delegate queue;";
    if (t.end) t.problems += " after the end;";
    if (invalidation_) t.problems += " after the invalidation;";
    change(t);
    changed_.notify_all();
  }

  const dispatch_queue_t queue_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint64_t, Trace> traces_;
  std::optional<NSErrorPtr> invalidation_;
};

// A session whose recording delegate runs on a serial queue of the test's.
struct Client {
  dispatch_queue_t queue = dispatch_queue_create("test.delegate", DISPATCH_QUEUE_SERIAL);
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>(queue);
  NSURLSessionPtr session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::ephemeralSessionConfiguration(), delegate, queue);

  ~Client() { session->invalidateAndCancel(); }

  NSURLSessionDataTaskPtr start(const std::string& url, double timeout = 20) const {
    auto task = session->dataTaskWithRequest(requestFor(url, timeout));
    task->resume();
    return task;
  }
  // The trace once the end has been delivered and the queue has run what
  // was posted after it.
  Trace finish(const NSURLSessionDataTaskPtr& task) const {
    delegate->trace(task, [](const Trace& t) { return t.end.has_value(); });
    EXPECT_TRUE(drain(queue));
    return delegate->trace(task);
  }
};

// An end in one line: "ok", or the error's code and description.
std::string outcome(const std::optional<NSErrorPtr>& end) {
  if (!end) return "no end";
  if (!*end) return "ok";
  const std::string text = std::to_string((*end)->code()) + " " + (*end)->localizedDescription();
  return (*end)->domain() == NSURLErrorDomain ? text : (*end)->domain() + " " + text;
}

// A completion handler's call in one line: its end and its body.
std::string answered(const TaskResult& result) {
  return outcome(result.error) + " " + result.data.value_or("");
}

// A task in one line: its end, its body if it has one, the rules it broke.
std::string summary(const Trace& trace) {
  const std::string body = trace.body.empty() ? "" : " [" + trace.body + "]";
  return outcome(trace.end) + body + trace.problems;
}

long curlCode(const std::optional<NSErrorPtr>& error) {
  const NSErrorPtr underlying = error && *error ? (*error)->underlyingError() : nullptr;
  return underlying && underlying->domain() == CURLErrorDomain ? underlying->code() : 0;
}

// Header fields as "name=value; " in order, but for those of every request.
std::string listed(const std::vector<std::pair<std::string, std::string>>& fields) {
  static const std::set<std::string> common = {"Host", "Accept", "Accept-Encoding",
                                               "Content-Length"};
  std::string text;
  for (const auto& [name, value] : fields) {
    if (!common.contains(name)) text.append(name).append("=").append(value).append("; ");
  }
  return text;
}

const std::string kCancelled = "-999 cancelled";
const std::string kLost = "-1005 The network connection was lost.";
const std::string kTimedOut = "-1001 The request timed out.";
const std::string kUndecodable = "-1016 cannot decode raw data";

}  // namespace

// The routes that several tests share, one answer each. Those that keep
// their connection open hand it to the test: "/stream" a stream after the
// head, "/silent" the connection before any head.
class NetSession : public LocalServerFixture {
 protected:
  void SetUp() override {
    LocalServerFixture::SetUp();
    server.route("GET", "/stream", [this](auto&, auto& r) { hand(r.stream(200)); });
    server.route("GET", "/silent", [this](auto&, auto& r) { hand(r.raw()); });
    server.route("GET", "/done", [](auto&, auto& r) { r.respond(200, {}, "done"); });
    server.route("GET", "/no-content", [](auto&, auto& r) { r.respond(204); });
    server.route("GET", "/start", [](auto&, auto& r) {
      r.respond(302, {{"Location", "/interim?step=2"}}, "moved");
    });
    server.route("GET", "/loop", [](auto&, auto& r) { r.respond(302, {{"Location", "/loop"}}); });
    // An interim answer before the final head, whose repeated fields are
    // joined and whose folded line continues its field; without a length,
    // the server closes the connection after the body.
    server.route("GET", "/interim", [](auto&, auto& r) {
      auto stream = r.raw();
      stream->write(
          "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\nHTTP/1.1 201 Created\r\n"
          "X-Multi: a\r\nX-Multi: b\r\nX-Folded: first\r\n  second\r\n"
          "Connection: close\r\n\r\ndone");
      stream->close();
    });
  }

  Client client;  // ended before the server
};

TEST_F(NetSession, EverySessionGetsOneHeadItsWholeBodyInOrderAndOneEnd) {
  constexpr size_t kSessions = 200;
  std::deque<Client> clients(kSessions);
  std::vector<NSURLSessionDataTaskPtr> tasks;
  tasks.reserve(kSessions);
  for (const Client& each : clients)
    tasks.push_back(each.start(server.URL("/stream")));
  std::string expected;
  for (int e = 0; e < 100; ++e) {
    const std::string piece = "data: " + std::to_string(e) + "\n\n";
    expected += piece;
    for (size_t i = 0; i < kSessions; ++i)
      ASSERT_TRUE(stream(i)->write(piece));
    if (e % 25 == 0) {
      ASSERT_TRUE(stream(0)->flush());  // pieces that arrive apart
    }
  }
  for (size_t i = 0; i < kSessions; ++i)
    stream(i)->close();
  for (size_t i = 0; i < kSessions; ++i)
    ASSERT_EQ(summary(clients[i].finish(tasks[i])), "ok [" + expected + "]") << "session " << i;
}

TEST_F(NetSession, TheRequestArrivesExactlyAndRedirectsBringOnlyTheFinalAnswer) {
  // "/r/CODE" answers CODE with a location; any other target echoes the
  // method and the body that reached it.
  server.setFallback([](auto& request, auto& r) {
    if (!request.target().starts_with("/r/"))
      return r.respond(200, {}, request.method() + " " + request.body());
    r.respond(std::stoi(request.target().substr(3)), {{"Location", "/final"}});
  });
  const auto send = [&](const std::string& method, const std::string& target,
                        std::optional<NSData> body = std::nullopt,
                        const ZRLLocalHeaders& fields = {}) {
    auto request = requestFor(server.URL(target));
    request.setHTTPMethod(method);
    request.setHTTPBody(std::move(body));
    for (const auto& [name, value] : fields.fields())
      request.setValue(value, name);
    return load(client.session, request);
  };
  const std::string body("binary\0body\r\n\xff with a NUL", 25);
  const TaskResult posted = send(
      "POST", "/v1/layout?appId=a%20b", body,
      {{"Content-Type", "application/json"}, {"X-First", "1"}, {"X-Empty", ""}, {"X-Second", "2"}});
  EXPECT_EQ(answered(posted), "ok POST " + body);
  EXPECT_TRUE(posted.onDelegateQueue);
  // A body large enough that libcurl would otherwise ask "Expect: 100-continue".
  EXPECT_EQ(outcome(send("DELETE", "/v2/devices/D1", std::string(size_t{2} << 20, 'x')).error),
            "ok");
  EXPECT_EQ(send("HEAD", "/head").data, "") << "no body is empty data";
  // A field that would smuggle a line onto the wire fails before anything is sent.
  const TaskResult smuggled = send("GET", "/smuggle", std::nullopt, {{"X-Value", "x\r\nX-Bad: 1"}});
  EXPECT_EQ(smuggled.error ? smuggled.error->domain() : "no error", NSURLErrorDomain);
  EXPECT_FALSE(smuggled.data);
  // The caller's fields in order, and none that libcurl would add on its own.
  std::vector<std::string> seen;
  for (const ZRLLocalRequest& request : server.requests()) {
    seen.push_back(request.method() + " " + request.target() + " " +
                   listed(request.headers().fields()) + std::to_string(request.body().size()) +
                   " bytes on connection " + std::to_string(request.connectionIndex()));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "POST /v1/layout?appId=a%20b Content-Type=application/json; X-First=1; "
                      "X-Empty=; X-Second=2; 25 bytes on connection 0",
                      "DELETE /v2/devices/D1 2097152 bytes on connection 0",
                      "HEAD /head 0 bytes on connection 0"}));  // kept alive

  // After a redirect, only the final head (see "/interim").
  const TaskResult final = send("GET", "/start");
  EXPECT_EQ(answered(final), "ok done");
  ASSERT_TRUE(final.response);
  EXPECT_EQ(std::to_string(final.response->statusCode()) + " " +
                final.response->URL()->absoluteString() + " " +
                listed(final.response->allHeaderFields().fields()),
            "201 " + server.URL("/interim?step=2") +
                " X-Multi=a, b; X-Folded=first second; Connection=close; ");
  EXPECT_EQ(outcome(send("GET", "/loop").error), "-1007 too many HTTP redirects");
  // Redirects turn POST and DELETE into GET as the platform does, and a
  // DELETE without a body too.
  const std::tuple<std::string, int, std::string> redirects[] = {
      {"POST", 301, "GET "},      {"POST", 302, "GET "},          {"POST", 303, "GET "},
      {"DELETE", 301, "GET "},    {"DELETE", 302, "GET "},        {"DELETE", 303, "GET "},
      {"PUT", 303, "GET "},       {"PUT", 301, "PUT body"},       {"POST", 307, "POST body"},
      {"POST", 308, "POST body"}, {"DELETE", 307, "DELETE body"}, {"PUT", 308, "PUT body"},
  };
  for (const auto& [method, code, expected] : redirects) {
    EXPECT_EQ(answered(send(method, "/r/" + std::to_string(code), "body")), "ok " + expected)
        << method << " " << code;
  }
  EXPECT_EQ(send("DELETE", "/r/302").data, "GET ");
  EXPECT_EQ(client.delegate->tasksHeardOf(), 0U) << "completion-handler tasks bypass it";
}

TEST_F(NetSession, BrokenAndUndecodableAnswersEndWithTheirErrors) {
  // The reset answers nothing but its head; a body without a length ends
  // normally at the close. Decoding is libcurl's, for every coding it offers;
  // what is ours is that an answer that cannot be decoded fails its task,
  // whichever way it is read.
  const std::tuple<std::string, ZRLLocalHeaders, std::string, std::string> cases[] = {
      {"/short", {{"Content-Length", "100"}}, "only ten b", kLost + " [only ten b]"},
      {"/cut", {{"Transfer-Encoding", "chunked"}}, "5\r\nfirst\r\na\r\n12", kLost + " [first12]"},
      {"/reset", {}, "", kLost},
      {"/until-close", {}, "all of it", "ok [all of it]"},
      {"/broken", {{"Content-Encoding", "gzip"}}, "this was never compressed", kUndecodable},
  };
  std::vector<NSURLSessionDataTaskPtr> tasks;
  for (const auto& [path, headers, bytes, expected] : cases) {
    server.route("GET", path, [fields = headers, sent = bytes](auto&, auto& r) {
      auto stream = r.stream(200, fields);
      if (sent.empty()) return stream->abort();
      stream->write(sent);
      stream->close();
    });
    tasks.push_back(client.start(server.URL(path)));
  }
  for (size_t i = 0; i < tasks.size(); ++i)
    EXPECT_EQ(summary(client.finish(tasks[i])), std::get<3>(cases[i])) << std::get<0>(cases[i]);
  const TaskResult broken = load(client.session, requestFor(server.URL("/broken")));
  EXPECT_EQ(outcome(broken.error), kUndecodable);
  EXPECT_EQ(curlCode(broken.error), CURLE_BAD_CONTENT_ENCODING);
  EXPECT_FALSE(broken.data);
  const std::string offered = server.requests().at(0).header("Accept-Encoding").value_or("");
  for (const char* coding : {"gzip", "deflate", "br"})
    EXPECT_NE(offered.find(coding), std::string::npos) << offered;
}

TEST_F(NetSession, CancelBeforeTheStartBeforeTheAnswerAndMidBody) {
  // Never resumed: the cancelled end comes at once, and resuming does nothing.
  auto idle = client.session->dataTaskWithRequest(requestFor(server.URL("/done")));
  idle->cancel();
  EXPECT_EQ(summary(client.finish(idle)), kCancelled);
  idle->resume();
  EXPECT_EQ(idle->state(), NSURLSessionTaskState::Completed);
  // Before the answer: the request has reached the server, which says nothing.
  auto silent = client.start(server.URL("/silent"));
  ASSERT_TRUE(stream(0));
  silent->cancel();
  EXPECT_NE(silent->state(), NSURLSessionTaskState::Running);
  EXPECT_EQ(summary(client.finish(silent)), kCancelled);
  EXPECT_TRUE(stream(0)->waitUntilClosed(kPatience)) << "the connection must be dropped";
  // Mid-body, from inside the delegate's callback: no piece after it.
  client.delegate->keepsBytes = false;
  client.delegate->onData = [](const NSURLSessionDataTaskPtr& task, const NSData&) {
    task->cancel();
  };
  auto endless = client.start(server.URL("/stream"));
  ASSERT_TRUE(stream(1));
  for (int i = 0; i < 200 && stream(1)->write(std::string(1000, 'x')); ++i) {
  }
  const Trace cancelled = client.finish(endless);
  EXPECT_EQ(summary(cancelled), kCancelled);
  EXPECT_EQ(cancelled.pieces, 1U);
  EXPECT_TRUE(stream(1)->waitUntilClosed(kPatience));
  EXPECT_EQ(server.requestCount(), 2U) << "the task never resumed sent nothing";

  // Suspended by its delegate once the whole answer has been read: its end
  // waits, and cancel() reports the cancelled end instead.
  client.delegate->onData = [](const NSURLSessionDataTaskPtr& task, const NSData&) {
    task->suspend();
  };
  auto suspended = client.start(server.URL("/done"));
  client.delegate->trace(suspended, [](const Trace& t) { return t.pieces == 1; });
  suspended->cancel();
  EXPECT_EQ(summary(client.finish(suspended)), kCancelled);
}

TEST_F(NetSession, EachTransferKeepsItsOwnIdleLimitAndAHeldDispositionStopsItsClock) {
  // A task that ends before its limit leaves no check behind that could
  // touch it once its deadline passes ("shorter" below, started after it
  // ended with the same limit, outlasts it). The limit is generous, so that
  // a busy machine never turns the answer into a time-out.
  EXPECT_EQ(summary(client.finish(client.start(server.URL("/done"), 3))), "ok [done]");

  // Dispositions held: before a body, of an answer the network is done
  // with, and one to be refused. (Their limit is long enough that they
  // surely get their heads first, even on a busy machine.)
  client.delegate->holds = true;
  auto held = client.start(server.URL("/done"), 1);
  auto empty = client.start(server.URL("/no-content"), 1);
  auto refused = client.start(server.URL("/done"));
  const auto has = [](const Trace& t) { return t.held != nullptr; };
  const auto allowHeld = client.delegate->trace(held, has).held;
  const auto allowEmpty = client.delegate->trace(empty, has).held;
  const auto refuse = client.delegate->trace(refused, has).held;
  ASSERT_TRUE(allowHeld && allowEmpty && refuse);
  client.delegate->holds = false;
  refuse(Disposition::Cancel);

  // Meanwhile each of the others runs out its own limit, after a head and
  // one piece or without a head; the long one is left alone by their
  // time-outs and goes on until it is cancelled. The client lets their
  // connections go.
  auto stalled = client.start(server.URL("/stream"), 1);
  ASSERT_TRUE(stream(0)->write("a piece\n"));
  const auto patient = client.start(server.URL("/silent"), 600);
  const auto shortest = client.start(server.URL("/silent"), 0.5);
  const auto shorter = client.start(server.URL("/silent"), 3);
  EXPECT_EQ(summary(client.finish(stalled)), kTimedOut + " [a piece\n]");
  EXPECT_EQ(summary(client.finish(shortest)), kTimedOut);
  EXPECT_EQ(curlCode(client.delegate->trace(shortest).end), CURLE_OPERATION_TIMEDOUT);
  EXPECT_FALSE(shortest->response());
  EXPECT_EQ(summary(client.finish(shorter)), kTimedOut);
  EXPECT_EQ(summary(client.delegate->trace(patient)), "no end");
  patient->cancel();
  EXPECT_EQ(summary(client.finish(patient)), kCancelled);
  // (The shortest may end before its request reaches the server.)
  for (size_t i = 0; i < handedCount(); ++i)
    EXPECT_TRUE(stream(i)->waitUntilClosed(kPatience)) << i;

  // The held tasks have waited longer than their limit, without a piece or
  // an end.
  EXPECT_EQ(summary(client.delegate->trace(held)), "no end");
  EXPECT_EQ(summary(client.delegate->trace(empty)), "no end");
  std::thread([&] {
    allowHeld(Disposition::Allow);
    allowHeld(Disposition::Cancel);  // only the first answer counts
  }).join();
  allowEmpty(Disposition::Allow);
  EXPECT_EQ(summary(client.finish(held)), "ok [done]");
  EXPECT_EQ(summary(client.finish(empty)), "ok");
  EXPECT_EQ(summary(client.finish(refused)), kCancelled);

  // A task suspended before its limit runs out does not time out while it
  // is held; resumed, its limit runs again.
  const auto suspended = client.start(server.URL("/silent"), 0.5);
  suspended->suspend();
  EXPECT_EQ(summary(client.finish(client.start(server.URL("/silent"), 1.5))), kTimedOut);
  // The suspended task has waited longer than its limit by now; whether its
  // suspension reached the network first is up to the threads, so only its
  // eventual end is certain.
  suspended->resume();
  EXPECT_EQ(summary(client.finish(suspended)), kTimedOut);
}

TEST_F(NetSession, InvalidationIsTheLastNotificationThenTheDelegateIsReleased) {
  Client cancelling, finishing, idle;
  std::vector<NSURLSessionDataTaskPtr> tasks;
  for (size_t i = 0; i < 3; ++i) {
    tasks.push_back(cancelling.start(server.URL("/stream")));
    ASSERT_TRUE(stream(i));
    cancelling.delegate->trace(tasks.back(), [](const Trace& t) { return t.response != nullptr; });
  }
  tasks.push_back(cancelling.session->dataTaskWithRequest(requestFor(server.URL("/stream"))));
  auto running = finishing.start(server.URL("/stream"));
  ASSERT_TRUE(stream(3));

  // Every task ends cancelled before the invalidation, even one never resumed.
  cancelling.session->invalidateAndCancel();
  EXPECT_EQ(cancelling.delegate->invalidation(), NSErrorPtr());
  for (const auto& task : tasks) {
    EXPECT_EQ(summary(cancelling.delegate->trace(task)), kCancelled);
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Completed);
  }
  // A running task goes on to its end; one made afterwards ends cancelled
  // without reaching the server. With nothing running the invalidation
  // comes at once.
  finishing.session->finishTasksAndInvalidate();
  idle.session->finishTasksAndInvalidate();
  EXPECT_EQ(outcome(load(finishing.session, requestFor(server.URL("/stream"))).error), kCancelled);
  EXPECT_EQ(idle.delegate->invalidation(), NSErrorPtr());
  stream(3)->write("after the invalidation");
  stream(3)->close();
  EXPECT_EQ(finishing.delegate->invalidation(), NSErrorPtr());
  EXPECT_EQ(summary(finishing.delegate->trace(running)), "ok [after the invalidation]");
  EXPECT_EQ(server.requestCount(), 4U);

  for (Client* each : {&cancelling, &finishing, &idle}) {
    std::weak_ptr<RecordingDelegate> weak = each->delegate;
    each->delegate.reset();  // only the session held it
    EXPECT_TRUE(eventually([&] { return weak.expired(); })) << "released after its last call";
  }
}

TEST_F(NetSession, FlowControlHoldsTheNetworkForASlowDelegate) {
  constexpr size_t kTotal = size_t{48} << 20;
  constexpr size_t kPiece = size_t{64} << 10;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<size_t> received{0};
  client.delegate->keepsBytes = false;
  client.delegate->onData = [&](const NSURLSessionDataTaskPtr&, const NSData& data) {
    if (received.fetch_add(data.size()) == 0) released.wait();
  };
  auto task = client.start(server.URL("/stream"));
  const auto flood = stream(0);
  for (size_t written = 0; written < kTotal; written += kPiece)
    ASSERT_TRUE(flood->write(std::string(kPiece, 'x')));
  // While the delegate is stuck the client stops reading, so the server
  // cannot get its bytes out; without flow control the client would take
  // them all into its memory.
  EXPECT_FALSE(flood->flush(2s));
  release.set_value();
  EXPECT_TRUE(flood->flush(kPatience));
  flood->close();
  EXPECT_EQ(summary(client.finish(task)), "ok");
  EXPECT_EQ(received.load(), kTotal);
}

TEST(NetTLS, CertificatesAreVerifiedAndHttpsIsNeverRedirectedToHttp) {
  TemporaryDirectory directory;
  std::string problem;
  auto certificate = ZRLLocalCertificate::generate(directory.path(), &problem);
  ASSERT_TRUE(certificate) << problem;
  AnsweringServer server("secret", {.certificate = certificate});
  server.route("GET", "/until-close", [](auto&, auto& r) {
    auto stream = r.stream(200);
    stream->write("secret");
    stream->close();
  });
  // Redirects within https, and from https to a server in clear text.
  AnsweringServer plain("in clear text");
  server.route("GET", "/across", [](auto&, auto& r) { r.respond(302, {{"Location", "/whole"}}); });
  server.route("GET", "/down", [&](auto&, auto& r) {
    r.respond(302, {{"Location", plain.URL("/final")}});
  });
  const std::string file = certificate->certificateFile();
  const std::tuple<std::optional<std::string>, std::string, std::string> cases[] = {
      {std::nullopt, "/whole", "-1202 The certificate for this server is invalid."},
      {directory.path() + "/none.pem", "/whole",
       "-1200 An SSL error has occurred and a secure connection to the server cannot be made."},
      {file, "/whole", "ok"},
      {file, "/until-close", "ok"},  // a TLS body may end at the close
      {file, "/across", "ok"},
      {file, "/down",
       "-1022 The resource could not be loaded because the App Transport Security policy "
       "requires the use of a secure connection."},
  };
  for (const auto& [authority, path, expected] : cases) {
    const TaskResult result = load(trusting(authority), requestFor(server.URL(path)));
    EXPECT_EQ(outcome(result.error), expected) << path;
    EXPECT_EQ(result.data.value_or("secret"), "secret") << path;
  }
  // Nothing is sent to a server that is not trusted, nor in clear text:
  // the requests are those of the last four cases and "/across"'s redirect.
  EXPECT_EQ(server.requestCount(), 5U);
  EXPECT_EQ(plain.requestCount(), 0U);
}

// The name lookup of this test program: names under ".test" are 127.0.0.1,
// and those that start with "slow." first wait until the test lets them go,
// like a resolver that does not answer. Every other name goes to the
// system's lookup. libcurl's resolver thread calls it through the usual
// symbol, which this definition takes over.
namespace {

struct SlowLookups {
  std::counting_semaphore<> entered{0};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
};

SlowLookups& slowLookups = *new SlowLookups();  // NOLINT: used by resolver threads until exit

}  // namespace

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the system's are reserved
extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** result) {
  using Lookup = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
  static const auto system = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
  const std::string_view name = node != nullptr ? node : "";
  if (!name.ends_with(".test")) return system(node, service, hints, result);
  if (name.starts_with("slow.")) {
    slowLookups.entered.release();
    // Longer than any wait of the test, so that a lookup that held the
    // network thread up would fail it.
    (void)slowLookups.released.wait_for(3 * kPatience);
  }
  return system("127.0.0.1", service, hints, result);
}

TEST(NetResolver, NoProxyHostsAndAHangingLookupThatHoldsUpNoOtherTransfer) {
  AnsweringServer server("here");
  AnsweringServer proxy("proxy");
  auto session = trusting();
  const auto at = [port = std::to_string(server.port())](const std::string& host) {
    return "http://" + host + ":" + port + "/";
  };
  const auto answer = [&](const std::string& url) {
    return answered(load(session, requestFor(url)));
  };

  // The user's no-proxy hosts are reached directly, others through the
  // proxy. Set while no request runs: the network thread reads them per
  // request.
  setenv("http_proxy", proxy.baseURL().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  setenv("NO_PROXY", "intranet.test", 1);            // NOLINT(concurrency-mt-unsafe)
  unsetenv("no_proxy");                              // NOLINT(concurrency-mt-unsafe)
  EXPECT_EQ(answer(at("intranet.test")), "ok here");
  EXPECT_EQ(answer(at("outside.test")), "ok proxy");
  EXPECT_EQ(answer(server.URL("/")), "ok here") << "loopback is never proxied";
  unsetenv("http_proxy");  // NOLINT(concurrency-mt-unsafe)
  unsetenv("NO_PROXY");    // NOLINT(concurrency-mt-unsafe)
  ASSERT_EQ(proxy.requestCount(), 1U);
  EXPECT_EQ(proxy.requests()[0].target(), at("outside.test"));
  proxy.stop();  // a refused port from here on

  // Cancelled while its host name is being looked up.
  auto cancelled = session->dataTaskWithRequest(requestFor(at("slow.test")), [](auto&&...) {});
  cancelled->resume();
  ASSERT_TRUE(slowLookups.entered.try_acquire_for(kPatience));
  cancelled->cancel();
  // Timed out while its host name is being looked up: a lookup that really
  // hangs, so the short limit races nothing.
  EXPECT_EQ(outcome(load(session, requestFor(at("slow.test"), 0.5)).error), kTimedOut);
  EXPECT_TRUE(slowLookups.entered.try_acquire_for(kPatience));
  // Both lookups still hang (until released below); other transfers go on.
  const TaskResult refused = load(session, requestFor(proxy.URL("/")));
  EXPECT_EQ(outcome(refused.error), "-1004 Could not connect to the server.");
  EXPECT_EQ(curlCode(refused.error), CURLE_COULDNT_CONNECT);
  EXPECT_EQ(answer(at("quick.test")), "ok here");
  slowLookups.release.set_value();
}

TEST_F(NetSession, ACompletionHandlerTaskEndsPastTheBodyLimit) {
  std::thread writer([this] {
    const auto endless = stream(0);
    const std::string piece(size_t{4} << 20, 'x');
    // Each piece waits for the one before, so the server holds little; the
    // client stops the stream a little past the limit.
    for (size_t sent = 0; sent < 2 * NSURLSessionMaximumGatheredBytes; sent += piece.size()) {
      if (!endless->write(piece) || !endless->flush(5 * kPatience)) return;
    }
  });
  // 64 MiB take a while under a sanitizer on a busy machine.
  const TaskResult result = load(client.session, requestFor(server.URL("/stream")), 5 * kPatience);
  writer.join();
  EXPECT_EQ(outcome(result.error), "-1103 resource exceeds maximum size");
  EXPECT_FALSE(result.data);
  EXPECT_TRUE(stream(0)->waitUntilClosed(kPatience));
}
