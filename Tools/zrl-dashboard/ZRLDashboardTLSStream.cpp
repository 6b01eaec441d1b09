#include "Tools/zrl-dashboard/ZRLDashboardTLSStream.h"

#include <openssl/err.h>

#include <boost/asio/ssl/error.hpp>

#include <cerrno>

namespace net = boost::asio;
using error_code = boost::beast::error_code;

namespace {

error_code errorOf(int reason) {
  const unsigned long queued = ERR_get_error();
  if (queued != 0) return {static_cast<int>(queued), net::error::get_ssl_category()};
  if (reason == SSL_ERROR_SYSCALL && errno != 0) return {errno, boost::system::system_category()};
  // The peer ended the connection, with or without its close notify.
  return reason == SSL_ERROR_ZERO_RETURN ? error_code(net::error::eof)
                                         : error_code(net::ssl::error::stream_truncated);
}

}  // namespace

ZRLDashboardTLSStream::ZRLDashboardTLSStream(tcp::socket socket, SSL_CTX* context)
    : socket_(std::move(socket)), ssl_(SSL_new(context)), deadline_(socket_.get_executor()) {
  error_code ignored;
  socket_.native_non_blocking(true, ignored);
  if (ssl_ == nullptr) return;
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                         SSL_MODE_RELEASE_BUFFERS);
  if (SSL_set_fd(ssl_, static_cast<int>(socket_.native_handle())) != 1) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
}

ZRLDashboardTLSStream::~ZRLDashboardTLSStream() {
  alive_->stream.store(nullptr);
  if (ssl_ != nullptr) SSL_free(ssl_);
}

void ZRLDashboardTLSStream::expiresAfter(std::chrono::milliseconds timeout) {
  timedOut_ = false;
  deadline_.expires_after(timeout);
  // A cancelled wait (a new deadline) runs the handler with
  // operation_aborted; one that passed just before the stream's end may
  // run after it, and finds the stream gone.
  deadline_.async_wait([alive = alive_](error_code error) {
    ZRLDashboardTLSStream* stream = alive->stream.load();
    if (error || stream == nullptr) return;
    stream->timedOut_ = true;
    error_code ignored;
    stream->socket_.cancel(ignored);
  });
}

void ZRLDashboardTLSStream::expiresNever() {
  timedOut_ = false;
  deadline_.cancel();
}

ZRLDashboardTLSStream::Attempt ZRLDashboardTLSStream::attempt(Call call, void* data, size_t size) {
  if (ssl_ == nullptr) return {Attempt::Next::done, net::error::no_memory, 0};
  // Once the socket is closed its descriptor may already belong to another
  // connection: OpenSSL must not touch it again.
  if (!socket_.is_open()) return {Attempt::Next::done, net::error::bad_descriptor, 0};
  if (call != Call::accept && size == 0) return {};
  size_t done = 0;
  ERR_clear_error();
  int result = 0;
  switch (call) {
    case Call::accept:
      result = SSL_accept(ssl_);
      break;
    case Call::read:
      result = SSL_read_ex(ssl_, data, size, &done);
      break;
    case Call::write:
      result = SSL_write_ex(ssl_, data, size, &done);
      break;
  }
  if (result == 1) return {Attempt::Next::done, {}, done};
  const int reason = SSL_get_error(ssl_, result);
  if (reason == SSL_ERROR_WANT_READ) return {Attempt::Next::waitToRead, {}, 0};
  if (reason == SSL_ERROR_WANT_WRITE) return {Attempt::Next::waitToWrite, {}, 0};
  return {Attempt::Next::done, errorOf(reason), 0};
}
