#include <atomic>
#include <future>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "Platform/Net/NSURLSession.h"
#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "tests/Platform/NetTestSupport.h"

using Kind = RecordingDelegate::Event::Kind;

namespace {

// Keeps the stream handles that a streaming route hands out, for the test
// thread to write to.
class StreamBox {
 public:
  // Notifies under the lock: a waiter may destroy the box as soon as it
  // sees the stream.
  void put(std::shared_ptr<ZRLLocalStream> stream) {
    std::lock_guard lock(mutex_);
    streams_.push_back(std::move(stream));
    changed_.notify_all();
  }
  std::shared_ptr<ZRLLocalStream> wait(size_t index = 0) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return streams_.size() > index; });
    return streams_.size() > index ? streams_[index] : nullptr;
  }
  std::vector<std::shared_ptr<ZRLLocalStream>> waitForAll(size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return streams_.size() >= n; });
    return streams_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<ZRLLocalStream>> streams_;
};

struct Client {
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  NSURLSessionPtr session;

  explicit Client(const NSURLSessionConfiguration& configuration =
                      NSURLSessionConfiguration::ephemeralSessionConfiguration(),
                  dispatch_queue_t queue = nullptr) {
    session = NSURLSession::sessionWithConfiguration(configuration, delegate, std::move(queue));
  }
  ~Client() { session->invalidateAndCancel(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  NSURLSessionDataTaskPtr start(const NSURLRequest& request) {
    auto task = session->dataTaskWithRequest(request);
    task->resume();
    return task;
  }
};

long underlyingCode(const NSErrorPtr& error) {
  return error && error->underlyingError() && error->underlyingError()->domain() == CURLErrorDomain
             ? error->underlyingError()->code()
             : 0;
}

}  // namespace

class NetSession : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()); }

  // A route whose answer is a stream that the test writes.
  void streamRoute(const std::string& path, const ZRLLocalHeaders& headers = {}) {
    server.route("GET", path, [this, headers](const ZRLLocalRequest&, ZRLLocalResponder& r) {
      streams.put(r.stream(200, headers));
    });
  }
  void rawRoute(const std::string& path) {
    server.route("GET", path,
                 [this](const ZRLLocalRequest&, ZRLLocalResponder& r) { streams.put(r.raw()); });
  }

  StreamBox streams;  // outlives the server, whose handlers fill it
  ZRLLocalServer server;
};

TEST_F(NetSession, HeadOnceBeforeTheBodyInOrderThenOneEnd) {
  streamRoute("/events", {{"Content-Type", "text/event-stream"}, {"X-Trace", "one"}});
  auto queue = dispatch_queue_create("test.delegate", DISPATCH_QUEUE_SERIAL);
  Client client(NSURLSessionConfiguration::ephemeralSessionConfiguration(), queue);
  client.delegate->expectedQueue = queue;
  auto task = client.start(requestFor(server.URL("/events")));
  EXPECT_EQ(task->state(), NSURLSessionTaskState::Running);

  auto stream = streams.wait();
  ASSERT_TRUE(stream);
  ASSERT_TRUE(client.delegate->waitFor(Kind::Response));
  auto response = client.delegate->lastResponse();
  EXPECT_EQ(response->statusCode(), 200);
  EXPECT_EQ(response->valueForHTTPHeaderField("content-type"), "text/event-stream");
  EXPECT_EQ(response->valueForHTTPHeaderField("X-TRACE"), "one");
  EXPECT_EQ(response->URL()->absoluteString(), server.URL("/events"));
  EXPECT_EQ(task->response(), response);

  // Many small writes, some flushed apart, arrive whole and in order.
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    std::string piece = "data: " + std::to_string(i) + "\n\n";
    expected += piece;
    ASSERT_TRUE(stream->write(piece));
    if (i % 500 == 0) {
      ASSERT_TRUE(stream->flush());
    }
  }
  stream->close();
  auto end = client.delegate->waitForEnd(task->taskIdentifier());
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(*end, nullptr) << (*end)->description();
  EXPECT_EQ(client.delegate->body(task->taskIdentifier()), expected);

  ASSERT_TRUE(drain(queue));
  EXPECT_EQ(task->state(), NSURLSessionTaskState::Completed);
  EXPECT_EQ(orderProblems(client.delegate->events(), task->taskIdentifier()), "");
}

TEST_F(NetSession, OnlyTheFinalHeadIsDelivered) {
  // An interim answer and a redirect come before the final head; header
  // fields that repeat are joined and a folded line continues its field.
  // (A raw answer cannot tell the server where it ends, so it closes.)
  server.route("GET", "/start", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.raw();
    stream->write(
        "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
        "HTTP/1.1 302 Found\r\nLocation: /final?step=2\r\nContent-Length: 5\r\n"
        "Connection: close\r\n\r\nmoved");
    stream->close();
  });
  server.route("GET", "/final", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.raw();
    stream->write(
        "HTTP/1.1 201 Created\r\nX-Multi: a\r\nX-Multi: b\r\nX-Folded: first\r\n  second\r\n"
        "Content-Length: 4\r\nConnection: close\r\n\r\ndone");
    stream->close();
  });
  Client client;
  auto task = client.start(requestFor(server.URL("/start")));
  auto end = client.delegate->waitForEnd(task->taskIdentifier());
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(*end, nullptr);
  EXPECT_EQ(client.delegate->count(Kind::Response), 1U);
  auto response = client.delegate->lastResponse();
  EXPECT_EQ(response->statusCode(), 201);
  EXPECT_EQ(response->URL()->absoluteString(), server.URL("/final?step=2"));
  EXPECT_FALSE(response->valueForHTTPHeaderField("X-Interim"));
  EXPECT_FALSE(response->valueForHTTPHeaderField("Location"));
  EXPECT_EQ(response->valueForHTTPHeaderField("X-Multi"), "a, b");
  EXPECT_EQ(response->valueForHTTPHeaderField("X-Folded"), "first second");
  EXPECT_EQ(client.delegate->body(task->taskIdentifier()), "done");
  EXPECT_EQ(orderProblems(client.delegate->events(), task->taskIdentifier()), "");

  // A redirect that never ends fails without a head.
  server.route("GET", "/loop", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    r.respond(302, {{"Location", "/loop"}});
  });
  auto loop = client.start(requestFor(server.URL("/loop")));
  auto loopEnd = client.delegate->waitForEnd(loop->taskIdentifier());
  ASSERT_TRUE(loopEnd && *loopEnd);
  EXPECT_EQ((*loopEnd)->code(), NSURLErrorHTTPTooManyRedirects);
  EXPECT_FALSE(loop->response());
  EXPECT_EQ(client.delegate->count(Kind::Response), 1U);
}

TEST_F(NetSession, MethodHeadersAndBodyArriveExactly) {
  server.setFallback([](const ZRLLocalRequest& request, ZRLLocalResponder& r) {
    r.respond(200, {{"X-Method", request.method()}}, request.body());
  });
  auto session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::ephemeralSessionConfiguration(), nullptr, nullptr);

  const std::string body("binary\0body\r\n\xff with a NUL", 25);
  auto post = requestFor(server.URL("/v1/api/layout?appId=a%20b&x=1"));
  post.setHTTPMethod("POST");
  post.setValue("application/json", "Content-Type");
  post.setValue("1", "X-First");
  post.setValue("", "X-Empty");
  post.setValue("2", "X-Second");
  post.setHTTPBody(body);
  auto posted = load(session, post);
  ASSERT_TRUE(posted);
  EXPECT_EQ(posted->error, nullptr);
  EXPECT_EQ(posted->data, body);
  EXPECT_EQ(posted->response->statusCode(), 200);

  // A body large enough that libcurl would otherwise ask "Expect: 100-continue".
  auto remove = requestFor(server.URL("/v2/test-devices/D1"));
  remove.setHTTPMethod("DELETE");
  remove.setHTTPBody(std::string(2 << 20, 'x'));
  auto removed = load(session, remove);
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->error, nullptr);
  EXPECT_EQ(removed->response->valueForHTTPHeaderField("X-Method"), "DELETE");

  auto head = requestFor(server.URL("/head"));
  head.setHTTPMethod("HEAD");
  auto headed = load(session, head);
  ASSERT_TRUE(headed);
  EXPECT_EQ(headed->error, nullptr);
  EXPECT_EQ(headed->data, "");

  auto put = requestFor(server.URL("/put"));
  put.setHTTPMethod("PUT");
  ASSERT_TRUE(load(session, put));

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4U);
  const ZRLLocalRequest& first = requests[0];
  EXPECT_EQ(first.method(), "POST");
  EXPECT_EQ(first.path(), "/v1/api/layout");
  EXPECT_EQ(first.queryValue("appId"), "a b");
  EXPECT_EQ(first.body(), body);
  EXPECT_EQ(first.header("Content-Type"), "application/json");
  EXPECT_EQ(first.header("X-Empty"), "");
  EXPECT_FALSE(first.header("Expect"));
  // The caller's fields keep their order.
  std::vector<std::string> order;
  for (const auto& [name, value] : first.headers().fields()) {
    if (name.rfind("X-", 0) == 0) order.push_back(name);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"X-First", "X-Empty", "X-Second"}));

  EXPECT_EQ(requests[1].method(), "DELETE");
  EXPECT_EQ(requests[1].body().size(), size_t{2} << 20);
  EXPECT_FALSE(requests[1].header("Expect"));
  EXPECT_FALSE(requests[1].header("Content-Type")) << "no form type the caller did not set";
  EXPECT_EQ(requests[2].method(), "HEAD");
  EXPECT_EQ(requests[3].method(), "PUT");
  EXPECT_EQ(requests[3].body(), "");
  // Keep-alive: the client reused its connection.
  EXPECT_EQ(requests[3].connectionIndex(), requests[0].connectionIndex());

  // A field that would smuggle a line onto the wire fails the task before
  // anything is sent.
  auto smuggling = requestFor(server.URL("/smuggle"));
  smuggling.setValue("x\r\nX-Injected: 1", "X-Value");
  auto refused = load(session, smuggling);
  ASSERT_TRUE(refused);
  ASSERT_TRUE(refused->error);
  EXPECT_EQ(refused->error->domain(), NSURLErrorDomain);
  EXPECT_FALSE(refused->data);
  EXPECT_EQ(server.requestCount(), 4U);
  session->finishTasksAndInvalidate();
}

TEST_F(NetSession, IdleTimeOutWhenTheServerStalls) {
  // One server says nothing at all; the other sends its head and one piece
  // of the body, then nothing.
  StreamBox silentStreams;
  server.route("GET", "/stall",
               [&](const ZRLLocalRequest&, ZRLLocalResponder& r) { silentStreams.put(r.raw()); });
  server.route("GET", "/stall-mid-body", [this](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.stream(200);
    stream->write("a piece\n");
    streams.put(stream);
  });
  Client client;
  auto silent = client.start(requestFor(server.URL("/stall"), 0.3));
  auto midBody = client.start(requestFor(server.URL("/stall-mid-body"), 0.3));

  for (const auto& task : {silent, midBody}) {
    auto end = client.delegate->waitForEnd(task->taskIdentifier());
    ASSERT_TRUE(end.has_value());
    ASSERT_TRUE(*end);
    EXPECT_EQ((*end)->domain(), NSURLErrorDomain);
    EXPECT_EQ((*end)->code(), NSURLErrorTimedOut);
    EXPECT_EQ((*end)->localizedDescription(), "The request timed out.");
    EXPECT_EQ(underlyingCode(*end), CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(orderProblems(client.delegate->events(), task->taskIdentifier()), "");
  }
  EXPECT_FALSE(silent->response());
  ASSERT_TRUE(midBody->response());
  EXPECT_EQ(client.delegate->body(midBody->taskIdentifier()), "a piece\n");
  // The client gave both connections up.
  EXPECT_TRUE(silentStreams.wait()->waitUntilClosed(kPatience));
  EXPECT_TRUE(streams.wait()->waitUntilClosed(kPatience));
}

TEST_F(NetSession, RefusedAndDroppedConnections) {
  // A port with nothing behind it: this server's, once it has stopped.
  ZRLLocalServer stopped;
  ASSERT_TRUE(stopped.start());
  const std::string nowhere = stopped.URL("/");
  stopped.stop();

  // A declared length that the body never reaches, a chunk cut short, and a
  // body without a length that ends when the server closes (normal).
  server.route("GET", "/short", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.stream(200, {{"Content-Length", "100"}});
    stream->write("only ten b");
    stream->close();
  });
  server.route("GET", "/chunk-cut", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.stream(200, {{"Transfer-Encoding", "chunked"}});
    stream->write("5\r\nfirst\r\na\r\n12345");
    stream->close();
  });
  server.route("GET", "/until-close", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.stream(200);
    stream->write("all of ");
    stream->write("it");
    stream->close();
  });
  server.route("GET", "/reset", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.stream(200);
    stream->write("some");
    stream->flush(0ms);  // on the server's thread: declines to wait
    stream->abort();
  });

  Client client;
  auto refused = client.start(requestFor(nowhere));
  auto shortBody = client.start(requestFor(server.URL("/short")));
  auto chunkCut = client.start(requestFor(server.URL("/chunk-cut")));
  auto untilClose = client.start(requestFor(server.URL("/until-close")));
  auto reset = client.start(requestFor(server.URL("/reset")));

  auto refusedEnd = client.delegate->waitForEnd(refused->taskIdentifier());
  ASSERT_TRUE(refusedEnd && *refusedEnd);
  EXPECT_EQ((*refusedEnd)->code(), NSURLErrorCannotConnectToHost);
  EXPECT_EQ((*refusedEnd)->localizedDescription(), "Could not connect to the server.");
  EXPECT_EQ(underlyingCode(*refusedEnd), CURLE_COULDNT_CONNECT);
  EXPECT_FALSE((*refusedEnd)->underlyingError()->localizedDescription().empty());
  EXPECT_FALSE(refused->response());

  for (const auto& task : {shortBody, chunkCut, reset}) {
    auto end = client.delegate->waitForEnd(task->taskIdentifier());
    ASSERT_TRUE(end && *end) << task->originalRequest().URL()->path();
    EXPECT_EQ((*end)->code(), NSURLErrorNetworkConnectionLost) << (*end)->description();
    EXPECT_EQ((*end)->localizedDescription(), "The network connection was lost.");
    EXPECT_TRUE(task->response());
  }
  EXPECT_EQ(client.delegate->body(shortBody->taskIdentifier()), "only ten b");
  EXPECT_EQ(client.delegate->body(chunkCut->taskIdentifier()), "first12345");

  auto closedEnd = client.delegate->waitForEnd(untilClose->taskIdentifier());
  ASSERT_TRUE(closedEnd);
  EXPECT_EQ(*closedEnd, nullptr);
  EXPECT_EQ(client.delegate->body(untilClose->taskIdentifier()), "all of it");
  for (const auto& task : {refused, shortBody, chunkCut, untilClose, reset}) {
    EXPECT_EQ(orderProblems(client.delegate->events(), task->taskIdentifier()), "");
  }
}

TEST_F(NetSession, CancelBeforeTheAnswerMidBodyAndAfterTheEnd) {
  rawRoute("/silent");
  server.route("GET", "/endless", [this](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.stream(200);
    stream->write("first piece");
    streams.put(stream);
  });
  server.route("GET", "/short",
               [](const ZRLLocalRequest&, ZRLLocalResponder& r) { r.respond(200, {}, "done"); });
  Client client;

  // Never resumed: the cancelled end comes at once and nothing is sent.
  auto idle = client.session->dataTaskWithRequest(requestFor(server.URL("/short")));
  EXPECT_EQ(idle->state(), NSURLSessionTaskState::Suspended);
  idle->cancel();
  auto idleEnd = client.delegate->waitForEnd(idle->taskIdentifier());
  ASSERT_TRUE(idleEnd && *idleEnd);
  EXPECT_EQ((*idleEnd)->code(), NSURLErrorCancelled);
  EXPECT_EQ((*idleEnd)->localizedDescription(), "cancelled");
  idle->resume();
  EXPECT_EQ(idle->state(), NSURLSessionTaskState::Completed);

  // Before the answer: the request reaches the server, which says nothing.
  auto silent = client.start(requestFor(server.URL("/silent")));
  auto silentStream = streams.wait(0);
  ASSERT_TRUE(silentStream);
  silent->cancel();
  // Canceling until the end has been delivered, which may already be done.
  EXPECT_NE(silent->state(), NSURLSessionTaskState::Running);
  auto silentEnd = client.delegate->waitForEnd(silent->taskIdentifier());
  ASSERT_TRUE(silentEnd && *silentEnd);
  EXPECT_EQ((*silentEnd)->code(), NSURLErrorCancelled);
  EXPECT_TRUE(silentStream->waitUntilClosed(kPatience)) << "the connection must be dropped";

  // Mid-body, from inside the delegate's callback: no piece after it.
  std::atomic<int> pieces{0};
  client.delegate->onData = [&](const NSURLSessionDataTaskPtr& task, const NSData&) {
    if (pieces.fetch_add(1) == 0) task->cancel();
  };
  auto endless = client.start(requestFor(server.URL("/endless")));
  auto endlessStream = streams.wait(1);
  ASSERT_TRUE(endlessStream);
  for (int i = 0; i < 200 && endlessStream->write(std::string(1000, 'x')); ++i) {
  }
  auto endlessEnd = client.delegate->waitForEnd(endless->taskIdentifier());
  ASSERT_TRUE(endlessEnd && *endlessEnd);
  EXPECT_EQ((*endlessEnd)->code(), NSURLErrorCancelled);
  EXPECT_TRUE(endlessStream->waitUntilClosed(kPatience));
  ASSERT_TRUE(drain(client.session->delegateQueue()));
  EXPECT_EQ(pieces.load(), 1);
  client.delegate->onData = nullptr;

  // After the end: nothing changes.
  auto finished = client.start(requestFor(server.URL("/short")));
  auto finishedEnd = client.delegate->waitForEnd(finished->taskIdentifier());
  ASSERT_TRUE(finishedEnd);
  EXPECT_EQ(*finishedEnd, nullptr);
  finished->cancel();
  ASSERT_TRUE(drain(client.session->delegateQueue()));
  EXPECT_EQ(finished->state(), NSURLSessionTaskState::Completed);

  auto events = client.delegate->events();
  for (const auto& task : {idle, silent, endless, finished}) {
    EXPECT_EQ(orderProblems(events, task->taskIdentifier()), "");
  }
  EXPECT_EQ(server.requestCount(), 3U);
}

TEST_F(NetSession, TheBodyWaitsForTheDisposition) {
  server.route("GET", "/body", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.stream(200, {{"Content-Length", "11"}});
    stream->write("hello world");
  });
  {
    // Held, then allowed from another thread.
    Client client;
    client.delegate->disposition.reset();
    auto task = client.start(requestFor(server.URL("/body"), 0.2));
    auto handler = client.delegate->waitForHeldHandler();
    ASSERT_TRUE(handler);
    ASSERT_TRUE(drain(client.session->delegateQueue()));
    EXPECT_EQ(client.delegate->count(Kind::Data), 0U);
    std::thread([handler] {
      handler(NSURLSessionResponseDisposition::Allow);
      handler(NSURLSessionResponseDisposition::Cancel);  // only the first answer counts
    }).join();
    auto end = client.delegate->waitForEnd(task->taskIdentifier());
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, nullptr);
    EXPECT_EQ(client.delegate->body(task->taskIdentifier()), "hello world");
  }
  {
    // An answer without a body ends at the network before the delegate has
    // answered: its end waits for the disposition all the same.
    server.route("GET", "/no-content",
                 [](const ZRLLocalRequest&, ZRLLocalResponder& r) { r.respond(204); });
    Client client;
    client.delegate->disposition.reset();
    auto task = client.start(requestFor(server.URL("/no-content")));
    auto handler = client.delegate->waitForHeldHandler();
    ASSERT_TRUE(handler);
    ASSERT_TRUE(drain(client.session->delegateQueue()));
    EXPECT_EQ(client.delegate->count(Kind::End), 0U);
    handler(NSURLSessionResponseDisposition::Allow);
    auto end = client.delegate->waitForEnd(task->taskIdentifier());
    ASSERT_TRUE(end);
    EXPECT_EQ(*end, nullptr);
    EXPECT_EQ(orderProblems(client.delegate->events(), task->taskIdentifier()), "");
  }
  {
    // Refused: the task ends cancelled and reads nothing.
    Client client;
    client.delegate->disposition = NSURLSessionResponseDisposition::Cancel;
    auto task = client.start(requestFor(server.URL("/body")));
    auto end = client.delegate->waitForEnd(task->taskIdentifier());
    ASSERT_TRUE(end && *end);
    EXPECT_EQ((*end)->code(), NSURLErrorCancelled);
    EXPECT_EQ(client.delegate->count(Kind::Data), 0U);
    EXPECT_EQ(orderProblems(client.delegate->events(), task->taskIdentifier()), "");
  }
}

TEST_F(NetSession, SessionsWithCompletionHandlers) {
  server.route("GET", "/ok",
               [](const ZRLLocalRequest&, ZRLLocalResponder& r) { r.respond(200, {}, "payload"); });
  server.route("GET", "/empty",
               [](const ZRLLocalRequest&, ZRLLocalResponder& r) { r.respond(204); });
  Client client;
  auto ok = load(client.session, requestFor(server.URL("/ok")));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->data, "payload");
  EXPECT_EQ(ok->response->statusCode(), 200);
  EXPECT_EQ(ok->error, nullptr);
  auto empty = load(client.session, requestFor(server.URL("/empty")));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->data, "");
  EXPECT_EQ(empty->response->statusCode(), 204);
  auto failed = load(client.session, requestFor(server.URL("/missing")));
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->response->statusCode(), 404) << "an HTTP error status is no failure";

  // The handler runs on the delegate queue, and the delegate hears nothing.
  auto onQueue = std::make_shared<std::promise<bool>>();
  auto queue = client.session->delegateQueue();
  client.session
      ->dataTaskWithRequest(
          requestFor(server.URL("/ok")),
          [onQueue, queue](const std::optional<NSData>&, const NSHTTPURLResponsePtr&,
                           const NSErrorPtr&) { onQueue->set_value(queue->isCurrent()); })
      ->resume();
  auto future = onQueue->get_future();
  ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(future.get());
  EXPECT_TRUE(client.delegate->events().empty());
}

TEST(NetTLS, CertificatesAreVerifiedAgainstTheConfiguredFile) {
  TemporaryDirectory directory;
  std::string problem;
  auto certificate = ZRLLocalCertificate::generate(directory.path(), &problem);
  ASSERT_TRUE(certificate) << problem;
  ZRLLocalServer server({.certificate = certificate});
  ASSERT_TRUE(server.start(&problem)) << problem;
  EXPECT_EQ(server.baseURL().rfind("https://127.0.0.1:", 0), 0U);
  server.route("GET", "/secure",
               [](const ZRLLocalRequest&, ZRLLocalResponder& r) { r.respond(200, {}, "secret"); });
  server.route("GET", "/stream", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    auto stream = r.stream(200);
    stream->write("streamed ");
    stream->write("over TLS");
    stream->close();
  });
  const std::string localhostURL = "https://localhost:" + std::to_string(server.port()) + "/secure";

  auto untrusting = NSURLSessionConfiguration::ephemeralSessionConfiguration();
  untrusting.setTLSCertificateAuthorityFile(std::nullopt);
  auto untrusted = load(NSURLSession::sessionWithConfiguration(untrusting, nullptr, nullptr),
                        requestFor(server.URL("/secure")));
  ASSERT_TRUE(untrusted && untrusted->error);
  EXPECT_EQ(untrusted->error->code(), NSURLErrorServerCertificateUntrusted);
  EXPECT_EQ(untrusted->error->localizedDescription(),
            "The certificate for this server is invalid.");
  EXPECT_EQ(underlyingCode(untrusted->error), CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(server.requestCount(), 0U);

  auto missingFile = NSURLSessionConfiguration::ephemeralSessionConfiguration();
  missingFile.setTLSCertificateAuthorityFile(directory.path() + "/no-such-file.pem");
  auto unreadable = load(NSURLSession::sessionWithConfiguration(missingFile, nullptr, nullptr),
                         requestFor(server.URL("/secure")));
  ASSERT_TRUE(unreadable && unreadable->error);
  EXPECT_EQ(unreadable->error->code(), NSURLErrorSecureConnectionFailed);
  EXPECT_EQ(unreadable->error->localizedDescription(),
            "An SSL error has occurred and a secure connection to the server cannot be made.");

  // Trusted through the configuration, or through the default that new
  // configurations start with; by address and by name.
  auto trusting = NSURLSessionConfiguration::ephemeralSessionConfiguration();
  trusting.setTLSCertificateAuthorityFile(certificate->certificateFile());
  auto session = NSURLSession::sessionWithConfiguration(trusting, nullptr, nullptr);
  auto trusted = load(session, requestFor(server.URL("/secure")));
  ASSERT_TRUE(trusted);
  EXPECT_EQ(trusted->error, nullptr) << trusted->error->description();
  EXPECT_EQ(trusted->data, "secret");
  auto byName = load(session, requestFor(localhostURL));
  ASSERT_TRUE(byName);
  EXPECT_EQ(byName->error, nullptr);
  auto streamed = load(session, requestFor(server.URL("/stream")));
  ASSERT_TRUE(streamed);
  EXPECT_EQ(streamed->error, nullptr) << "a TLS body may end at the close";
  EXPECT_EQ(streamed->data, "streamed over TLS");

  const auto previous = NSURLSessionConfiguration::defaultCertificateAuthorityFile();
  NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(certificate->certificateFile());
  auto byDefault =
      load(NSURLSession::sessionWithConfiguration(
               NSURLSessionConfiguration::ephemeralSessionConfiguration(), nullptr, nullptr),
           requestFor(server.URL("/secure")));
  NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(previous);
  ASSERT_TRUE(byDefault);
  EXPECT_EQ(byDefault->error, nullptr);
}

TEST_F(NetSession, InvalidateAndCancelEndsEveryTaskThenReleasesTheDelegate) {
  streamRoute("/open");
  auto delegate = std::make_shared<RecordingDelegate>();
  std::weak_ptr<RecordingDelegate> weakDelegate = delegate;
  auto session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::ephemeralSessionConfiguration(), delegate, nullptr);
  std::vector<NSURLSessionDataTaskPtr> tasks;
  for (int i = 0; i < 4; ++i) {
    tasks.push_back(session->dataTaskWithRequest(requestFor(server.URL("/open"))));
    tasks.back()->resume();
  }
  tasks.push_back(session->dataTaskWithRequest(requestFor(server.URL("/open"))));  // not resumed
  ASSERT_TRUE(delegate->waitFor(Kind::Response, 4));
  auto serverStreams = streams.waitForAll(4);

  session->invalidateAndCancel();
  ASSERT_TRUE(delegate->waitFor(Kind::Invalid));
  auto events = delegate->events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().kind, Kind::Invalid);
  EXPECT_EQ(events.back().error, nullptr);
  EXPECT_EQ(delegate->count(Kind::End), tasks.size());
  for (const auto& task : tasks) {
    EXPECT_EQ(orderProblems(events, task->taskIdentifier()), "");
    auto end = delegate->waitForEnd(task->taskIdentifier(), 0ms);
    ASSERT_TRUE(end && *end);
    EXPECT_EQ((*end)->code(), NSURLErrorCancelled);
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Completed);
  }
  delegate.reset();  // only the session held it
  EXPECT_TRUE(eventually([&] { return weakDelegate.expired(); }))
      << "the delegate must be released after its last notification";
  for (const auto& stream : serverStreams)
    EXPECT_TRUE(stream->waitUntilClosed(kPatience));

  // A task made after the invalidation ends cancelled when resumed, and
  // never reaches the server.
  auto late = load(session, requestFor(server.URL("/open")));
  ASSERT_TRUE(late && late->error);
  EXPECT_EQ(late->error->code(), NSURLErrorCancelled);
  EXPECT_EQ(server.requestCount(), 4U);
}

TEST_F(NetSession, FinishTasksAndInvalidateLetsRunningTasksEnd) {
  streamRoute("/open");
  auto delegate = std::make_shared<RecordingDelegate>();
  auto session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::ephemeralSessionConfiguration(), delegate, nullptr);
  auto task = session->dataTaskWithRequest(requestFor(server.URL("/open")));
  task->resume();
  auto stream = streams.wait();
  ASSERT_TRUE(stream);
  session->finishTasksAndInvalidate();
  stream->write("after the invalidation");
  stream->close();
  ASSERT_TRUE(delegate->waitFor(Kind::Invalid));
  auto end = delegate->waitForEnd(task->taskIdentifier(), 0ms);
  ASSERT_TRUE(end);
  EXPECT_EQ(*end, nullptr);
  EXPECT_EQ(delegate->body(task->taskIdentifier()), "after the invalidation");
  EXPECT_EQ(delegate->events().back().kind, Kind::Invalid);

  // With nothing running the invalidation is reported at once, and the
  // delegate is released.
  auto idleDelegate = std::make_shared<RecordingDelegate>();
  std::weak_ptr<RecordingDelegate> weakIdle = idleDelegate;
  auto idleSession = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::ephemeralSessionConfiguration(), idleDelegate, nullptr);
  idleSession->finishTasksAndInvalidate();
  ASSERT_TRUE(idleDelegate->waitFor(Kind::Invalid));
  idleDelegate.reset();
  EXPECT_TRUE(eventually([&] { return weakIdle.expired(); }));
}

TEST_F(NetSession, ManyConcurrentStreamingSessions) {
  constexpr size_t kSessions = 200;
  constexpr int kEvents = 50;
  streamRoute("/stream");
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<NSURLSessionDataTaskPtr> tasks;
  for (size_t i = 0; i < kSessions; ++i) {
    clients.push_back(std::make_unique<Client>());
    tasks.push_back(clients.back()->start(requestFor(server.URL("/stream"))));
  }
  auto serverStreams = streams.waitForAll(kSessions);
  ASSERT_EQ(serverStreams.size(), kSessions);
  std::string expected;
  for (int e = 0; e < kEvents; ++e)
    expected += "data: event " + std::to_string(e) + "\n\n";
  std::thread writer([&] {
    for (int e = 0; e < kEvents; ++e) {
      for (const auto& stream : serverStreams) {
        stream->write("data: event " + std::to_string(e) + "\n\n");
      }
    }
    for (const auto& stream : serverStreams)
      stream->close();
  });
  writer.join();
  for (size_t i = 0; i < kSessions; ++i) {
    auto end = clients[i]->delegate->waitForEnd(tasks[i]->taskIdentifier());
    ASSERT_TRUE(end) << "session " << i;
    EXPECT_EQ(*end, nullptr);
    EXPECT_EQ(clients[i]->delegate->body(tasks[i]->taskIdentifier()), expected);
  }
}

TEST_F(NetSession, FlowControlHoldsTheNetworkForASlowDelegate) {
  constexpr size_t kTotal = size_t{48} << 20;
  constexpr size_t kPiece = size_t{64} << 10;
  streamRoute("/flood");
  Client client;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<size_t> received{0};
  std::atomic<bool> inOrder{true};
  client.delegate->onData = [&](const NSURLSessionDataTaskPtr&, const NSData& data) {
    // Each byte says where it belongs.
    for (size_t i = 0; i < data.size(); i += 4096) {
      if (static_cast<unsigned char>(data[i]) != ((received + i) / kPiece) % 251) inOrder = false;
    }
    if (received.fetch_add(data.size()) == 0) released.wait();
  };
  client.delegate->keepsData = false;  // counted above instead
  auto task = client.start(requestFor(server.URL("/flood")));
  auto stream = streams.wait();
  ASSERT_TRUE(stream);
  for (size_t written = 0; written < kTotal; written += kPiece) {
    ASSERT_TRUE(stream->write(std::string(kPiece, static_cast<char>((written / kPiece) % 251))));
  }
  // While the delegate is stuck, the client stops reading: the server cannot
  // get its bytes out (without flow control they would all be taken into
  // the client's memory at once).
  EXPECT_FALSE(stream->flush(2s));
  release.set_value();
  EXPECT_TRUE(stream->flush(kPatience));
  stream->close();
  auto end = client.delegate->waitForEnd(task->taskIdentifier());
  ASSERT_TRUE(end);
  EXPECT_EQ(*end, nullptr);
  EXPECT_EQ(received.load(), kTotal);
  EXPECT_TRUE(inOrder);
}
