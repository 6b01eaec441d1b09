#include "Tools/zrl-dashboard/ZRLDashboardHTTPSession.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <string>

#include "Tools/zrl-dashboard/ZRLDashboardStreamSession.h"

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;

namespace {

// How long a connection refused for the cap on connections may take to
// send its request before it is closed without an answer.
constexpr std::chrono::milliseconds kRefusedPatience{5000};

}  // namespace

ZRLDashboardHTTPSession::ZRLDashboardHTTPSession(std::unique_ptr<ZRLDashboardConnection> connection,
                                                 bool refused)
    : server_(connection->server),
      strand_(connection->stream.get_executor()),
      refused_(refused),
      connection_(std::move(connection)) {}

void ZRLDashboardHTTPSession::start() {
  net::dispatch(strand_, [self = shared_from_this()] {
    self->connection_->stream.expiresAfter(self->readPatience());
    self->connection_->stream.async_handshake([self](beast::error_code error, size_t) {
      if (!error) self->readHead();
    });
  });
}

void ZRLDashboardHTTPSession::close() {
  net::post(strand_, [self = shared_from_this()] {
    if (self->state_ != State::handedOver) self->end();
  });
}

std::chrono::milliseconds ZRLDashboardHTTPSession::readPatience() const {
  return refused_ ? std::min(server_.options.readTimeout, kRefusedPatience)
                  : server_.options.readTimeout;
}

void ZRLDashboardHTTPSession::readHead() {
  if (state_ == State::closed) return;
  state_ = State::head;
  parser_.emplace();
  ZRLDashboardExchange::limit(*parser_);
  connection_->stream.expiresAfter(readPatience());
  http::async_read_header(
      connection_->stream, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code error, size_t) { self->onHead(error); });
}

// A client that asks before sending its body (libcurl does for large
// uploads) is told to go on at once rather than after its own wait.
void ZRLDashboardHTTPSession::onHead(beast::error_code error) {
  if (!error && refused_) {
    ZRLDashboardResponse busy = ZRLDashboardRouter::error(
        503, "the dashboard serves at most " + std::to_string(server_.options.maximumConnections) +
                 " connections at once; try again later");
    busy.headers.emplace_back("Retry-After", "1");
    return respond(std::move(busy), false);
  }
  if (error || parser_->is_done()) return onRequest(error);
  if (!beast::iequals(parser_->get()[http::field::expect], "100-continue")) return readBody();
  state_ = State::continuing;
  auto goOn = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
  connection_->stream.expiresAfter(server_.options.writeTimeout);
  http::async_write(connection_->stream, *goOn,
                    [self = shared_from_this(), goOn](beast::error_code failure, size_t) {
                      if (failure) return self->end();
                      self->readBody();
                    });
}

void ZRLDashboardHTTPSession::readBody() {
  if (state_ == State::closed) return;
  state_ = State::body;
  connection_->stream.expiresAfter(server_.options.readTimeout);
  http::async_read(
      connection_->stream, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code error, size_t) { self->onRequest(error); });
}

void ZRLDashboardHTTPSession::onRequest(beast::error_code error) {
  if (state_ == State::closed) return;
  if (error) {
    auto answer = ZRLDashboardExchange::readFailure(error, parser_ && parser_->got_some());
    if (answer) return respond(std::move(*answer), false);
    return end();
  }
  if (server_.stopping) return end();
  auto message = parser_->release();
  route(ZRLDashboardExchange::request(message), message.keep_alive());
}

// Routed on the storage thread (an upload of a capture on the uploads' own,
// when it has one, so that no push waits behind uploads); the answer comes
// back to the strand. A stream's session is made and joins the hub there,
// so that a push that follows the router's answer reaches it.
void ZRLDashboardHTTPSession::route(ZRLDashboardRequest request, bool keepAlive) {
  state_ = State::routing;
  routedAt_ = std::chrono::steady_clock::now();
  endpoint_ = ZRLDashboardMetrics::endpointOf(request.target);
  auto& lane =
      server_.router->uploadsHaveTheirOwnStore() && ZRLDashboardRouter::isCaptureUpload(request)
          ? server_.uploads
          : server_.storage;
  net::post(lane, [self = shared_from_this(), request = std::move(request), keepAlive]() mutable {
    // Only the members fixed at construction are read off the strand.
    ZRLDashboardServer::Impl& server = self->server_;
    ZRLDashboardResponse response = server.router->handle(request);
    std::shared_ptr<ZRLDashboardStreamSession> stream;
    if (response.streamAppId) {
      stream =
          std::make_shared<ZRLDashboardStreamSession>(server, self->strand_, *response.streamAppId);
      server.router->subscribe(*response.streamAppId, response.lastEventID, stream);
    }
    const auto strand = self->strand_;
    net::post(strand, [self = std::move(self), response = std::move(response), keepAlive,
                       stream = std::move(stream)]() mutable {
      if (stream) return self->handOver(stream);
      self->respond(std::move(response), keepAlive);
    });
  });
}

void ZRLDashboardHTTPSession::respond(ZRLDashboardResponse response, bool keepAlive) {
  if (state_ == State::closed) return;
  state_ = State::answer;
  const unsigned status = response.status;
  auto answer = std::make_shared<ZRLDashboardExchange::Response>(
      ZRLDashboardExchange::response(std::move(response), keepAlive && !server_.stopping));
  connection_->stream.expiresAfter(server_.options.writeTimeout);
  http::async_write(connection_->stream, *answer,
                    [self = shared_from_this(), answer, status](beast::error_code error, size_t) {
                      self->counted(status);
                      if (!error && answer->keep_alive()) return self->readHead();
                      self->end();
                    });
}

void ZRLDashboardHTTPSession::handOver(const std::shared_ptr<ZRLDashboardStreamSession>& stream) {
  if (state_ == State::closed) return stream->begin(nullptr);
  // The request is done with: this session ends when the call returns, and
  // with it what it read.
  state_ = State::handedOver;
  counted(200);
  stream->begin(std::move(connection_));
}

void ZRLDashboardHTTPSession::counted(unsigned status) {
  if (server_.options.metrics != nullptr)
    server_.options.metrics->requestDone(endpoint_, status,
                                         std::chrono::steady_clock::now() - routedAt_);
  endpoint_ = "other";
  routedAt_ = std::chrono::steady_clock::now();
}

void ZRLDashboardHTTPSession::end() {
  if (state_ == State::closed || state_ == State::handedOver) return;
  state_ = State::closed;
  connection_->end();
}
