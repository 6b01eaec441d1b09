#include "Platform/Net/NSURLSessionEngine.h"

#include <poll.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>

#include "Platform/Net/NSURLError.h"

// What the loop knows of one socket that libcurl watches. libcurl holds a
// pointer to it (curl_multi_assign) until it says CURL_POLL_REMOVE; pending
// waits hold it as well, so a wait that completes after the removal finds it
// marked dead instead of freed.
struct NSURLSessionEngine::Socket {
  Socket(asio::io_context& io, curl_socket_t socket) : descriptor(io), fd(socket) {}
  // Bound to the loop's own executor type rather than a polymorphic one,
  // which keeps this and every pending wait on it smaller.
  asio::posix::basic_stream_descriptor<asio::io_context::executor_type> descriptor;
  const curl_socket_t fd;
  int wanted = 0;  // CURL_POLL_IN, CURL_POLL_OUT or both
  bool readArmed = false;
  bool writeArmed = false;
  bool dead = false;
};

namespace {

void logMultiError(const char* call, CURLMcode code) {
  std::fprintf(stderr, "NSURLSession: %s failed: %s\n", call, curl_multi_strerror(code));
}

// Asio's epoll reactor reports a socket's readiness as an edge: a wait set
// after the edge has gone by (libcurl left bytes unread, or the socket
// became readable while only writing was wanted) would sleep until the next
// one. So a direction is looked at once when its wait is set.
bool readyNow(curl_socket_t fd, int direction) {
  pollfd entry{fd, static_cast<short>(direction == CURL_POLL_IN ? POLLIN : POLLOUT), 0};
  return ::poll(&entry, 1, 0) > 0;
}

// libcurl, and OpenSSL with it, is set up while the program loads, on the
// main thread. Set up first on a pool thread (the first request is often
// sent from one), OpenSSL's per-thread state would belong to a thread that
// may end before the process, and be reported as leaked at exit. The
// engine's own call below only counts one more user.
const bool curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;

}  // namespace

NSURLSessionEngine& NSURLSessionEngine::shared() {
  // Deliberately never destroyed: tasks may still call in while other static
  // objects are torn down. The thread is stopped and joined at exit instead.
  static NSURLSessionEngine* engine = new NSURLSessionEngine();  // NOLINT
  return *engine;
}

NSURLSessionEngine::NSURLSessionEngine()
    : work_(asio::make_work_guard(io_)), curlTimer_(io_), idleTimer_(io_) {
  if (!curlReady || curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
    std::fprintf(stderr, "NSURLSession: curl_global_init failed\n");
    std::abort();
  }
  multi_ = curl_multi_init();
  if (multi_ == nullptr) {
    std::fprintf(stderr, "NSURLSession: curl_multi_init failed\n");
    std::abort();
  }
  CURLMcode code = curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &socketCallback);
  if (code == CURLM_OK) code = curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  if (code == CURLM_OK) code = curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &timerCallback);
  if (code == CURLM_OK) code = curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
  if (code != CURLM_OK) {
    logMultiError("curl_multi_setopt", code);
    std::abort();
  }
  thread_ = std::thread([this] { io_.run(); });
  pthread_setname_np(thread_.native_handle(), "NSURLSession");
  std::atexit([] { shared().stop(); });
}

void NSURLSessionEngine::start(std::shared_ptr<NSURLTransfer> transfer,
                               std::shared_ptr<NSURLTransferClient> client) {
  asio::post(io_, [this, transfer = std::move(transfer), client = std::move(client)]() mutable {
    startTransfer(std::move(transfer), std::move(client));
  });
}

void NSURLSessionEngine::cancel(std::shared_ptr<NSURLTransfer> transfer) {
  asio::post(io_, [this, transfer = std::move(transfer)] { retire(transfer.get()); });
}

void NSURLSessionEngine::resume(std::shared_ptr<NSURLTransfer> transfer,
                                NSURLTransfer::PauseReason reason) {
  asio::post(io_, [this, transfer = std::move(transfer), reason] {
    resumeTransfer(transfer.get(), reason);
  });
}

void NSURLSessionEngine::pause(std::shared_ptr<NSURLTransfer> transfer,
                               NSURLTransfer::PauseReason reason) {
  asio::post(io_, [this, transfer = std::move(transfer), reason] {
    if (running_.count(transfer.get()) != 0) transfer->pauseFor(reason);
  });
}

void NSURLSessionEngine::stop() {
  asio::post(io_, [this] { shutDown(); });
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

int NSURLSessionEngine::socketCallback(CURL* /*easy*/, curl_socket_t socket, int what, void* self,
                                       void* context) {
  static_cast<NSURLSessionEngine*>(self)->watch(socket, what, static_cast<Socket*>(context));
  return 0;
}

void NSURLSessionEngine::watch(curl_socket_t fd, int what, Socket* context) {
  if (what == CURL_POLL_REMOVE) {
    if (context == nullptr) return;
    auto found = sockets_.find(context);
    if (found == sockets_.end()) return;
    const std::shared_ptr<Socket> socket = std::move(found->second);
    sockets_.erase(found);
    // Pending waits end with operation_aborted; the descriptor is libcurl's
    // to close, so it is only taken out of epoll here.
    socket->dead = true;
    std::error_code ignored;
    socket->descriptor.cancel(ignored);
    socket->descriptor.release();
    return;
  }
  std::shared_ptr<Socket> socket;
  if (context != nullptr) {
    auto found = sockets_.find(context);
    if (found != sockets_.end()) socket = found->second;
  }
  if (!socket) {
    socket = std::make_shared<Socket>(io_, fd);
    std::error_code error;
    socket->descriptor.assign(fd, error);
    if (error) {
      std::fprintf(stderr, "NSURLSession: cannot watch socket %d: %s\n", fd,
                   error.message().c_str());
      return;
    }
    const CURLMcode code = curl_multi_assign(multi_, fd, socket.get());
    if (code != CURLM_OK) {
      logMultiError("curl_multi_assign", code);
      socket->descriptor.release();
      return;
    }
    sockets_.emplace(socket.get(), socket);
  }
  socket->wanted = what & CURL_POLL_INOUT;
  arm(socket);
}

void NSURLSessionEngine::arm(const std::shared_ptr<Socket>& socket) {
  for (const int direction : {CURL_POLL_IN, CURL_POLL_OUT}) {
    bool& armed = direction == CURL_POLL_IN ? socket->readArmed : socket->writeArmed;
    if ((socket->wanted & direction) == 0 || armed) continue;
    armed = true;
    auto handler = [this, socket, direction](const std::error_code& error) {
      (direction == CURL_POLL_IN ? socket->readArmed : socket->writeArmed) = false;
      if (error == asio::error::operation_aborted || socket->dead) return;
      socketReady(socket, direction, static_cast<bool>(error));
    };
    if (readyNow(socket->fd, direction)) {
      asio::post(io_, [handler = std::move(handler)] { handler(std::error_code()); });
    } else {
      socket->descriptor.async_wait(direction == CURL_POLL_IN
                                        ? asio::posix::stream_descriptor::wait_read
                                        : asio::posix::stream_descriptor::wait_write,
                                    std::move(handler));
    }
  }
}

void NSURLSessionEngine::socketReady(const std::shared_ptr<Socket>& socket, int direction,
                                     bool failed) {
  // A wait left over from a direction that libcurl no longer wants.
  if ((socket->wanted & direction) == 0) return;
  const int events = (direction == CURL_POLL_IN ? CURL_CSELECT_IN : CURL_CSELECT_OUT) |
                     (failed ? CURL_CSELECT_ERR : 0);
  socketAction(socket->fd, events);
  finishTransfers();
  if (!socket->dead) arm(socket);
}

int NSURLSessionEngine::timerCallback(CURLM* /*multi*/, long timeoutMs, void* self) {
  auto* engine = static_cast<NSURLSessionEngine*>(self);
  if (timeoutMs < 0) {
    engine->curlTimer_.cancel();
    return 0;
  }
  // Asio never runs the handler inside this call, even for a time-out of 0,
  // so libcurl is not entered again from its own callback.
  engine->curlTimer_.expires_after(std::chrono::milliseconds(timeoutMs));
  engine->curlTimer_.async_wait([engine](const std::error_code& error) {
    if (error || engine->stopped_) return;
    engine->socketAction(CURL_SOCKET_TIMEOUT, 0);
    engine->finishTransfers();
  });
  return 0;
}

void NSURLSessionEngine::socketAction(curl_socket_t socket, int events) {
  int stillRunning = 0;
  const CURLMcode code = curl_multi_socket_action(multi_, socket, events, &stillRunning);
  // A socket that libcurl let go of while its readiness was on its way here
  // is not worth a line.
  if (code != CURLM_OK && code != CURLM_BAD_SOCKET) {
    logMultiError("curl_multi_socket_action", code);
  }
}

void NSURLSessionEngine::finishTransfers() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    // The message does not outlive the removal of its handle.
    CURL* handle = message->easy_handle;
    const CURLcode result = message->data.result;
    char* data = nullptr;
    if (curl_easy_getinfo(handle, CURLINFO_PRIVATE, &data) != CURLE_OK) data = nullptr;
    auto* transfer = reinterpret_cast<NSURLTransfer*>(data);
    const CURLMcode code = curl_multi_remove_handle(multi_, handle);
    if (code != CURLM_OK) logMultiError("curl_multi_remove_handle", code);
    auto found = running_.find(transfer);
    if (found == running_.end()) continue;
    found->second.inMulti = false;
    if (transfer->curlDidFinish(result)) retire(transfer);
  }
}

void NSURLSessionEngine::startTransfer(std::shared_ptr<NSURLTransfer> transfer,
                                       std::shared_ptr<NSURLTransferClient> client) {
  if (stopped_ || running_.count(transfer.get()) != 0) return;
  if (NSErrorPtr error = transfer->open(std::move(client))) {
    transfer->complete(error);
    transfer->close();
    return;
  }
  const CURLMcode code = curl_multi_add_handle(multi_, transfer->handle());
  if (code != CURLM_OK) {
    logMultiError("curl_multi_add_handle", code);
    transfer->complete(NSURLErrorWithCode(NSURLErrorUnknown));
    transfer->close();
    return;
  }
  NSURLTransfer* key = transfer.get();
  Running& running = running_[key];
  running.transfer = std::move(transfer);
  running.inMulti = true;
  running.idle = idleChecks_.end();
  scheduleIdleCheck(running);
}

void NSURLSessionEngine::resumeTransfer(NSURLTransfer* transfer,
                                        NSURLTransfer::PauseReason reason) {
  if (running_.count(transfer) == 0) return;
  if (transfer->resumeFrom(reason)) {
    retire(transfer);
    return;
  }
  auto found = running_.find(transfer);
  if (found != running_.end()) scheduleIdleCheck(found->second);
}

void NSURLSessionEngine::scheduleIdleCheck(Running& running) {
  const auto deadline = running.transfer->idleDeadline();
  if (!deadline) return;  // paused: resuming sets the check again
  if (running.idle != idleChecks_.end()) {
    if (running.idle->first <= *deadline) return;
    idleChecks_.erase(running.idle);
  }
  running.idle = idleChecks_.emplace(*deadline, running.transfer.get());
  armIdleTimer();
}

void NSURLSessionEngine::armIdleTimer() {
  if (idleChecks_.empty()) return;
  const Clock::time_point first = idleChecks_.begin()->first;
  if (idleTimerFor_ <= first) return;  // it fires in time; the run sets it for the next
  idleTimerFor_ = first;
  // Setting the time again cancels the wait before, whose handler then
  // does nothing.
  idleTimer_.expires_at(first);
  idleTimer_.async_wait([this](const std::error_code& error) {
    if (error || stopped_) return;
    runDueIdleChecks();
  });
}

void NSURLSessionEngine::runDueIdleChecks() {
  // The checks below may set later ones; the timer is set once, at the end.
  idleTimerFor_ = Clock::time_point::min();
  const Clock::time_point now = Clock::now();
  while (!idleChecks_.empty() && idleChecks_.begin()->first <= now) {
    NSURLTransfer* transfer = idleChecks_.begin()->second;
    idleChecks_.erase(idleChecks_.begin());
    auto found = running_.find(transfer);
    if (found == running_.end()) continue;
    found->second.idle = idleChecks_.end();
    // Sets a later check, or ends the transfer; neither comes back here.
    idleCheck(found->second);
  }
  idleTimerFor_ = Clock::time_point::max();
  armIdleTimer();
}

void NSURLSessionEngine::idleCheck(Running& running) {
  if (!running.inMulti) return;
  NSURLTransfer* transfer = running.transfer.get();
  const auto deadline = transfer->idleDeadline();
  if (!deadline) return;  // paused: resuming sets the check again
  if (*deadline <= Clock::now()) {
    transfer->timeOut();
    retire(transfer);
  } else {
    scheduleIdleCheck(running);
  }
}

void NSURLSessionEngine::retire(NSURLTransfer* transfer) {
  auto found = running_.find(transfer);
  if (found == running_.end()) return;
  std::shared_ptr<NSURLTransfer> keep = std::move(found->second.transfer);
  if (found->second.idle != idleChecks_.end()) idleChecks_.erase(found->second.idle);
  if (found->second.inMulti) {
    // The handle has CURLOPT_QUICK_EXIT set, so this does not wait for a
    // host name lookup that is still going on.
    const CURLMcode code = curl_multi_remove_handle(multi_, transfer->handle());
    if (code != CURLM_OK) logMultiError("curl_multi_remove_handle", code);
  }
  running_.erase(found);
  transfer->close();
}

void NSURLSessionEngine::shutDown() {
  // The process is ending: the handles go, but the transfers and their
  // clients are left alone, so that no task, session or delegate is torn
  // down on this thread while the rest of the program exits.
  if (stopped_) return;
  stopped_ = true;
  for (auto& [transfer, running] : running_) {
    if (running.inMulti) {
      const CURLMcode code = curl_multi_remove_handle(multi_, transfer->handle());
      if (code != CURLM_OK) logMultiError("curl_multi_remove_handle", code);
    }
    running.inMulti = false;
    transfer->closeHandle();
  }
  const CURLMcode code = curl_multi_cleanup(multi_);
  if (code != CURLM_OK) logMultiError("curl_multi_cleanup", code);
  multi_ = nullptr;
  for (auto& [context, socket] : sockets_) {
    socket->dead = true;
    socket->descriptor.release();
  }
  sockets_.clear();
  curlTimer_.cancel();
  idleChecks_.clear();
  idleTimer_.cancel();
  io_.stop();
}
