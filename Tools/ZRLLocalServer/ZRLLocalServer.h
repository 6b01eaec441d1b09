#pragma once
// An HTTP/1.1 server inside the process, for the tests and the benchmarks:
// plain TCP or TLS on 127.0.0.1, routes by method and path, whole,
// streaming and raw answers, and a record of what arrived.
//
//   auto certificate = ZRLLocalCertificate::generate(directory);
//   ZRLLocalServer server({.certificate = certificate});
//   server.route("GET", "/hello", [](const ZRLLocalRequest&, ZRLLocalResponder& r) {
//     r.respond(200, {{"Content-Type", "text/plain"}}, "hi");
//   });
//   server.start();  // then give clients server.baseURL() and the certificate file
//
// Handlers run on the server's one thread: they must not block (a stream can
// be written later from any thread).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Tools/ZRLLocalServer/ZRLLocalCertificate.h"
#include "Tools/ZRLLocalServer/ZRLLocalRequest.h"
#include "Tools/ZRLLocalServer/ZRLLocalResponder.h"
#include "Tools/ZRLLocalServer/ZRLLocalStream.h"

using ZRLLocalHandler = std::function<void(const ZRLLocalRequest&, ZRLLocalResponder&)>;

struct ZRLLocalServerState;
struct ZRLLocalServerRun;

class ZRLLocalServer {
 public:
  struct Options {
    uint16_t port = 0;  // 0: an ephemeral port, chosen at the first start
    std::optional<ZRLLocalCertificate> certificate;  // present: TLS
  };

  explicit ZRLLocalServer(Options options);
  ZRLLocalServer();
  // Stops the server.
  ~ZRLLocalServer();
  ZRLLocalServer(const ZRLLocalServer&) = delete;
  ZRLLocalServer& operator=(const ZRLLocalServer&) = delete;

  // Listens and serves on a thread of its own. A server that is started
  // again after stop() listens on the same port, so clients see a restart.
  // False (with the reason in *error) when the port cannot be bound or the
  // certificate cannot be loaded.
  bool start(std::string* error = nullptr);
  // Closes the listener and every connection, and joins the thread.
  void stop();
  bool isRunning() const;

  uint16_t port() const;
  bool isTLS() const { return options_.certificate.has_value(); }
  // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT".
  std::string baseURL() const;
  // The base URL followed by the path (and query), which starts with "/".
  std::string URL(std::string_view pathAndQuery) const;

  // Handlers may be set and replaced while the server runs. A request that
  // matches no route goes to the fallback, or is answered 404.
  void route(std::string method, std::string path, ZRLLocalHandler handler);
  void setFallback(ZRLLocalHandler handler);

  // Every request that arrived in full, in order.
  std::vector<ZRLLocalRequest> requests() const;
  size_t requestCount() const;
  // The request with that index (from 0), waiting for it up to the time-out.
  std::optional<ZRLLocalRequest> waitForRequest(size_t index,
                                                std::chrono::milliseconds timeout) const;
  // Connections accepted so far, and those still open.
  uint64_t connectionCount() const;
  size_t openConnectionCount() const;

 private:
  Options options_;
  std::shared_ptr<ZRLLocalServerState> state_;
  mutable std::mutex lifecycleMutex_;
  uint16_t port_ = 0;
  std::unique_ptr<ZRLLocalServerRun> run_;
};
