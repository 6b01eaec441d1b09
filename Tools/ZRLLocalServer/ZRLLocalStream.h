#pragma once
// A handle to one connection of the local test server whose bytes the
// caller writes itself: the body of a streaming answer, or everything of a
// raw one. Any thread may use it; no call waits for the network except
// flush() and waitUntilClosed(). Once the client has gone or the server has
// stopped, writes fail quietly.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class ZRLLocalConnection;
struct ZRLLocalGate;
struct ZRLLocalConnectionStatus;

class ZRLLocalStream {
 public:
  ZRLLocalStream(std::shared_ptr<ZRLLocalGate> gate, std::weak_ptr<ZRLLocalConnection> connection,
                 std::shared_ptr<ZRLLocalConnectionStatus> status, uint64_t connectionIndex);

  // Queues the bytes after those queued before; false when the connection
  // has ended or the server has stopped (nothing is queued then). Bytes
  // that arrive after close() or abort() are dropped.
  bool write(std::string bytes);
  // Waits until every byte queued so far has been handed to the socket.
  // False on time-out, when the connection ended first, or when called on
  // the server's own thread (inside a handler), where it cannot wait.
  bool flush(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Ends the connection in order once the queued bytes are written: for a
  // body without a length, this is its normal end.
  void close();
  // Drops the connection at once with a reset; bytes not yet written are lost.
  void abort();

  // False once the connection has ended, whichever side ended it.
  bool isOpen() const;
  // Waits for the connection to end; true if it did within the time-out.
  bool waitUntilClosed(std::chrono::milliseconds timeout) const;
  uint64_t connectionIndex() const { return connectionIndex_; }

 private:
  std::shared_ptr<ZRLLocalConnection> lockedConnection() const;

  std::shared_ptr<ZRLLocalGate> gate_;
  std::weak_ptr<ZRLLocalConnection> connection_;
  std::shared_ptr<ZRLLocalConnectionStatus> status_;
  uint64_t connectionIndex_;
};
