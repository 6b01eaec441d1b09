#pragma once
// Hears of the previews that any dashboard sharing a PostgreSQL database
// commits: a connection of its own LISTENs on the channel that the store's
// addPreview() notifies, and a thread of its own hands each preview's id to
// a handler. A lost connection is opened again with back-off (0.1 s,
// doubling up to 5 s); once it is back the handler hears of it, so that the
// previews committed meanwhile can be read from the table.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

struct pg_conn;

class ZRLDashboardPostgreSQLListener {
 public:
  // The channel that the store notifies, with the preview's id as payload.
  static constexpr const char* kChannel = "zrl_dashboard_previews";

  struct Handlers {
    std::function<void(int64_t id)> preview;
    // The connection was lost and is back, listening again.
    std::function<void()> reconnected;
  };

  // Connects and listens before it returns; null on failure, with the
  // reason in *error. The handlers are called on the listener's thread.
  static std::unique_ptr<ZRLDashboardPostgreSQLListener> start(const std::string& uri,
                                                               Handlers handlers,
                                                               std::string* error);
  // Stops the thread and closes the connection.
  ~ZRLDashboardPostgreSQLListener();
  ZRLDashboardPostgreSQLListener(const ZRLDashboardPostgreSQLListener&) = delete;
  ZRLDashboardPostgreSQLListener& operator=(const ZRLDashboardPostgreSQLListener&) = delete;

 private:
  ZRLDashboardPostgreSQLListener(std::string uri, Handlers handlers, int wake)
      : uri_(std::move(uri)), handlers_(std::move(handlers)), wake_(wake) {}
  // The connection, listening; null when it cannot be had (or the
  // listener is stopping), with libpq's reason in *error.
  pg_conn* connect(std::string* error) const;
  // Waits until the descriptor is ready for `events`, the time-out passed
  // (false) or the listener is told to stop (false).
  bool waitFor(int fd, short events, int milliseconds) const;
  bool stopping() const;
  void run();

  std::string uri_;
  Handlers handlers_;
  int wake_ = -1;  // an eventfd: readable once the listener is to stop
  pg_conn* connection_ = nullptr;
  std::thread thread_;
};
