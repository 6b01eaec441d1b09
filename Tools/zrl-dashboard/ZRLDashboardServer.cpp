// With ZRLDashboardExchange.cpp, ZRLDashboardTLSStream.cpp and the two
// sessions, the only sources of the dashboard that include Boost.Beast (its
// compiled parts are in ZRLDashboardBeast.cpp); none includes a platform
// header: Boost.Asio and the platform layer's Asio do not mix in one file.
#include "Tools/zrl-dashboard/ZRLDashboardServer.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <algorithm>
#include <iostream>
#include <vector>

#include "Tools/zrl-dashboard/ZRLDashboardHTTPSession.h"
#include "Tools/zrl-dashboard/ZRLDashboardServerImpl.h"

namespace beast = boost::beast;
namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;

namespace {

// How much lower the uploads' thread runs than the others (a nice value).
constexpr int kUploadsNiceness = 10;
// How often a failed accept is tried again.
constexpr std::chrono::milliseconds kAcceptRetry{100};

}  // namespace

ZRLDashboardServer::Impl::Impl(const Options& serverOptions)
    : options(serverOptions),
      acceptor(io),
      acceptRetry(io),
      signals(io, SIGINT, SIGTERM),
      grace(io) {
  if (options.maximumConnections == 0)
    options.maximumConnections = ZRLDashboardServer::defaultMaximumConnections();
}

ZRLDashboardConnection::ZRLDashboardConnection(tcp::socket socket, ZRLDashboardServer::Impl& owner)
    : server(owner), stream(std::move(socket), owner.tls.native_handle()) {}

void ZRLDashboardConnection::end() {
  beast::error_code ignored;
  stream.expiresNever();
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream.socket().close(ignored);
}

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
    std::shared_ptr<ZRLDashboardHTTPSession> session;
    {
      std::lock_guard lock(connectionsMutex);
      const bool refused = connections.size() >= options.maximumConnections;
      auto connection = std::make_unique<ZRLDashboardConnection>(std::move(socket), *this);
      const ZRLDashboardConnection* key = connection.get();
      session = std::make_shared<ZRLDashboardHTTPSession>(std::move(connection), refused);
      connections.emplace(key, session);
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
  // The streams end with their last chunk; the other connections at once.
  hub->closeAll();
  std::vector<std::shared_ptr<ZRLDashboardHTTPSession>> sessions;
  {
    std::lock_guard lock(connectionsMutex);
    if (connections.empty()) return io.stop();
    for (const auto& [key, weak] : connections)
      if (auto session = weak.lock()) sessions.push_back(std::move(session));
  }
  for (const auto& session : sessions)
    session->close();
  // The context stops when the last connection has ended, or at the deadline.
  grace.expires_after(options.shutdownGrace);
  grace.async_wait([this](beast::error_code) { io.stop(); });
}

void ZRLDashboardServer::Impl::connectionEnded(const ZRLDashboardConnection* connection) {
  std::lock_guard lock(connectionsMutex);
  connections.erase(connection);
  if (connections.empty() && stopping && !io.stopped()) net::post(io, [this] { io.stop(); });
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
  const auto address = net::ip::make_address(options.address, failure);
  if (failure) {
    if (error != nullptr) *error = "not an IP address: '" + options.address + "'";
    return nullptr;
  }
  const tcp::endpoint endpoint(address, options.port);
  impl->acceptor.open(endpoint.protocol(), failure);
  if (!failure) impl->acceptor.set_option(net::socket_base::reuse_address(true), failure);
  if (!failure) impl->acceptor.bind(endpoint, failure);
  if (!failure) impl->acceptor.listen(net::socket_base::max_listen_connections, failure);
  if (failure) {
    if (error != nullptr)
      *error = "listening on " + options.address + " port " + std::to_string(options.port) + ": " +
               failure.message();
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

void ZRLDashboardServer::onStorageThread(std::function<void()> work) {
  net::post(impl_->storage, std::move(work));
}

void ZRLDashboardServer::stop() {
  net::post(impl_->io, [impl = impl_.get()] {
    if (impl->hub != nullptr) impl->beginStop();
  });
}
