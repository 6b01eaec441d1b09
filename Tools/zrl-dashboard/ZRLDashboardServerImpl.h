#pragma once
// The server's state that its sessions share, and one client's connection as
// the sessions hand it on. Inside the dashboard's library only: it brings in
// Boost.Asio, which must not meet the platform layer's Asio in one file.
//
// Threads: the network thread runs the io_context, and with it every
// connection's strand; the storage thread routes every request but the
// uploads of captures, which the uploads' thread routes (on a store of its
// own). Each member says which of them may touch it.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

#include "Tools/zrl-dashboard/ZRLDashboardServer.h"
#include "Tools/zrl-dashboard/ZRLDashboardTLSStream.h"

class ZRLDashboardConnection;
class ZRLDashboardHTTPSession;

struct ZRLDashboardServer::Impl {
  explicit Impl(const Options& serverOptions);

  // Set before run(), read from any thread after.
  Options options;
  ZRLDashboardRouter* router = nullptr;
  ZRLDashboardHub* hub = nullptr;

  // Every open connection, each with its HTTP session while it has one (a
  // stream's connection has none: the hub ends streams), so that a stop can
  // end them and the cap can count them. Under the mutex, from any thread;
  // declared before the context, whose end destroys the connections still
  // in its queue.
  std::mutex connectionsMutex;
  std::map<const ZRLDashboardConnection*, std::weak_ptr<ZRLDashboardHTTPSession>> connections;

  // Network thread, and the threads that post to it.
  boost::asio::io_context io{1};
  // Set up by make(), then only read by the connections' OpenSSL objects.
  boost::asio::ssl::context tls{boost::asio::ssl::context::tls_server};
  // Network thread only, from here to `grace`.
  boost::asio::ip::tcp::acceptor acceptor;
  boost::asio::steady_timer acceptRetry;
  // The accepts that failed in a row, and since when.
  size_t failedAccepts = 0;
  std::chrono::steady_clock::time_point acceptsFailingSince;
  boost::asio::signal_set signals;
  boost::asio::steady_timer grace;

  // Every router call but the uploads of captures, on the main store.
  boost::asio::thread_pool storage{1};
  // The uploads of captures, when the router gives them a store of their own.
  boost::asio::thread_pool uploads{1};
  // Set once on the network thread; read from any thread.
  std::atomic<bool> stopping{false};

  // Network thread.
  void accept();
  void beginStop();
  // From the connection's end, on any thread.
  void connectionEnded(const ZRLDashboardConnection* connection);
};

// One client's connection: its TLS stream, counted among the server's open
// connections from its accept to its end. Its HTTP session owns it, then the
// stream session that the connection turns into. Every call on its strand
// (the end may come from any thread, once nothing else uses it).
class ZRLDashboardConnection {
 public:
  ZRLDashboardConnection(boost::asio::ip::tcp::socket socket, ZRLDashboardServer::Impl& owner);
  ~ZRLDashboardConnection() { server.connectionEnded(this); }
  ZRLDashboardConnection(const ZRLDashboardConnection&) = delete;
  ZRLDashboardConnection& operator=(const ZRLDashboardConnection&) = delete;

  // Shuts the socket down and closes it: no more reads or writes.
  void end();

  ZRLDashboardServer::Impl& server;
  ZRLDashboardTLSStream stream;
};
