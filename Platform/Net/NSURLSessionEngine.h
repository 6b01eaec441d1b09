#pragma once
// Private to the URL session: the one network thread of the process. It
// drives libcurl's multi handle through its socket interface on an Asio
// event loop (epoll), so a wake-up costs only what its ready sockets and
// expired timers cost, however many transfers are open. Other threads hand
// it commands (start, cancel, resume, pause), which run on the thread in the
// order in which they were given.

#include <curl/curl.h>

#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <unordered_map>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "Platform/Net/NSURLTransfer.h"
#include "Platform/PlatformExport.h"

class PLATFORM_EXPORT NSURLSessionEngine {
 public:
  // Made on first use, with curl_global_init; never destroyed (see the
  // constructor).
  static NSURLSessionEngine& shared();

  // All four return at once and may be called from any thread.
  void start(std::shared_ptr<NSURLTransfer> transfer, std::shared_ptr<NSURLTransferClient> client);
  // Ends the transfer without a report.
  void cancel(std::shared_ptr<NSURLTransfer> transfer);
  void resume(std::shared_ptr<NSURLTransfer> transfer, NSURLTransfer::PauseReason reason);
  void pause(std::shared_ptr<NSURLTransfer> transfer, NSURLTransfer::PauseReason reason);

  NSURLSessionEngine(const NSURLSessionEngine&) = delete;
  NSURLSessionEngine& operator=(const NSURLSessionEngine&) = delete;

 private:
  using Clock = NSURLTransfer::Clock;
  struct Socket;
  // The idle checks that are due, earliest first, all served by one timer
  // (idleTimer_): an open transfer costs an entry here rather than a timer
  // and a pending wait of its own.
  using IdleChecks = std::multimap<Clock::time_point, NSURLTransfer*>;
  struct Running {
    std::shared_ptr<NSURLTransfer> transfer;
    bool inMulti = false;
    // The transfer's idle check, at its idle deadline as it stood when the
    // check was set (idleChecks_.end(): none). The check looks at the real
    // deadline, which activity only moves later, and sets itself again if
    // it has not come yet. So a busy transfer costs a clock reading per
    // piece, not a timer change.
    IdleChecks::iterator idle;
  };

  NSURLSessionEngine();
  ~NSURLSessionEngine() = default;
  void stop();

  // Network thread only, from here on.
  static int socketCallback(CURL* easy, curl_socket_t socket, int what, void* self, void* context);
  static int timerCallback(CURLM* multi, long timeoutMs, void* self);
  void watch(curl_socket_t fd, int what, Socket* context);
  void arm(const std::shared_ptr<Socket>& socket);
  void socketReady(const std::shared_ptr<Socket>& socket, int direction, bool failed);
  void socketAction(curl_socket_t socket, int events);
  void finishTransfers();

  void startTransfer(std::shared_ptr<NSURLTransfer> transfer,
                     std::shared_ptr<NSURLTransferClient> client);
  void resumeTransfer(NSURLTransfer* transfer, NSURLTransfer::PauseReason reason);
  void scheduleIdleCheck(Running& running);
  // Sets idleTimer_ for the earliest idle check, if it is not set for that
  // already.
  void armIdleTimer();
  void runDueIdleChecks();
  void idleCheck(Running& running);
  void retire(NSURLTransfer* transfer);
  void shutDown();

  asio::io_context io_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  asio::steady_timer curlTimer_;
  asio::steady_timer idleTimer_;
  Clock::time_point idleTimerFor_ = Clock::time_point::max();  // max: not set
  IdleChecks idleChecks_;
  CURLM* multi_ = nullptr;
  std::thread thread_;
  bool stopped_ = false;  // network thread: the multi handle is gone

  std::unordered_map<NSURLTransfer*, Running> running_;
  // Every socket that libcurl has asked to watch, by the pointer it was
  // given (descriptor numbers are reused, pointers to live objects are not).
  std::unordered_map<Socket*, std::shared_ptr<Socket>> sockets_;
};
