#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "tests/Platform/NetTestSupport.h"

namespace {

// A blocking TCP client for bytes that a well-behaved HTTP client never
// sends. Reads give up after a while instead of hanging the test.
class RawClient {
 public:
  explicit RawClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{20, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  void send(const std::string& bytes) const {
    for (size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
  }
  // Everything until the server closes the connection.
  std::string readToEnd() {
    while (readSome()) {
    }
    return received_;
  }
  // Reads until the text holds the marker as many times as asked.
  std::string readUntil(const std::string& marker, int times = 1) {
    while (occurrences(marker) < times && readSome()) {
    }
    return received_;
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  bool readSome() {
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    received_.append(buffer, static_cast<size_t>(n));
    return true;
  }
  int occurrences(const std::string& marker) const {
    int count = 0;
    for (size_t at = received_.find(marker); at != std::string::npos;
         at = received_.find(marker, at + marker.size())) {
      ++count;
    }
    return count;
  }

  int fd_;
  bool connected_ = false;
  std::string received_;
};

}  // namespace

TEST(LocalServer, RoutesFallbackAndTheRecordOfRequests) {
  ZRLLocalServer server;
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.baseURL(), "http://127.0.0.1:" + std::to_string(server.port()));
  server.route("GET", "/a", [](const ZRLLocalRequest& request, ZRLLocalResponder& r) {
    r.respond(200, {{"X-Query", request.queryValue("q").value_or("(none)")}}, "a");
  });
  server.route("POST", "/a",
               [](const ZRLLocalRequest&, ZRLLocalResponder& r) { r.respond(201, {}, "posted"); });
  server.route("GET", "/throws", [](const ZRLLocalRequest&, ZRLLocalResponder&) {
    throw std::runtime_error("handler failed");
  });
  server.route("GET", "/silent", [](const ZRLLocalRequest&, ZRLLocalResponder&) {});
  auto session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::ephemeralSessionConfiguration(), nullptr, nullptr);

  auto routed = load(session, requestFor(server.URL("/a?q=x%2By+z&flag")));
  ASSERT_TRUE(routed);
  EXPECT_EQ(routed->data, "a");
  EXPECT_EQ(routed->response->valueForHTTPHeaderField("X-Query"), "x+y z");
  auto post = requestFor(server.URL("/a"));
  post.setHTTPMethod("POST");
  EXPECT_EQ(load(session, post)->response->statusCode(), 201);
  EXPECT_EQ(load(session, requestFor(server.URL("/nowhere")))->response->statusCode(), 404);
  auto thrown = load(session, requestFor(server.URL("/throws")));
  EXPECT_EQ(thrown->response->statusCode(), 500);
  EXPECT_EQ(thrown->data, "handler failed\n");
  EXPECT_EQ(load(session, requestFor(server.URL("/silent")))->response->statusCode(), 500);

  server.setFallback([](const ZRLLocalRequest& request, ZRLLocalResponder& r) {
    r.respond(299, {}, "fallback for " + request.target());
  });
  server.route("GET", "/a", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    r.respond(200, {}, "replaced");
  });
  EXPECT_EQ(load(session, requestFor(server.URL("/other?x")))->data, "fallback for /other?x");
  EXPECT_EQ(load(session, requestFor(server.URL("/a")))->data, "replaced");

  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 7U);
  for (size_t i = 0; i < requests.size(); ++i)
    EXPECT_EQ(requests[i].index(), i);
  EXPECT_EQ(requests[0].target(), "/a?q=x%2By+z&flag");
  EXPECT_EQ(requests[0].path(), "/a");
  EXPECT_EQ(requests[0].query(), "q=x%2By+z&flag");
  EXPECT_EQ(requests[0].queryParameters(),
            (std::vector<std::pair<std::string, std::string>>{{"q", "x+y z"}, {"flag", ""}}));
  EXPECT_FALSE(requests[2].query());
  EXPECT_EQ(server.waitForRequest(6, 0ms)->path(), "/a");
  EXPECT_FALSE(server.waitForRequest(7, 10ms));
  // One client, one kept-alive connection.
  EXPECT_EQ(server.connectionCount(), 1U);
  session->finishTasksAndInvalidate();
}

TEST(LocalServer, KeepAlivePipeliningAndBadRequests) {
  ZRLLocalServer server;
  ASSERT_TRUE(server.start());
  server.setFallback([](const ZRLLocalRequest& request, ZRLLocalResponder& r) {
    r.respond(200, {}, request.method() + " " + request.path() + " [" + request.body() + "]");
  });

  {
    // Two requests in one write, answered in order on one connection; a
    // third that asks to close ends it.
    RawClient client(server.port());
    client.send(
        "POST /one HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"
        "GET /two HTTP/1.1\r\nhost: x\r\n\r\n");
    const std::string answers = client.readUntil("]", 2);
    const size_t one = answers.find("POST /one [abc]");
    const size_t two = answers.find("GET /two []");
    ASSERT_NE(one, std::string::npos) << answers;
    ASSERT_NE(two, std::string::npos) << answers;
    EXPECT_LT(one, two);
    client.send("GET /three HTTP/1.1\r\nConnection: close\r\n\r\n");
    const std::string last = client.readToEnd();
    EXPECT_NE(last.find("Connection: close"), std::string::npos) << last;
    EXPECT_NE(last.find("GET /three []"), std::string::npos) << last;
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3U);
    EXPECT_EQ(requests[0].connectionIndex(), requests[2].connectionIndex());
    EXPECT_EQ(requests[1].header("HOST"), "x");
  }
  {
    // No length and no body for an answer that cannot have one.
    server.route("GET", "/nothing", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
      r.respond(204, {}, "ignored");
    });
    RawClient client(server.port());
    client.send("GET /nothing HTTP/1.1\r\nConnection: close\r\n\r\n");
    const std::string answer = client.readToEnd();
    EXPECT_EQ(answer.rfind("HTTP/1.1 204 No Content\r\n", 0), 0U) << answer;
    EXPECT_EQ(answer.find("Content-Length"), std::string::npos) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 4), "\r\n\r\n");
  }
  {
    // A client that waits for "100 Continue" before its body gets it.
    RawClient client(server.port());
    client.send("PUT /wait HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
    EXPECT_EQ(client.readUntil("\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    client.send("body");
    EXPECT_NE(client.readUntil("]").find("PUT /wait [body]"), std::string::npos);
  }
  for (const std::string bad : {"NOT A REQUEST\r\n\r\n", "GET /x HTTP/1.1\r\nNo colon\r\n\r\n",
                                "POST /x HTTP/1.1\r\nContent-Length: ten\r\n\r\n",
                                "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"}) {
    RawClient client(server.port());
    client.send(bad);
    const std::string answer = client.readToEnd();
    EXPECT_TRUE(answer.rfind("HTTP/1.1 400 ", 0) == 0 || answer.rfind("HTTP/1.1 501 ", 0) == 0)
        << bad << " -> " << answer;
  }
  {
    RawClient client(server.port());
    client.send("GET /" + std::string(size_t{70} << 10, 'x'));
    EXPECT_EQ(client.readToEnd().rfind("HTTP/1.1 431 ", 0), 0U);
  }
  EXPECT_EQ(server.requestCount(), 5U) << "refused requests are not recorded";
}

TEST(LocalServer, StreamHandlesOutliveTheClientAndTheServer) {
  ZRLLocalServer server;
  ASSERT_TRUE(server.start());
  std::promise<std::shared_ptr<ZRLLocalStream>> handed;
  server.route("GET", "/stream", [&](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    handed.set_value(r.stream(200, {{"Content-Type", "text/event-stream"}}));
  });
  std::shared_ptr<ZRLLocalStream> stream;
  {
    RawClient client(server.port());
    client.send("GET /stream HTTP/1.1\r\n\r\n");
    auto future = handed.get_future();
    ASSERT_EQ(future.wait_for(kPatience), std::future_status::ready);
    stream = future.get();
    EXPECT_TRUE(stream->write("data: 1\n\n"));
    EXPECT_TRUE(stream->flush());
    const std::string head = client.readUntil("data: 1\n\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0U);
    EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos);
    EXPECT_EQ(server.openConnectionCount(), 1U);
  }
  // The client went away: the handle sees it, and writes fail quietly.
  EXPECT_TRUE(stream->waitUntilClosed(kPatience));
  EXPECT_FALSE(stream->isOpen());
  EXPECT_FALSE(stream->write("lost"));
  EXPECT_FALSE(stream->flush(10ms));
  EXPECT_TRUE(eventually([&] { return server.openConnectionCount() == 0; }));

  // A handle kept past the server's stop and destruction is still safe.
  auto kept = std::make_shared<std::shared_ptr<ZRLLocalStream>>();
  {
    ZRLLocalServer shortLived;
    ASSERT_TRUE(shortLived.start());
    std::promise<void> ready;
    shortLived.route("GET", "/", [&](const ZRLLocalRequest&, ZRLLocalResponder& r) {
      *kept = r.raw();
      ready.set_value();
    });
    RawClient client(shortLived.port());
    client.send("GET / HTTP/1.1\r\n\r\n");
    ASSERT_EQ(ready.get_future().wait_for(kPatience), std::future_status::ready);
    shortLived.stop();
    EXPECT_EQ(client.readToEnd(), "") << "stop() closes every connection";
  }
  EXPECT_FALSE((*kept)->write("after the end"));
  EXPECT_FALSE((*kept)->flush(10ms));
  (*kept)->close();
  (*kept)->abort();
  EXPECT_FALSE((*kept)->isOpen());
}

TEST(LocalServer, RestartsOnTheSamePort) {
  ZRLLocalServer server;
  ASSERT_TRUE(server.start());
  const uint16_t port = server.port();
  server.setFallback([](const ZRLLocalRequest&, ZRLLocalResponder& r) { r.respond(200); });
  auto session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::ephemeralSessionConfiguration(), nullptr, nullptr);
  EXPECT_EQ(load(session, requestFor(server.URL("/before")))->error, nullptr);
  server.stop();
  EXPECT_FALSE(server.isRunning());
  EXPECT_EQ(load(session, requestFor(server.URL("/while-down")))->error->code(),
            NSURLErrorCannotConnectToHost);
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.port(), port);
  EXPECT_EQ(load(session, requestFor(server.URL("/after")))->error, nullptr);
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2U);
  EXPECT_EQ(requests[1].path(), "/after");
  EXPECT_NE(requests[0].connectionIndex(), requests[1].connectionIndex());

  // Another server cannot take a port that is in use.
  ZRLLocalServer rival({.port = port, .certificate = std::nullopt});
  std::string problem;
  EXPECT_FALSE(rival.start(&problem));
  EXPECT_NE(problem.find(std::to_string(port)), std::string::npos) << problem;
  session->finishTasksAndInvalidate();
}

TEST(LocalCertificate, WritesAPrivateKeyAndFailsCleanly) {
  TemporaryDirectory directory;
  auto certificate = ZRLLocalCertificate::generate(directory.path());
  ASSERT_TRUE(certificate);
  struct stat key {};
  ASSERT_EQ(stat(certificate->keyFile().c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600U);

  std::string problem;
  EXPECT_FALSE(ZRLLocalCertificate::generate(directory.path() + "/missing/folder", &problem));
  EXPECT_FALSE(problem.empty());

  // A server whose certificate files are unreadable does not start.
  ZRLLocalServer server({.certificate = ZRLLocalCertificate("/nonexistent.pem", "/none.pem")});
  EXPECT_FALSE(server.start(&problem));
  EXPECT_NE(problem.find("TLS"), std::string::npos) << problem;
}
