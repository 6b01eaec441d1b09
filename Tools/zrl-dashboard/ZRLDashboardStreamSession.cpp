#include "Tools/zrl-dashboard/ZRLDashboardStreamSession.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/chunk_encode.hpp>
#include <boost/beast/http/write.hpp>

#include <string_view>

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;

namespace {

// One comment line, without the blank line that would end a block: the
// plug-in's client makes a record of every complete block, comment-only
// ones included, and would hand its handler an empty message every 15
// seconds. The line joins the next event's block, where it is skipped.
constexpr std::string_view kKeepAliveComment = ":\n";

}  // namespace

ZRLDashboardStreamSession::ZRLDashboardStreamSession(ZRLDashboardServer::Impl& server,
                                                     ZRLDashboardTLSStream::executor_type strand,
                                                     std::string appId)
    : server_(server), strand_(std::move(strand)), appId_(std::move(appId)) {}

ZRLDashboardStreamSession::~ZRLDashboardStreamSession() {
  server_.hub->leave(appId_, this);
}

void ZRLDashboardStreamSession::deliver(std::shared_ptr<const std::string> text, bool replayed) {
  net::post(strand_, [self = shared_from_this(), text = std::move(text), replayed,
                      handedOut = std::chrono::steady_clock::now()]() mutable {
    self->enqueue(std::move(text), replayed, handedOut);
  });
}

void ZRLDashboardStreamSession::close() {
  net::post(strand_, [self = shared_from_this()] {
    switch (self->state_) {
      case State::waiting:
        return self->end();
      case State::head:
        self->state_ = State::closing;
        return;
      case State::open:
        self->state_ = State::closing;
        if (!self->writing_) self->writeNext();
        return;
      case State::closing:
      case State::ended:
        return;
    }
  });
}

void ZRLDashboardStreamSession::begin(std::unique_ptr<ZRLDashboardConnection> connection) {
  if (connection == nullptr) return end();
  // Closed while it waited: the connection ends with this call.
  if (state_ == State::ended) return connection->end();
  connection_ = std::move(connection);
  state_ = State::head;
  head_.result(http::status::ok);
  head_.version(11);
  head_.set(http::field::server, "zrl-dashboard");
  head_.set(http::field::content_type, "text/event-stream");
  head_.set(http::field::cache_control, "no-cache");
  head_.chunked(true);
  headWriter_.emplace(head_);
  writing_ = true;
  connection_->stream.expiresAfter(server_.options.writeTimeout);
  http::async_write_header(connection_->stream, *headWriter_,
                           [self = shared_from_this()](beast::error_code error, size_t) {
                             self->writing_ = false;
                             self->headWriter_.reset();
                             self->head_ = {};
                             if (error) return self->end();
                             if (self->state_ == State::head) self->state_ = State::open;
                             self->watchForEnd();
                             self->armKeepAlive();
                             self->writeNext();
                           });
}

// One read stays pending while the stream is open, so that a client that
// goes away is noticed at once; what it sends is ignored.
void ZRLDashboardStreamSession::watchForEnd() {
  connection_->stream.expiresNever();
  connection_->stream.async_read_some(net::buffer(ignored_),
                                      [self = shared_from_this()](beast::error_code error, size_t) {
                                        if (error) return self->end();
                                        self->watchForEnd();
                                      });
}

void ZRLDashboardStreamSession::armKeepAlive() {
  if (!keepAlive_) keepAlive_.emplace(strand_);
  keepAlive_->expires_after(server_.options.keepAliveInterval);
  keepAlive_->async_wait([self = shared_from_this()](beast::error_code error) {
    if (error || self->state_ == State::ended) return;
    if (self->queue_.empty() && !self->writing_) {
      static const auto comment = std::make_shared<const std::string>(kKeepAliveComment);
      self->queue_.emplace_back(comment, false);
      self->writeNext();
    }
    self->armKeepAlive();
  });
}

void ZRLDashboardStreamSession::enqueue(std::shared_ptr<const std::string> text, bool replayed,
                                        std::chrono::steady_clock::time_point handedOut) {
  if (state_ == State::closing || state_ == State::ended) return;
  if (!replayed && live_ >= server_.options.streamQueueLimit) {
    // The reader has fallen too far behind: it reconnects and catches up
    // from its last event id.
    return end();
  }
  if (!replayed) ++live_;
  queue_.emplace_back(std::move(text), !replayed, handedOut);
  if (state_ == State::open && !writing_) writeNext();
}

void ZRLDashboardStreamSession::writeNext() {
  if (state_ == State::ended) return;
  if (queue_.empty()) {
    if (state_ == State::closing) {
      writing_ = true;
      connection_->stream.expiresAfter(server_.options.writeTimeout);
      net::async_write(connection_->stream, http::make_chunk_last(),
                       [self = shared_from_this()](beast::error_code, size_t) { self->end(); });
    }
    return;
  }
  writing_ = true;
  connection_->stream.expiresAfter(server_.options.writeTimeout);
  net::async_write(connection_->stream, http::make_chunk(net::buffer(*queue_.front().text)),
                   [self = shared_from_this()](beast::error_code error, size_t) {
                     self->writing_ = false;
                     if (error) return self->end();
                     const Queued& written = self->queue_.front();
                     if (written.live) {
                       --self->live_;
                       if (self->server_.options.metrics != nullptr)
                         self->server_.options.metrics->written(std::chrono::steady_clock::now() -
                                                                written.handedOut);
                     }
                     self->queue_.pop_front();
                     self->writeNext();
                   });
}

// Ends the connection without more writes.
void ZRLDashboardStreamSession::end() {
  if (state_ == State::ended) return;
  state_ = State::ended;
  queue_.clear();
  if (keepAlive_) keepAlive_->cancel();
  server_.hub->leave(appId_, this);
  if (connection_) connection_->end();
}
