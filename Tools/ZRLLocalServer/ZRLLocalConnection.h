#pragma once
// Private to the local test server: one accepted connection, run on the
// server's thread. It reads requests (keep-alive and pipelining included),
// hands them to the handlers, writes the answers from a queue that stream
// handles feed from any thread, and closes in order or abruptly.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Tools/ZRLLocalServer/ZRLLocalAsio.h"
#include "Tools/ZRLLocalServer/ZRLLocalRequest.h"
#include "Tools/ZRLLocalServer/ZRLLocalResponder.h"
#include "Tools/ZRLLocalServer/ZRLLocalStream.h"

using ZRLLocalHandler = std::function<void(const ZRLLocalRequest&, ZRLLocalResponder&)>;

// Open while the server runs. Stream handles post work to a connection only
// under its lock, so that nothing reaches the server's event loop once stop()
// has closed it.
struct ZRLLocalGate {
  std::mutex mutex;
  bool open = true;
  std::thread::id loopThread;  // the server's thread, where handles must not wait
};

// Whether a connection has ended, for stream handles on any thread.
struct ZRLLocalConnectionStatus {
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  bool closed = false;

  void markClosed() {
    {
      std::lock_guard lock(mutex);
      closed = true;
    }
    changed.notify_all();
  }
  bool isClosed() const {
    std::lock_guard lock(mutex);
    return closed;
  }
};

// What the server and its connections share: routes and the record.
struct ZRLLocalServerState {
  mutable std::mutex mutex;
  mutable std::condition_variable arrived;
  std::map<std::pair<std::string, std::string>, ZRLLocalHandler> routes;
  ZRLLocalHandler fallback;
  std::vector<ZRLLocalRequest> requests;
  std::atomic<uint64_t> accepted{0};
  std::atomic<size_t> open{0};

  ZRLLocalHandler handlerFor(const std::string& method, const std::string& path) const;
  // Numbers the request in order of arrival and keeps a copy.
  void record(ZRLLocalRequest& request);
};

class ZRLLocalConnection : public std::enable_shared_from_this<ZRLLocalConnection> {
 public:
  ZRLLocalConnection(std::shared_ptr<ZRLLocalServerState> state, std::shared_ptr<ZRLLocalGate> gate,
                     asio::ip::tcp::socket socket, asio::ssl::context* tls, uint64_t index);
  ~ZRLLocalConnection();
  ZRLLocalConnection(const ZRLLocalConnection&) = delete;
  ZRLLocalConnection& operator=(const ZRLLocalConnection&) = delete;

  // All below run on the server's thread.
  void start();
  // The server stops: closes at once, without a reset.
  void closeNow();

  // Work that stream handles post.
  void enqueue(std::string bytes);
  void whenWritten(const std::shared_ptr<std::promise<bool>>& done);
  void closeAfterWrites();
  void abort();

  const std::shared_ptr<ZRLLocalConnectionStatus>& status() const { return status_; }
  asio::any_io_executor executor() { return socket_.get_executor(); }

 private:
  friend class ZRLLocalResponder;
  enum class Phase { Handshake, Head, Body, Responding, Streaming, Closing, Closed };

  void readMore();
  void onRead(const std::error_code& error, size_t size);
  void process();
  void dispatch(ZRLLocalRequest request);
  void refuse(int status, const std::string& message);
  void writeNext();
  void onWritten(const std::error_code& error, size_t size);
  void beginGracefulClose();
  void shutDownTLS();
  void finish();
  std::shared_ptr<ZRLLocalStream> makeStream();

  // For the responder.
  void respondWhole(int status, const ZRLLocalHeaders& headers, const std::string& body);
  std::shared_ptr<ZRLLocalStream> respondStream(int status, const ZRLLocalHeaders& headers);
  std::shared_ptr<ZRLLocalStream> respondRaw();

  const std::shared_ptr<ZRLLocalServerState> state_;
  const std::shared_ptr<ZRLLocalGate> gate_;
  const std::shared_ptr<ZRLLocalConnectionStatus> status_;
  const uint64_t index_;
  asio::ip::tcp::socket socket_;
  std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls_;
  asio::steady_timer closeTimer_;

  Phase phase_ = Phase::Handshake;
  bool reading_ = false;
  bool tlsShutdownStarted_ = false;
  std::array<char, 16384> readBuffer_{};
  std::string input_;
  std::optional<ZRLLocalRequest> pending_;  // its head has arrived, its body not yet
  size_t bodyLength_ = 0;
  bool keepAlive_ = true;
  bool headRequest_ = false;
  bool resumeAfterWrites_ = false;  // read the next request once the answer is out
  bool closeAfterWrites_ = false;

  std::deque<std::string> queue_;
  size_t inFlight_ = 0;  // buffers of queue_'s front being written
  uint64_t queuedBytes_ = 0;
  uint64_t writtenBytes_ = 0;
  std::vector<std::pair<uint64_t, std::shared_ptr<std::promise<bool>>>> flushWaiters_;
};
