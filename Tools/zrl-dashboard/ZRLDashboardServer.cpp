// With ZRLDashboardExchange.cpp, the only source of the dashboard that
// includes Boost.Beast (its compiled parts are in ZRLDashboardBeast.cpp),
// and it includes no platform header: Boost.Asio and the platform layer's
// Asio do not mix in one file.
#include "Tools/zrl-dashboard/ZRLDashboardServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/compose.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <iostream>
#include <map>
#include <mutex>
#include <vector>

#include "Tools/zrl-dashboard/ZRLDashboardExchange.h"

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

namespace {

// How long a connection refused for the cap on connections may take to
// send its request before it is closed without an answer.
constexpr std::chrono::milliseconds kRefusedPatience{5000};
// How much lower the uploads' thread runs than the others (a nice value).
constexpr int kUploadsNiceness = 10;
// How often a failed accept is tried again.
constexpr std::chrono::milliseconds kAcceptRetry{100};
// One comment line, without the blank line that would end a block: the
// plug-in's client makes a record of every complete block, comment-only
// ones included, and would hand its handler an empty message every 15
// seconds. The line joins the next event's block, where it is skipped.
constexpr std::string_view kKeepAliveComment = ":\n";
// The most bytes that one write of a connection hands to OpenSSL at once.
constexpr size_t kMostWriteBytes = size_t{64} * 1024;

// TLS on a connection's socket with no buffers of its own: OpenSSL reads
// and writes the socket itself, and with SSL_MODE_RELEASE_BUFFERS gives its
// record buffers back while the connection is idle, which a device stream
// is most of the time (Asio's TLS stream keeps two 17 KB buffers and a
// 34 KB pair of memory BIOs per connection). One read and one write may be
// pending at once, as Beast needs; every call is made on the connection's
// strand. A deadline, as Beast's tcp_stream has, fails the operations
// pending when it passes, and those started after it, with error::timeout.
class TlsStream {
 public:
  using executor_type = tcp::socket::executor_type;

  TlsStream(tcp::socket socket, SSL_CTX* context)
      : socket_(std::move(socket)), ssl_(SSL_new(context)), deadline_(socket_.get_executor()) {
    beast::error_code ignored;
    socket_.native_non_blocking(true, ignored);
    if (ssl_ != nullptr) {
      SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                             SSL_MODE_RELEASE_BUFFERS);
      if (SSL_set_fd(ssl_, static_cast<int>(socket_.native_handle())) != 1) {
        SSL_free(ssl_);
        ssl_ = nullptr;
      }
    }
  }
  ~TlsStream() {
    alive_->stream.store(nullptr);
    if (ssl_ != nullptr) SSL_free(ssl_);
  }
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  executor_type get_executor() { return socket_.get_executor(); }
  tcp::socket& socket() { return socket_; }

  void expiresAfter(std::chrono::milliseconds timeout) {
    timedOut_ = false;
    deadline_.expires_after(timeout);
    // A cancelled wait (a new deadline) runs the handler with
    // operation_aborted; one that passed just before the stream's end may
    // run after it, and finds the stream gone.
    deadline_.async_wait([alive = alive_](beast::error_code error) {
      TlsStream* stream = alive->stream.load();
      if (error || stream == nullptr) return;
      stream->timedOut_ = true;
      beast::error_code ignored;
      stream->socket_.cancel(ignored);
    });
  }
  void expiresNever() {
    timedOut_ = false;
    deadline_.cancel();
  }

  template <class Handler>
  auto async_handshake(Handler&& handler) {
    return start(Call::Accept, net::mutable_buffer(), std::forward<Handler>(handler));
  }
  template <class MutableBuffers, class Handler>
  auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    return start(Call::Read, beast::buffers_front(buffers), std::forward<Handler>(handler));
  }
  template <class ConstBuffers, class Handler>
  auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    // One record for a sequence of pieces (a chunk's size line, its text,
    // its line end), rather than one record for each.
    std::string bytes(std::min(net::buffer_size(buffers), kMostWriteBytes), '\0');
    net::buffer_copy(net::buffer(bytes), buffers);
    return start(Call::Write, std::move(bytes), std::forward<Handler>(handler));
  }

 private:
  enum class Call { Accept, Read, Write };

  // One operation: the OpenSSL call again each time the socket is ready
  // for what it waits for. Never completes inside the call that starts it.
  template <class Buffer>
  struct Operation {
    TlsStream& stream;
    Call call;
    Buffer buffer;
    bool started = false;

    template <class Self>
    void operator()(Self& self, beast::error_code error = {}) {
      if (!started) {
        started = true;
        return net::post(std::move(self));
      }
      if (stream.timedOut_) return self.complete(beast::error::timeout, 0);
      if (error) return self.complete(error, 0);
      if (stream.ssl_ == nullptr) return self.complete(net::error::no_memory, 0);
      // Once the socket is closed its descriptor may already belong to
      // another connection: OpenSSL must not touch it again.
      if (!stream.socket_.is_open()) return self.complete(net::error::bad_descriptor, 0);
      size_t done = 0;
      ERR_clear_error();
      int result = 0;
      switch (call) {
        case Call::Accept:
          result = SSL_accept(stream.ssl_);
          break;
        case Call::Read:
          if (size() == 0) return self.complete({}, 0);
          result = SSL_read_ex(stream.ssl_, data(), size(), &done);
          break;
        case Call::Write:
          if (size() == 0) return self.complete({}, 0);
          result = SSL_write_ex(stream.ssl_, data(), size(), &done);
          break;
      }
      if (result == 1) return self.complete({}, done);
      const int reason = SSL_get_error(stream.ssl_, result);
      if (reason == SSL_ERROR_WANT_READ) {
        return stream.socket_.async_wait(tcp::socket::wait_read, std::move(self));
      }
      if (reason == SSL_ERROR_WANT_WRITE) {
        return stream.socket_.async_wait(tcp::socket::wait_write, std::move(self));
      }
      self.complete(errorOf(reason), 0);
    }

    void* data() { return buffer.data(); }
    size_t size() const { return buffer.size(); }
  };

  static beast::error_code errorOf(int reason) {
    const unsigned long queued = ERR_get_error();
    if (queued != 0) {
      return {static_cast<int>(queued), net::error::get_ssl_category()};
    }
    if (reason == SSL_ERROR_SYSCALL && errno != 0) {
      return {errno, boost::system::system_category()};
    }
    // The peer ended the connection, with or without its close notify.
    return reason == SSL_ERROR_ZERO_RETURN ? beast::error_code(net::error::eof)
                                           : beast::error_code(net::ssl::error::stream_truncated);
  }

  template <class Buffer, class Handler>
  auto start(Call call, Buffer buffer, Handler&& handler) {
    return net::async_compose<Handler, void(beast::error_code, size_t)>(
        Operation<Buffer>{*this, call, std::move(buffer)}, handler, socket_);
  }

  // What the deadline's handler looks at to know whether the stream is still there.
  struct Alive {
    explicit Alive(TlsStream* s) : stream(s) {}
    std::atomic<TlsStream*> stream;
  };

  tcp::socket socket_;
  SSL* ssl_;
  net::steady_timer deadline_;
  bool timedOut_ = false;
  const std::shared_ptr<Alive> alive_ = std::make_shared<Alive>(this);
};

}  // namespace

struct ZRLDashboardServer::Impl {
  explicit Impl(const Options& serverOptions)
      : options(serverOptions),
        acceptor(io),
        acceptRetry(io),
        signals(io, SIGINT, SIGTERM),
        grace(io) {
    if (options.maximumConnections == 0)
      options.maximumConnections = ZRLDashboardServer::defaultMaximumConnections();
  }

  Options options;
  // Every open connection, so that a stop can close them; declared before
  // the context, whose end destroys the connections still in its queue.
  std::mutex sessionsMutex;
  std::map<const void*, std::weak_ptr<ZRLDashboardStreamSink>> sessions;
  net::io_context io{1};
  ssl::context tls{ssl::context::tls_server};
  tcp::acceptor acceptor;
  net::steady_timer acceptRetry;
  // The accepts that failed in a row, and since when (network thread).
  size_t failedAccepts = 0;
  std::chrono::steady_clock::time_point acceptsFailingSince;
  net::signal_set signals;
  net::steady_timer grace;
  // Every router call but the uploads of captures, on the main store.
  net::thread_pool storage{1};
  // The uploads of captures, when the router gives them a store of their own.
  net::thread_pool uploads{1};
  ZRLDashboardRouter* router = nullptr;
  ZRLDashboardHub* hub = nullptr;
  std::atomic<bool> stopping{false};

  void accept();
  void beginStop();
  void sessionEnded(const void* session);
};

namespace {

using Impl = ZRLDashboardServer::Impl;

// One client connection: requests one after another, each routed on the
// storage thread; an event-stream request turns the connection into a
// stream that the hub feeds.
class Session : public ZRLDashboardStreamSink, public std::enable_shared_from_this<Session> {
 public:
  // A refused session answers its request with 503 and ends: the server
  // has as many connections open as it serves.
  Session(tcp::socket socket, Impl& server, bool refused)
      : server_(server),
        stream_(std::move(socket), server.tls.native_handle()),
        refused_(refused) {}
  ~Session() override {
    if (appId_) server_.hub->leave(*appId_, this);
    server_.sessionEnded(this);
  }

  void start() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
      self->stream_.expiresAfter(self->readPatience());
      self->stream_.async_handshake([self](beast::error_code error, size_t) {
        if (!error) self->readRequest();
      });
    });
  }

  // Any thread.
  void deliver(std::shared_ptr<const std::string> text, bool replayed) override {
    net::post(stream_.get_executor(),
              [self = shared_from_this(), text = std::move(text), replayed]() mutable {
                self->enqueue(std::move(text), replayed);
              });
  }
  void close() override {
    net::post(stream_.get_executor(), [self = shared_from_this()] {
      self->closing_ = true;
      if (!self->streaming_) {
        self->abort();
      } else if (!self->writing_) {
        self->writeNext();
      }
    });
  }

 private:
  std::chrono::milliseconds readPatience() const {
    return refused_ ? std::min(server_.options.readTimeout, kRefusedPatience)
                    : server_.options.readTimeout;
  }

  void readRequest() {
    parser_.emplace();
    ZRLDashboardExchange::limit(*parser_);
    stream_.expiresAfter(readPatience());
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, size_t) { self->onHeader(error); });
  }

  // A client that asks before sending its body (libcurl does for large
  // uploads) is told to go on at once rather than after its own wait.
  void onHeader(beast::error_code error) {
    if (!error && refused_) {
      ZRLDashboardResponse busy =
          ZRLDashboardRouter::error(503, "the dashboard serves at most " +
                                             std::to_string(server_.options.maximumConnections) +
                                             " connections at once; try again later");
      busy.headers.emplace_back("Retry-After", "1");
      return respond(std::move(busy), false);
    }
    if (error || parser_->is_done()) return onRead(error);
    const auto expect = parser_->get()[http::field::expect];
    if (!beast::iequals(expect, "100-continue")) return readBody();
    auto goOn = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
    stream_.expiresAfter(server_.options.writeTimeout);
    http::async_write(stream_, *goOn,
                      [self = shared_from_this(), goOn](beast::error_code failure, size_t) {
                        if (failure) return self->abort();
                        self->readBody();
                      });
  }

  void readBody() {
    stream_.expiresAfter(server_.options.readTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code error, size_t) { self->onRead(error); });
  }

  void onRead(beast::error_code error) {
    if (error) {
      auto answer = ZRLDashboardExchange::readFailure(error, parser_ && parser_->got_some());
      if (answer) return respond(std::move(*answer), false);
      return abort();
    }
    if (server_.stopping) {
      abort();
      return;
    }
    auto message = parser_->release();
    ZRLDashboardRequest request = ZRLDashboardExchange::request(message);
    const bool keepAlive = message.keep_alive();

    // Routed on the storage thread (an upload of a capture on the uploads'
    // own, when it has one, so that no push waits behind uploads); the
    // answer comes back to this connection's strand.
    auto& lane =
        server_.router->uploadsHaveTheirOwnStore() && ZRLDashboardRouter::isCaptureUpload(request)
            ? server_.uploads
            : server_.storage;
    net::post(lane, [self = shared_from_this(), request = std::move(request), keepAlive]() {
      ZRLDashboardResponse response = self->server_.router->handle(request);
      if (response.streamAppId) {
        self->appId_ = response.streamAppId;  // read on the strand only after the post below
        self->server_.router->subscribe(*response.streamAppId, response.lastEventID, self);
      }
      net::post(self->stream_.get_executor(),
                [self, response = std::move(response), keepAlive]() mutable {
                  if (response.streamAppId) {
                    self->beginStream();
                  } else {
                    self->respond(std::move(response), keepAlive);
                  }
                });
    });
  }

  void respond(ZRLDashboardResponse response, bool keepAlive) {
    auto answer = std::make_shared<ZRLDashboardExchange::Response>(
        ZRLDashboardExchange::response(std::move(response), keepAlive && !server_.stopping));
    stream_.expiresAfter(server_.options.writeTimeout);
    http::async_write(stream_, *answer,
                      [self = shared_from_this(), answer](beast::error_code error, size_t) {
                        if (error) return self->abort();
                        if (answer->keep_alive()) return self->readRequest();
                        self->abort();
                      });
  }

  void beginStream() {
    if (ended_) return;
    streaming_ = true;
    // The request is done with: an open stream keeps only what it needs.
    parser_.reset();
    buffer_.clear();
    buffer_.shrink_to_fit();
    head_.result(http::status::ok);
    head_.version(11);
    head_.set(http::field::server, "zrl-dashboard");
    head_.set(http::field::content_type, "text/event-stream");
    head_.set(http::field::cache_control, "no-cache");
    head_.chunked(true);
    headWriter_.emplace(head_);
    writing_ = true;
    stream_.expiresAfter(server_.options.writeTimeout);
    http::async_write_header(stream_, *headWriter_,
                             [self = shared_from_this()](beast::error_code error, size_t) {
                               self->writing_ = false;
                               self->headWriter_.reset();
                               self->head_ = {};
                               if (error) return self->abort();
                               self->watchForEnd();
                               self->armKeepAlive();
                               self->writeNext();
                             });
  }

  // One read stays pending while the stream is open, so that a client that
  // goes away is noticed at once; what it sends is ignored.
  void watchForEnd() {
    stream_.expiresNever();
    stream_.async_read_some(net::buffer(ignored_),
                            [self = shared_from_this()](beast::error_code error, size_t) {
                              if (error) return self->abort();
                              self->watchForEnd();
                            });
  }

  void armKeepAlive() {
    if (!keepAlive_) keepAlive_.emplace(stream_.get_executor());
    keepAlive_->expires_after(server_.options.keepAliveInterval);
    keepAlive_->async_wait([self = shared_from_this()](beast::error_code error) {
      if (error || self->ended_) return;
      if (self->queue_.empty() && !self->writing_) {
        static const auto comment = std::make_shared<const std::string>(kKeepAliveComment);
        self->queue_.emplace_back(comment, false);
        self->writeNext();
      }
      self->armKeepAlive();
    });
  }

  void enqueue(std::shared_ptr<const std::string> text, bool replayed) {
    if (ended_ || closing_) return;
    if (!replayed && live_ >= server_.options.streamQueueLimit) {
      // The reader has fallen too far behind: it reconnects and catches up
      // from its last event id.
      abort();
      return;
    }
    if (!replayed) ++live_;
    queue_.emplace_back(std::move(text), !replayed);
    if (streaming_ && !writing_) writeNext();
  }

  void writeNext() {
    if (ended_) return;
    if (queue_.empty()) {
      if (closing_) {
        writing_ = true;
        stream_.expiresAfter(server_.options.writeTimeout);
        net::async_write(stream_, http::make_chunk_last(),
                         [self = shared_from_this()](beast::error_code, size_t) { self->abort(); });
      }
      return;
    }
    writing_ = true;
    stream_.expiresAfter(server_.options.writeTimeout);
    net::async_write(stream_, http::make_chunk(net::buffer(*queue_.front().text)),
                     [self = shared_from_this()](beast::error_code error, size_t) {
                       self->writing_ = false;
                       if (error) return self->abort();
                       if (self->queue_.front().live) --self->live_;
                       self->queue_.pop_front();
                       self->writeNext();
                     });
  }

  // Ends the connection without more writes.
  void abort() {
    if (ended_) return;
    ended_ = true;
    queue_.clear();
    if (keepAlive_) keepAlive_->cancel();
    if (appId_) server_.hub->leave(*appId_, this);
    beast::error_code ignored;
    stream_.expiresNever();
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  struct Queued {
    Queued(std::shared_ptr<const std::string> t, bool l) : text(std::move(t)), live(l) {}
    std::shared_ptr<const std::string> text;
    bool live = false;
  };

  Impl& server_;
  TlsStream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::empty_body> head_;
  std::optional<http::response_serializer<http::empty_body>> headWriter_;
  std::optional<net::steady_timer> keepAlive_;
  std::deque<Queued> queue_;
  size_t live_ = 0;
  std::optional<std::string> appId_;
  char ignored_[512] = {};
  const bool refused_;
  bool streaming_ = false;
  bool writing_ = false;
  bool closing_ = false;
  bool ended_ = false;
};

}  // namespace

void ZRLDashboardServer::Impl::accept() {
  acceptor.async_accept(net::make_strand(io), [this](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted || !acceptor.is_open()) return;
    if (error) {
      // Out of descriptors, most likely: try again shortly rather than
      // spin, and say so once until accepting works again.
      if (failedAccepts++ == 0) {
        acceptsFailingSince = std::chrono::steady_clock::now();
        std::cerr << "zrl-dashboard: accepting a connection failed: " << error.message()
                  << " (trying again every " << kAcceptRetry.count()
                  << " ms until connections close)" << std::endl;
      }
      acceptRetry.expires_after(kAcceptRetry);
      acceptRetry.async_wait([this](beast::error_code failure) {
        if (!failure) accept();
      });
      return;
    }
    if (failedAccepts > 0) {
      const std::chrono::duration<double> failing =
          std::chrono::steady_clock::now() - acceptsFailingSince;
      std::cerr << "zrl-dashboard: accepting connections again after " << failedAccepts
                << " failed attempts in " << failing.count() << " s" << std::endl;
      failedAccepts = 0;
    }
    std::shared_ptr<Session> session;
    {
      std::lock_guard lock(sessionsMutex);
      session = std::make_shared<Session>(std::move(socket), *this,
                                          sessions.size() >= options.maximumConnections);
      sessions.emplace(session.get(), session);
    }
    session->start();
    accept();
  });
}

void ZRLDashboardServer::Impl::beginStop() {
  if (stopping.exchange(true)) return;
  beast::error_code ignored;
  signals.cancel(ignored);
  acceptor.close(ignored);
  acceptRetry.cancel();
  hub->closeAll();
  std::vector<std::shared_ptr<ZRLDashboardStreamSink>> open;
  {
    std::lock_guard lock(sessionsMutex);
    for (const auto& [key, weak] : sessions)
      if (auto session = weak.lock()) open.push_back(std::move(session));
  }
  if (open.empty()) return io.stop();
  for (const auto& session : open)
    session->close();
  // The context stops when the last connection has ended, or at the deadline.
  grace.expires_after(options.shutdownGrace);
  grace.async_wait([this](beast::error_code) { io.stop(); });
}

void ZRLDashboardServer::Impl::sessionEnded(const void* session) {
  std::lock_guard lock(sessionsMutex);
  sessions.erase(session);
  if (sessions.empty() && stopping && !io.stopped()) net::post(io, [this] { io.stop(); });
}

std::unique_ptr<ZRLDashboardServer> ZRLDashboardServer::make(const Options& options,
                                                             std::string* error) {
  // OpenSSL writes the connections' sockets itself, without MSG_NOSIGNAL: a
  // write to a client that has just gone away must fail with EPIPE, not
  // end the process.
  ::signal(SIGPIPE, SIG_IGN);  // NOLINT(cert-err33-c)
  auto impl = std::make_unique<Impl>(options);
  beast::error_code failure;
  impl->tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                            ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                            ssl::context::no_tlsv1_1,
                        failure);
  // OpenSSL's record buffers are given back while a connection is idle,
  // which most event streams are most of the time.
  SSL_CTX_set_mode(impl->tls.native_handle(), SSL_MODE_RELEASE_BUFFERS);
  if (!failure) impl->tls.use_certificate_chain_file(options.certificateChainFile, failure);
  if (!failure) impl->tls.use_private_key_file(options.keyFile, ssl::context::pem, failure);
  if (failure) {
    if (error != nullptr) *error = "loading the certificate: " + failure.message();
    return nullptr;
  }
  const tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), options.port);
  impl->acceptor.open(endpoint.protocol(), failure);
  if (!failure) impl->acceptor.set_option(net::socket_base::reuse_address(true), failure);
  if (!failure) impl->acceptor.bind(endpoint, failure);
  if (!failure) impl->acceptor.listen(net::socket_base::max_listen_connections, failure);
  if (failure) {
    if (error != nullptr)
      *error = "listening on 127.0.0.1:" + std::to_string(options.port) + ": " + failure.message();
    return nullptr;
  }
  return std::unique_ptr<ZRLDashboardServer>(new ZRLDashboardServer(std::move(impl)));
}

ZRLDashboardServer::ZRLDashboardServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ZRLDashboardServer::~ZRLDashboardServer() = default;

unsigned short ZRLDashboardServer::port() const {
  beast::error_code ignored;
  return impl_->acceptor.local_endpoint(ignored).port();
}

size_t ZRLDashboardServer::defaultMaximumConnections() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return 65536;
  const auto limit = static_cast<size_t>(files.rlim_cur);
  return limit - std::min<size_t>(kReservedDescriptors, limit / 2);
}

void ZRLDashboardServer::run(ZRLDashboardRouter& router, ZRLDashboardHub& hub) {
  impl_->router = &router;
  impl_->hub = &hub;
  // Named, so that a look at the process's threads tells where time goes.
  net::post(impl_->storage, [] { pthread_setname_np(pthread_self(), "zrl-storage"); });
  // The uploads' work, the heaviest the dashboard does, gives way to the
  // network thread and the rest: a push is written while uploads go on.
  net::post(impl_->uploads, [] {
    pthread_setname_np(pthread_self(), "zrl-uploads");
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kUploadsNiceness);
  });
  impl_->signals.async_wait([this](beast::error_code error, int) {
    if (!error) impl_->beginStop();
  });
  impl_->accept();
  impl_->io.run();
  // Work already handed to the storage threads is finished (its writes
  // committed) before the caller closes the stores.
  impl_->storage.join();
  impl_->uploads.join();
}

void ZRLDashboardServer::stop() {
  net::post(impl_->io, [impl = impl_.get()] {
    if (impl->hub != nullptr) impl->beginStop();
  });
}
