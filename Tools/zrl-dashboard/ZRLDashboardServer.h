#pragma once
// The dashboard's HTTPS server: one network thread on an asynchronous core
// (an open event stream holds no thread), one storage thread on which
// requests are routed (and one for the uploads of captures, when the router
// gives them a store of their own), a bounded queue per event stream, a cap
// on open connections, time-outs for slow clients, and a clean end on
// SIGINT and SIGTERM.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardMetrics.h"
#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"

class ZRLDashboardServer {
 public:
  struct Options {
    // The address to listen on (IPv4 or IPv6); 0 picks a free port.
    std::string address = "127.0.0.1";
    unsigned short port = 0;
    std::string certificateChainFile;
    std::string keyFile;
    // The longest wait for a TLS handshake, a request's head or body, or
    // between two requests on a kept-alive connection.
    std::chrono::milliseconds readTimeout{30000};
    // The longest a write may take before the client counts as gone.
    std::chrono::milliseconds writeTimeout{30000};
    // How often an idle event stream gets a comment line.
    std::chrono::milliseconds keepAliveInterval{15000};
    // Live events that may wait for one stream; a stream past it is closed.
    size_t streamQueueLimit = 1024;
    // How long open work may go on after a signal before the server stops.
    std::chrono::milliseconds shutdownGrace{1000};
    // The most connections open at once: one more is answered 503 and
    // closed. 0 stands for defaultMaximumConnections().
    size_t maximumConnections = 0;
    // Where the requests and the streams' writes are counted, when set.
    ZRLDashboardMetrics* metrics = nullptr;
  };

  // Descriptors kept free of connections for the database, the page's
  // files and the like: at most half of the open-file limit.
  static constexpr size_t kReservedDescriptors = 64;
  // The open-file limit (RLIMIT_NOFILE) less the reserve.
  static size_t defaultMaximumConnections();

  // Loads the certificate and binds the address and port. Null on failure, with
  // the reason in *error.
  static std::unique_ptr<ZRLDashboardServer> make(const Options& options, std::string* error);
  ~ZRLDashboardServer();
  ZRLDashboardServer(const ZRLDashboardServer&) = delete;
  ZRLDashboardServer& operator=(const ZRLDashboardServer&) = delete;

  unsigned short port() const;
  // Serves on the calling thread until stop(), SIGINT or SIGTERM; then closes
  // the streams and returns once the storage thread has finished its work.
  // The router and the hub must outlive the call.
  void run(ZRLDashboardRouter& router, ZRLDashboardHub& hub);
  // From any thread.
  void stop();
  // Runs the work on the thread that routes requests (in its turn with
  // them), from any thread; once run() has returned, it is dropped.
  void onStorageThread(std::function<void()> work);

  struct Impl;

 private:
  explicit ZRLDashboardServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
