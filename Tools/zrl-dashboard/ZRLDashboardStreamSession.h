#pragma once
// One open event stream as the hub feeds it: the events of its application
// written as chunks of one response, in order, with a bounded queue of live
// ones, a comment line when it stays idle, and a last chunk when it is told
// to close. Made on the storage thread for a routed stream request, before
// it joins the hub; the HTTP session hands it the connection afterwards.

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/serializer.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardServerImpl.h"

class ZRLDashboardStreamSession : public ZRLDashboardStreamSink,
                                  public std::enable_shared_from_this<ZRLDashboardStreamSession> {
 public:
  ZRLDashboardStreamSession(ZRLDashboardServer::Impl& server,
                            ZRLDashboardTLSStream::executor_type strand, std::string appId);
  // Leaves the hub, on whichever thread lets the session go.
  ~ZRLDashboardStreamSession() override;

  // On the strand: takes the connection (null when it ended while the
  // request was routed) and writes the response's head.
  void begin(std::unique_ptr<ZRLDashboardConnection> connection);

  // Any thread.
  void deliver(std::shared_ptr<const std::string> text, bool replayed) override;
  void close() override;

 private:
  // The stream's life, all on the strand:
  //
  //   waiting   joined to the hub (the replayed events queued), without
  //             its connection yet
  //   head      writing the response's head
  //   open      writing the events as they come, a comment line when idle
  //   closing   told to close: the queue is written, then the last chunk
  //   ended     the socket is closed; nothing more is written or queued
  //
  //   waiting -> head -> open -> closing -> ended
  //   waiting -> ended        close() before begin(), or no connection
  //   head -> closing         close() while the head is written
  //   any -> ended            a failed read or write (the client went
  //                           away), or a reader too far behind
  enum class State { waiting, head, open, closing, ended };

  void enqueue(std::shared_ptr<const std::string> text, bool replayed,
               std::chrono::steady_clock::time_point handedOut);
  void watchForEnd();
  void armKeepAlive();
  void writeNext();
  void end();

  struct Queued {
    Queued(std::shared_ptr<const std::string> t, bool l,
           std::chrono::steady_clock::time_point handed = {})
        : text(std::move(t)), live(l), handedOut(handed) {}
    std::shared_ptr<const std::string> text;
    bool live = false;
    std::chrono::steady_clock::time_point handedOut;  // a live one's
  };

  // Fixed at construction: read from any thread.
  ZRLDashboardServer::Impl& server_;
  const ZRLDashboardTLSStream::executor_type strand_;
  const std::string appId_;
  // The strand's, from here on.
  State state_ = State::waiting;
  std::unique_ptr<ZRLDashboardConnection> connection_;
  // The response's head while it is written.
  boost::beast::http::response<boost::beast::http::empty_body> head_;
  std::optional<boost::beast::http::response_serializer<boost::beast::http::empty_body>>
      headWriter_;
  std::optional<boost::asio::steady_timer> keepAlive_;
  std::deque<Queued> queue_;
  // The live events in the queue.
  size_t live_ = 0;
  bool writing_ = false;
  // Where the read that notices the client's end puts what it reads.
  char ignored_[512] = {};
};
