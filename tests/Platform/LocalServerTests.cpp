// The local test server: routing and its record of requests, its port,
// keep-alive and bad requests from a raw socket, the order of a handler's
// writes.

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "tests/Platform/NetTestSupport.h"

namespace {

// Sends bytes that a well-behaved HTTP client never sends on a connection
// of its own, runs `meanwhile`, then returns what arrives until the server
// closes the connection; a server that has not closed it by a deadline
// ends it with a mark.
std::string exchange(uint16_t port, const std::string& bytes,
                     const std::function<void()>& meanwhile = nullptr) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  asio::error_code error;
  socket.connect({asio::ip::address_v4::loopback(), port}, error);
  asio::write(socket, asio::buffer(bytes), error);
  if (meanwhile) meanwhile();
  std::string received;
  asio::async_read(socket, asio::dynamic_buffer(received), [](auto&&...) {});
  io.run_for(3 * kPatience);
  return io.stopped() ? received : received + "<nothing more in time>";
}

}  // namespace

class LocalServer : public LocalServerFixture {};

TEST_F(LocalServer, RoutesFallbackAndTheRecordOfRequests) {
  server.route("GET", "/a", [](auto& request, auto& r) {
    r.respond(200, {}, "a " + request.queryValue("q").value_or("(none)"));
  });
  server.route("GET", "/throws", [](auto&, auto&) { throw std::runtime_error("handler failed"); });
  server.route("GET", "/silent", [](auto&, auto&) {});
  auto session = trusting();
  // The status and body, or the task's error (an HTTP status is none).
  const auto answer = [&](const std::string& target) {
    const TaskResult result = load(session, requestFor(server.URL(target)));
    if (result.error) return result.error->description();
    return std::to_string(result.response->statusCode()) + " " + result.data.value_or("");
  };
  EXPECT_EQ(answer("/a?q=x%2By+z&flag"), "200 a x+y z");
  EXPECT_EQ(answer("/nowhere"), "404 Not Found\n");
  EXPECT_EQ(answer("/throws"), "500 handler failed\n");
  EXPECT_EQ(answer("/silent"), "500 The handler did not answer.\n");
  server.setFallback(
      [](auto& request, auto& r) { r.respond(299, {}, "fallback for " + request.target()); });
  EXPECT_EQ(answer("/other?x"), "299 fallback for /other?x");
  EXPECT_EQ(server.requests().at(0).queryParameters(),
            (std::vector<std::pair<std::string, std::string>>{{"q", "x+y z"}, {"flag", ""}}));
  session->finishTasksAndInvalidate();
  // No other server can take the port, which a restart keeps. (The
  // event-stream client's restart test writes through the handles of a
  // stopped server and reconnects to the same port; the session tests see
  // a handle closed when its task is cancelled.)
  ZRLLocalServer rival({.port = server.port(), .certificate = std::nullopt});
  std::string problem;
  EXPECT_FALSE(rival.start(&problem));
  EXPECT_NE(problem.find(std::to_string(server.port())), std::string::npos) << problem;
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
    for (char c : {'a', 'b', 'c', 'd'})
      EXPECT_TRUE(stream(0)->write(std::string(kPiece, c)));
    written.set_value();
    stream(0)->close();
  });
  const size_t body = answer.find("\r\n\r\n") + 4;
  EXPECT_EQ(answer.substr(body, 17), "from the handler\n");
  EXPECT_EQ(answer.size() - body, 17 + 4 * kPiece);
}
