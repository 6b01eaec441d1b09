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
  void put(std::shared_ptr<ZRLLocalStream> stream) {
    {
      std::lock_guard lock(mutex_);
      streams_.push_back(std::move(stream));
    }
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

  explicit Client(NSURLSessionConfiguration configuration =
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
  void streamRoute(const std::string& path, ZRLLocalHeaders headers = {}) {
    server.route("GET", path, [this, headers](const ZRLLocalRequest&, ZRLLocalResponder& r) {
      streams.put(r.stream(200, headers));
    });
  }
  void rawRoute(const std::string& path) {
    server.route("GET", path,
                 [this](const ZRLLocalRequest&, ZRLLocalResponder& r) { streams.put(r.raw()); });
  }

  ZRLLocalServer server;
  StreamBox streams;
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
