#include "Tools/ZRLLocalServer/ZRLLocalServer.h"

#include <unordered_map>

#include "Tools/ZRLLocalServer/ZRLLocalConnection.h"

// One start-to-stop life of the server: its event loop, listener, TLS
// context and thread. The context is declared first so that it outlives the
// connections that the event loop still holds when it is destroyed.
struct ZRLLocalServerRun {
  std::unique_ptr<asio::ssl::context> tls;
  asio::io_context io{1};
  asio::ip::tcp::acceptor acceptor{io};
  std::shared_ptr<ZRLLocalGate> gate = std::make_shared<ZRLLocalGate>();
  std::unordered_map<uint64_t, std::weak_ptr<ZRLLocalConnection>> connections;  // server thread
  std::thread thread;

  void accept(const std::shared_ptr<ZRLLocalServerState>& state) {
    acceptor.async_accept([this, state](const std::error_code& error,
                                        asio::ip::tcp::socket socket) {
      if (error) {
        if (error == asio::error::operation_aborted || !acceptor.is_open()) return;
      } else {
        const uint64_t index = state->accepted.fetch_add(1);
        auto connection =
            std::make_shared<ZRLLocalConnection>(state, gate, std::move(socket), tls.get(), index);
        std::erase_if(connections, [](const auto& entry) { return entry.second.expired(); });
        connections.emplace(index, connection);
        connection->start();
      }
      accept(state);
    });
  }
};

ZRLLocalServer::ZRLLocalServer() : ZRLLocalServer(Options{}) {}

ZRLLocalServer::ZRLLocalServer(Options options)
    : options_(std::move(options)),
      state_(std::make_shared<ZRLLocalServerState>()),
      port_(options_.port) {}

ZRLLocalServer::~ZRLLocalServer() {
  stop();
}

bool ZRLLocalServer::start(std::string* error) {
  std::lock_guard lock(lifecycleMutex_);
  if (run_) return true;
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
  };
  auto run = std::make_unique<ZRLLocalServerRun>();
  std::error_code failure;
  if (options_.certificate) {
    run->tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    run->tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                              asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                              asio::ssl::context::no_tlsv1_1,
                          failure);
    if (!failure) {
      run->tls->use_certificate_chain_file(options_.certificate->certificateFile(), failure);
    }
    if (!failure) {
      run->tls->use_private_key_file(options_.certificate->keyFile(), asio::ssl::context::pem,
                                     failure);
    }
    if (failure) return fail("TLS set-up: " + failure.message());
  }

  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port_);
  run->acceptor.open(endpoint.protocol(), failure);
  // A restart must get its port back while the old connections linger.
  if (!failure) run->acceptor.set_option(asio::socket_base::reuse_address(true), failure);
  if (!failure) run->acceptor.bind(endpoint, failure);
  if (!failure) run->acceptor.listen(asio::socket_base::max_listen_connections, failure);
  if (failure)
    return fail("listening on 127.0.0.1:" + std::to_string(port_) + ": " + failure.message());
  port_ = run->acceptor.local_endpoint().port();

  run->accept(state_);
  ZRLLocalServerRun* running = run.get();
  run->thread = std::thread([running] {
    {
      std::lock_guard gateLock(running->gate->mutex);
      running->gate->loopThread = std::this_thread::get_id();
    }
    running->io.run();
  });
  run_ = std::move(run);
  return true;
}

void ZRLLocalServer::stop() {
  std::lock_guard lock(lifecycleMutex_);
  if (!run_) return;
  {
    // From here on no stream handle reaches the event loop.
    std::lock_guard gateLock(run_->gate->mutex);
    run_->gate->open = false;
  }
  ZRLLocalServerRun* running = run_.get();
  asio::post(running->io, [running] {
    std::error_code ignored;
    running->acceptor.close(ignored);
    for (auto& [index, weakConnection] : running->connections) {
      if (auto connection = weakConnection.lock()) connection->closeNow();
    }
    running->connections.clear();
  });
  // With the listener and every connection closed the loop runs out of work.
  running->thread.join();
  run_.reset();
}

bool ZRLLocalServer::isRunning() const {
  std::lock_guard lock(lifecycleMutex_);
  return run_ != nullptr;
}

uint16_t ZRLLocalServer::port() const {
  std::lock_guard lock(lifecycleMutex_);
  return port_;
}

std::string ZRLLocalServer::baseURL() const {
  return std::string(isTLS() ? "https" : "http") + "://127.0.0.1:" + std::to_string(port());
}

std::string ZRLLocalServer::URL(std::string_view pathAndQuery) const {
  return baseURL() + std::string(pathAndQuery);
}

void ZRLLocalServer::route(std::string method, std::string path, ZRLLocalHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->routes[{std::move(method), std::move(path)}] = std::move(handler);
}

void ZRLLocalServer::setFallback(ZRLLocalHandler handler) {
  std::lock_guard lock(state_->mutex);
  state_->fallback = std::move(handler);
}

std::vector<ZRLLocalRequest> ZRLLocalServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

size_t ZRLLocalServer::requestCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests.size();
}

std::optional<ZRLLocalRequest> ZRLLocalServer::waitForRequest(
    size_t index, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  if (!state_->arrived.wait_for(lock, timeout, [&] { return state_->requests.size() > index; })) {
    return std::nullopt;
  }
  return state_->requests[index];
}

uint64_t ZRLLocalServer::connectionCount() const {
  return state_->accepted.load();
}

size_t ZRLLocalServer::openConnectionCount() const {
  return state_->open.load();
}
