#include "Tools/zrl-dashboard/ZRLDashboardPostgreSQLListener.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <iostream>
#include <string_view>
#include <system_error>

#include "Tools/zrl-dashboard/ZRLDashboardPostgreSQLStore.h"

namespace {

constexpr int kFirstBackOffMilliseconds = 100;
constexpr int kLongestBackOffMilliseconds = 5000;
// How long one attempt to connect may take.
constexpr int kConnectMilliseconds = 10000;

}  // namespace

std::unique_ptr<ZRLDashboardPostgreSQLListener> ZRLDashboardPostgreSQLListener::start(
    const std::string& uri, Handlers handlers, std::string* error) {
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    *error = "no eventfd: " + std::error_code(errno, std::generic_category()).message();
    return nullptr;
  }
  std::unique_ptr<ZRLDashboardPostgreSQLListener> listener(
      new ZRLDashboardPostgreSQLListener(uri, std::move(handlers), wake));
  listener->connection_ = listener->connect(error);
  if (listener->connection_ == nullptr) {
    *error = ZRLDashboardPostgreSQLStore::withoutPassword(uri) + ": " + *error;
    return nullptr;
  }
  listener->thread_ = std::thread([raw = listener.get()] { raw->run(); });
  return listener;
}

ZRLDashboardPostgreSQLListener::~ZRLDashboardPostgreSQLListener() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  PQfinish(connection_);
  ::close(wake_);
}

bool ZRLDashboardPostgreSQLListener::stopping() const {
  pollfd told{wake_, POLLIN, 0};
  return ::poll(&told, 1, 0) == 1;
}

bool ZRLDashboardPostgreSQLListener::waitFor(int fd, short events, int milliseconds) const {
  pollfd ready[2] = {{wake_, POLLIN, 0}, {fd, events, 0}};
  const int count = ::poll(ready, fd >= 0 ? 2 : 1, milliseconds);
  return count > 0 && ready[0].revents == 0;
}

pg_conn* ZRLDashboardPostgreSQLListener::connect(std::string* error) const {
  // As the store connects, without blocking, so that stopping need not
  // wait for a server that does not answer.
  const char* const keywords[] = {"fallback_application_name", "client_encoding", "dbname",
                                  nullptr};
  const char* const values[] = {"zrl-dashboard", "UTF8", uri_.c_str(), nullptr};
  PGconn* connection = PQconnectStartParams(keywords, values, 1);
  PostgresPollingStatusType status = PGRES_POLLING_WRITING;
  while (connection != nullptr && PQstatus(connection) != CONNECTION_BAD &&
         status != PGRES_POLLING_OK && status != PGRES_POLLING_FAILED) {
    if (!waitFor(PQsocket(connection), status == PGRES_POLLING_READING ? POLLIN : POLLOUT,
                 kConnectMilliseconds)) {
      *error = stopping() ? "stopped" : "no answer while connecting";
      PQfinish(connection);
      return nullptr;
    }
    status = PQconnectPoll(connection);
  }
  if (connection == nullptr || PQstatus(connection) != CONNECTION_OK) {
    *error = connection != nullptr ? PQerrorMessage(connection) : "libpq has no memory";
    while (!error->empty() && error->back() == '\n')
      error->pop_back();
    PQfinish(connection);
    return nullptr;
  }
  const std::string listen = std::string("LISTEN ") + kChannel;
  PGresult* result = PQexec(connection, listen.c_str());
  const bool listening = PQresultStatus(result) == PGRES_COMMAND_OK;
  PQclear(result);
  if (!listening || PQsetnonblocking(connection, 1) != 0) {
    *error = PQerrorMessage(connection);
    PQfinish(connection);
    return nullptr;
  }
  return connection;
}

void ZRLDashboardPostgreSQLListener::run() {
  int backOff = kFirstBackOffMilliseconds;
  while (!stopping()) {
    if (connection_ == nullptr) {
      std::string error;
      connection_ = connect(&error);
      if (connection_ == nullptr) {
        waitFor(-1, 0, backOff);
        backOff = std::min(backOff * 2, kLongestBackOffMilliseconds);
        continue;
      }
      backOff = kFirstBackOffMilliseconds;
      std::cerr << "zrl-dashboard: the database "
                << ZRLDashboardPostgreSQLStore::withoutPassword(uri_)
                << " is reachable again; listening for previews" << std::endl;
      if (handlers_.reconnected) handlers_.reconnected();
      continue;
    }
    if (!waitFor(PQsocket(connection_), POLLIN, -1)) continue;
    if (PQconsumeInput(connection_) == 0 || PQstatus(connection_) != CONNECTION_OK) {
      std::cerr << "zrl-dashboard: lost the database "
                << ZRLDashboardPostgreSQLStore::withoutPassword(uri_) << "; connecting again"
                << std::endl;
      PQfinish(connection_);
      connection_ = nullptr;
      continue;
    }
    while (PGnotify* notice = PQnotifies(connection_)) {
      int64_t id = 0;
      const std::string_view payload = notice->extra != nullptr ? notice->extra : "";
      const auto [end, failure] =
          std::from_chars(payload.data(), payload.data() + payload.size(), id);
      if (failure == std::errc() && end == payload.data() + payload.size() && handlers_.preview)
        handlers_.preview(id);
      PQfreemem(notice);
    }
  }
}
