#pragma once
// TLS on one connection's socket, for the dashboard's sessions, with no
// buffers of its own: OpenSSL reads and writes the socket itself, and with
// SSL_MODE_RELEASE_BUFFERS gives its record buffers back while the
// connection is idle, which a device's stream is most of the time (Asio's
// TLS stream keeps two 17 KB buffers and a 34 KB pair of memory BIOs per
// connection). One read and one write may be pending at once, as Beast
// needs. A deadline, as Beast's tcp_stream has, fails the operations
// pending when it passes, and those started after it, with error::timeout.
//
// Every call is made on the connection's strand (the socket's executor), and
// every member belongs to it; only the deadline's handler, which may run
// after the stream's end, looks at the stream through `alive_`.

#include <openssl/ssl.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/compose.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_prefix.hpp>
#include <boost/beast/core/error.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

class ZRLDashboardTLSStream {
  using tcp = boost::asio::ip::tcp;
  using error_code = boost::beast::error_code;

 public:
  using executor_type = tcp::socket::executor_type;

  // The most bytes that one write hands to OpenSSL at once.
  static constexpr size_t kMostWriteBytes = size_t{64} * 1024;

  ZRLDashboardTLSStream(tcp::socket socket, SSL_CTX* context);
  ~ZRLDashboardTLSStream();
  ZRLDashboardTLSStream(const ZRLDashboardTLSStream&) = delete;
  ZRLDashboardTLSStream& operator=(const ZRLDashboardTLSStream&) = delete;

  executor_type get_executor() { return socket_.get_executor(); }
  tcp::socket& socket() { return socket_; }
  // The connection's OpenSSL object (null when it could not be made).
  SSL* nativeHandle() { return ssl_; }

  void expiresAfter(std::chrono::milliseconds timeout);
  void expiresNever();

  template <class Handler>
  auto async_handshake(Handler&& handler) {
    return start(Call::accept, boost::asio::mutable_buffer(), std::forward<Handler>(handler));
  }
  template <class MutableBuffers, class Handler>
  auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    return start(Call::read, boost::beast::buffers_front(buffers), std::forward<Handler>(handler));
  }
  template <class ConstBuffers, class Handler>
  auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    // One record for a sequence of pieces (a chunk's size line, its text,
    // its line end), rather than one record for each.
    std::string bytes(std::min(boost::asio::buffer_size(buffers), kMostWriteBytes), '\0');
    boost::asio::buffer_copy(boost::asio::buffer(bytes), buffers);
    return start(Call::write, std::move(bytes), std::forward<Handler>(handler));
  }

 private:
  enum class Call { accept, read, write };
  // What one try of an OpenSSL call came to: done (with an error or the
  // bytes it moved), or waiting until the socket can be read or written.
  struct Attempt {
    enum class Next { done, waitToRead, waitToWrite } next = Next::done;
    error_code error;
    size_t bytes = 0;
  };
  Attempt attempt(Call call, void* data, size_t size);

  // One operation: the OpenSSL call again each time the socket is ready
  // for what it waits for. Never completes inside the call that starts it.
  template <class Buffer>
  struct Operation {
    ZRLDashboardTLSStream& stream;
    Call call;
    Buffer buffer;
    bool started = false;

    template <class Self>
    void operator()(Self& self, error_code error = {}) {
      if (!started) {
        started = true;
        return boost::asio::post(std::move(self));
      }
      if (stream.timedOut_) return self.complete(boost::beast::error::timeout, 0);
      if (error) return self.complete(error, 0);
      const Attempt tried = stream.attempt(call, buffer.data(), buffer.size());
      switch (tried.next) {
        case Attempt::Next::waitToRead:
          return stream.socket_.async_wait(tcp::socket::wait_read, std::move(self));
        case Attempt::Next::waitToWrite:
          return stream.socket_.async_wait(tcp::socket::wait_write, std::move(self));
        case Attempt::Next::done:
          return self.complete(tried.error, tried.bytes);
      }
    }
  };

  template <class Buffer, class Handler>
  auto start(Call call, Buffer buffer, Handler&& handler) {
    return boost::asio::async_compose<Handler, void(error_code, size_t)>(
        Operation<Buffer>{*this, call, std::move(buffer)}, handler, socket_);
  }

  // What the deadline's handler looks at to know whether the stream is still there.
  struct Alive {
    explicit Alive(ZRLDashboardTLSStream* s) : stream(s) {}
    std::atomic<ZRLDashboardTLSStream*> stream;
  };

  tcp::socket socket_;
  SSL* ssl_;
  boost::asio::steady_timer deadline_;
  bool timedOut_ = false;
  const std::shared_ptr<Alive> alive_ = std::make_shared<Alive>(this);
};
