// The local test server: routing and its record of requests, keep-alive and
// bad requests from a raw socket, the order of a handler's writes, stream
// handles that outlive their connection, and restarts.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "tests/Platform/NetTestSupport.h"

namespace {

// Sends bytes that a well-behaved HTTP client never sends on a connection
// of its own, runs `meanwhile`, then returns what arrives until the server
// closes the connection; a read that waits too long, or a server that goes
// on sending past an overall deadline, ends it with a mark.
std::string exchange(uint16_t port, const std::string& bytes,
                     const std::function<void()>& meanwhile = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + 3 * kPatience;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval limit{static_cast<time_t>(kPatience.count()), 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return "<not connected>";
  }
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  if (meanwhile) meanwhile();
  std::string received;
  char buffer[4096];
  for (ssize_t n = 1; n > 0;) {
    n = std::chrono::steady_clock::now() < deadline ? ::recv(fd, buffer, sizeof buffer, 0) : -1;
    if (n < 0) received += "<nothing more in time>";
    if (n > 0) received.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return received;
}

NSURLSessionPtr plainSession() {
  return NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::ephemeralSessionConfiguration(), nullptr, nullptr);
}

}  // namespace

class LocalServer : public LocalServerFixture {};

TEST_F(LocalServer, RoutesFallbackAndTheRecordOfRequests) {
  server.route("GET", "/a", [](auto& request, auto& r) {
    r.respond(200, {}, "a " + request.queryValue("q").value_or("(none)"));
  });
  server.route("POST", "/a", [](auto&, auto& r) { r.respond(201, {}, "posted"); });
  server.route("GET", "/throws", [](auto&, auto&) { throw std::runtime_error("handler failed"); });
  server.route("GET", "/silent", [](auto&, auto&) {});
  auto session = plainSession();
  // The status and body, or the task's error (an HTTP status is none).
  const auto answer = [&](const std::string& method, const std::string& target) {
    auto request = requestFor(server.URL(target));
    request.setHTTPMethod(method);
    const TaskResult result = load(session, request);
    if (result.error) return result.error->description();
    return std::to_string(result.response->statusCode()) + " " + result.data.value_or("");
  };
  EXPECT_EQ(answer("GET", "/a?q=x%2By+z&flag"), "200 a x+y z");
  EXPECT_EQ(answer("POST", "/a"), "201 posted");
  EXPECT_EQ(answer("GET", "/nowhere"), "404 Not Found\n");
  EXPECT_EQ(answer("GET", "/throws"), "500 handler failed\n");
  EXPECT_EQ(answer("GET", "/silent"), "500 The handler did not answer.\n");
  server.setFallback(
      [](auto& request, auto& r) { r.respond(299, {}, "fallback for " + request.target()); });
  server.route("GET", "/a", [](auto&, auto& r) { r.respond(200, {}, "replaced"); });
  EXPECT_EQ(answer("GET", "/other?x"), "299 fallback for /other?x");
  EXPECT_EQ(answer("GET", "/a"), "200 replaced");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 7U);
  EXPECT_EQ(requests[0].queryParameters(),
            (std::vector<std::pair<std::string, std::string>>{{"q", "x+y z"}, {"flag", ""}}));
  EXPECT_FALSE(requests[1].query());
  EXPECT_FALSE(server.waitForRequest(7, 10ms));
  EXPECT_EQ(server.connectionCount(), 1U) << "one client, one kept-alive connection";
  session->finishTasksAndInvalidate();
}

TEST_F(LocalServer, KeepAlivePipeliningAndBadRequests) {
  server.setFallback([](auto& request, auto& r) {
    r.respond(200, {}, request.method() + " " + request.path() + " [" + request.body() + "]");
  });
  server.route("GET", "/nothing", [](auto&, auto& r) { r.respond(204, {}, "ignored"); });
  // Requests in one write are answered in order on one connection, until one
  // asks to close it. A 204 has neither a length nor a body.
  EXPECT_EQ(exchange(server.port(),
                     "POST /one HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc"
                     "GET /two HTTP/1.1\r\nhost: x\r\n\r\n"
                     "GET /nothing HTTP/1.1\r\nConnection: close\r\n\r\n"),
            "HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\nPOST /one [abc]"
            "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nGET /two []"
            "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(server.requests().at(1).header("HOST"), "x");

  const std::pair<std::string, std::string> refused[] = {
      {"NOT A REQUEST\r\n\r\n", "400 Bad Request"},
      {"GET /x HTTP/1.1\r\nNo colon\r\n\r\n", "400 Bad Request"},
      {"POST /x HTTP/1.1\r\nContent-Length: ten\r\n\r\n", "400 Bad Request"},
      {"POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "501 Not Implemented"},
      {"GET /" + std::string(size_t{70} << 10, 'x'), "431 Request Header Fields Too Large"},
  };
  for (const auto& [bytes, status] : refused) {
    const std::string line = "HTTP/1.1 " + status + "\r\n";
    EXPECT_EQ(exchange(server.port(), bytes).substr(0, line.size()), line) << bytes.substr(0, 30);
  }
  // A status without a phrase of its own takes its class's.
  EXPECT_EQ(NSHTTPURLResponse::localizedStringForStatusCode(299), "success");
  EXPECT_EQ(NSHTTPURLResponse::localizedStringForStatusCode(499), "client error");
  EXPECT_EQ(server.requestCount(), 3U) << "refused requests are not recorded";
}

TEST_F(LocalServer, AHandlersOwnWritesKeepTheirPlaceBeforeOtherThreadsWrites) {
  // The handler writes, hands its stream to the test thread and returns only
  // once that thread has written through it (blocking the server's thread on
  // purpose): both threads' writes are made while the handler runs.
  std::promise<void> written;
  std::shared_future<void> done = written.get_future().share();
  server.route("GET", "/", [&](auto&, auto& r) {
    auto handed = r.stream(200);
    handed->write("from the handler\n");
    hand(handed);
    (void)done.wait_for(kPatience);
  });
  constexpr size_t kPiece = size_t{256} << 10;
  const std::string answer = exchange(server.port(), "GET / HTTP/1.1\r\n\r\n", [&] {
    ASSERT_TRUE(stream(0));
    for (char c : {'a', 'b', 'c', 'd'})
      EXPECT_TRUE(stream(0)->write(std::string(kPiece, c)));
    written.set_value();
    stream(0)->close();
  });
  const size_t body = answer.find("\r\n\r\n") + 4;
  EXPECT_EQ(answer.substr(body, 17), "from the handler\n");
  EXPECT_EQ(answer.size() - body, 17 + 4 * kPiece);
}

TEST_F(LocalServer, StreamHandlesOutliveTheirConnectionAndRestartsKeepThePort) {
  streamRoute("/stream");
  auto session = plainSession();
  auto task = session->dataTaskWithRequest(requestFor(server.URL("/stream")));
  task->resume();
  ASSERT_TRUE(stream(0));
  EXPECT_TRUE(stream(0)->write("data: 1\n\n") && stream(0)->flush());
  EXPECT_EQ(server.openConnectionCount(), 1U);
  // The client goes away: the handle sees it, and writes fail quietly.
  task->cancel();
  EXPECT_TRUE(stream(0)->waitUntilClosed(kPatience));
  EXPECT_FALSE(stream(0)->isOpen() || stream(0)->write("lost") || stream(0)->flush(10ms));
  EXPECT_TRUE(eventually([&] { return server.openConnectionCount() == 0; }));

  // A stop closes every connection, and their handles stay safe to use.
  const uint16_t port = server.port();
  EXPECT_EQ(exchange(port, "GET /stream HTTP/1.1\r\n\r\n",
                     [&] {
                       ASSERT_TRUE(stream(1));
                       server.stop();
                     }),
            "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
  EXPECT_FALSE(server.isRunning() || stream(1)->write("after the end") || stream(1)->flush(10ms));
  stream(1)->close();
  stream(1)->abort();
  const NSErrorPtr down = load(session, requestFor(server.URL("/"))).error;
  EXPECT_EQ(down ? down->code() : 0, NSURLErrorCannotConnectToHost);
  // Started again, it listens on the same port, which no other server can take.
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.port(), port);
  EXPECT_EQ(load(session, requestFor(server.URL("/after"))).error, nullptr);
  ZRLLocalServer rival({.port = port, .certificate = std::nullopt});
  std::string problem;
  EXPECT_FALSE(rival.start(&problem));
  EXPECT_NE(problem.find(std::to_string(port)), std::string::npos) << problem;
  session->finishTasksAndInvalidate();
}
