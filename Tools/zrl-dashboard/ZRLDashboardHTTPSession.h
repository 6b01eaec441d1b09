#pragma once
// One client connection's requests, one after another: each read on the
// connection's strand, routed on the storage thread (or the uploads'), and
// answered on the strand again. A request for an event stream hands the
// connection to a ZRLDashboardStreamSession and ends this session.

#include <boost/asio/any_io_executor.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include <chrono>
#include <memory>
#include <optional>

#include "Tools/zrl-dashboard/ZRLDashboardExchange.h"
#include "Tools/zrl-dashboard/ZRLDashboardServerImpl.h"

class ZRLDashboardStreamSession;

class ZRLDashboardHTTPSession : public std::enable_shared_from_this<ZRLDashboardHTTPSession> {
 public:
  // A refused session answers its request with 503 and ends: the server
  // has as many connections open as it serves.
  ZRLDashboardHTTPSession(std::unique_ptr<ZRLDashboardConnection> connection, bool refused);

  // From any thread: start() with the TLS handshake; close() ends the
  // connection, unless it has become a stream's (the hub ends those).
  void start();
  void close();

 private:
  // The session's life. Every step runs on the strand but routing, which
  // runs on the storage thread (or the uploads' for a capture):
  //
  //   handshake   the TLS handshake
  //   head        reading a request's head
  //   continuing  telling a client that sent "Expect: 100-continue" to go on
  //   body        reading the body
  //   routing     the router's turn; nothing is read or written meanwhile
  //   answer      writing the response
  //   handedOver  the request opened an event stream: the connection is a
  //               ZRLDashboardStreamSession's now
  //   closed      the socket is shut and closed
  //
  //   handshake -> head -> [continuing -> body | body] -> routing -> answer
  //   answer -> head                  the connection is kept alive
  //   head or body -> answer          refused past the cap (503), or a
  //                                   request that cannot be read (4xx)
  //   routing -> handedOver           an event stream's request
  //   any but handedOver -> closed    a failed read or write, a time-out,
  //                                   a stop, close(), or the answer's end
  enum class State { handshake, head, continuing, body, routing, answer, handedOver, closed };

  std::chrono::milliseconds readPatience() const;
  void readHead();
  void onHead(boost::beast::error_code error);
  void readBody();
  void onRequest(boost::beast::error_code error);
  void route(ZRLDashboardRequest request, bool keepAlive);
  void respond(ZRLDashboardResponse response, bool keepAlive);
  void handOver(const std::shared_ptr<ZRLDashboardStreamSession>& stream);
  // Counts the request that was answered with `status`, or handed over.
  void counted(unsigned status);
  void end();

  // Fixed at construction: read from any thread.
  ZRLDashboardServer::Impl& server_;
  const ZRLDashboardTLSStream::executor_type strand_;
  const bool refused_;
  // The strand's, from here on.
  State state_ = State::handshake;
  // Null once handed over.
  std::unique_ptr<ZRLDashboardConnection> connection_;
  boost::beast::flat_buffer buffer_;
  std::optional<ZRLDashboardExchange::Parser> parser_;
  // The request being answered, as the metrics count it ("other" for one
  // refused before it was read), and when it went to be routed.
  std::string endpoint_ = "other";
  std::chrono::steady_clock::time_point routedAt_ = std::chrono::steady_clock::now();
};
