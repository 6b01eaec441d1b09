#pragma once
// A throw-away PostgreSQL server for the tests, made and started by
// scripts/throwaway-postgresql.sh in a folder of its own under the system's
// temporary folder (which must let others pass, as /tmp does: as root the
// server runs as "nobody"). One per test process, started when first asked
// for; it is stopped at once and removed when the process ends, and by a
// watchdog child even when the process is killed.

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Tools/zrl-dashboard/ZRLDashboardPostgreSQLStore.h"
#include "tests/Tools/ToolTestSupport.h"

class PostgreSQLTestCluster {
 public:
  // The process's cluster; null when it cannot start, with the reason in
  // *error.
  static PostgreSQLTestCluster* shared(std::string* error) {
    static std::string failure;
    static const std::unique_ptr<PostgreSQLTestCluster> cluster = [] {
      std::unique_ptr<PostgreSQLTestCluster> made(new PostgreSQLTestCluster);
      if (!made->start(&failure)) made.reset();
      return made;
    }();
    *error = failure;
    return cluster.get();
  }
  ~PostgreSQLTestCluster() {
    // The watchdog stops the server and removes the folder once its input
    // ends.
    if (watchdog_) {
      watchdog_->closeInput();
      watchdog_->wait();
    }
  }
  PostgreSQLTestCluster(const PostgreSQLTestCluster&) = delete;
  PostgreSQLTestCluster& operator=(const PostgreSQLTestCluster&) = delete;

  unsigned short port() const { return port_; }
  // The URI of the database of that name.
  std::string uri(const std::string& database) const {
    return "postgresql://zrl@127.0.0.1:" + std::to_string(port_) + "/" + database;
  }
  // Runs the statements on the database, as another program would; libpq's
  // message when they fail.
  std::optional<std::string> execute(const std::string& database, const std::string& sql) const {
    PGconn* connection = PQconnectdb(uri(database).c_str());
    std::optional<std::string> failure;
    if (PQstatus(connection) != CONNECTION_OK) {
      failure = PQerrorMessage(connection);
    } else {
      PGresult* result = PQexec(connection, sql.c_str());
      if (PQresultStatus(result) != PGRES_COMMAND_OK && PQresultStatus(result) != PGRES_TUPLES_OK)
        failure = PQresultErrorMessage(result);
      PQclear(result);
    }
    PQfinish(connection);
    return failure;
  }
  // Stops the server at once, as a crash would, and starts it again on the
  // same port; false with the reason in *error.
  bool restart(std::string* error) const {
    ChildProcess child({"/bin/sh", ZRL_THROWAWAY_POSTGRESQL, "restart", folder_});
    if (child.wait() == 0) return true;
    *error = child.errorOutput();
    return false;
  }
  // The URI of a new, empty database; null when it cannot be made.
  std::optional<std::string> newDatabase(std::string* error) {
    const std::string name = "test" + std::to_string(++databases_);
    if (auto failure = execute("postgres", "CREATE DATABASE " + name)) {
      *error = *failure;
      return std::nullopt;
    }
    return uri(name);
  }

  // A port on 127.0.0.1 that nothing listens on just now.
  static unsigned short freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    unsigned short port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
      port = ntohs(address.sin_port);
    ::close(fd);
    return port;
  }

 private:
  PostgreSQLTestCluster() = default;

  // The newest version's programs.
  bool start(std::string* error) {
    std::string pattern = (std::filesystem::temp_directory_path() / "zrl-pg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      *error = "cannot make a folder " + pattern;
      return false;
    }
    folder_ = pattern;
    // From here on the watchdog stops the server and removes the folder
    // when the input that this process holds ends, even when it is killed.
    watchdog_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "read -r _; exec sh \"$0\" stop \"$1\" >/dev/null 2>&1",
                                 ZRL_THROWAWAY_POSTGRESQL, folder_},
        ChildProcess::Input::pipe);
    ChildProcess starting({"/bin/sh", ZRL_THROWAWAY_POSTGRESQL, "start", folder_});
    const auto uri = starting.readLine();
    if (starting.wait() != 0 || !uri) {
      *error = starting.errorOutput();
      return false;
    }
    port_ = static_cast<unsigned short>(std::stoi(uri->substr(uri->rfind(':') + 1)));
    return true;
  }

  std::string folder_;
  unsigned short port_ = 0;
  int databases_ = 0;
  std::unique_ptr<ChildProcess> watchdog_;
};

// The two stores that the tests of the records run on.
enum class DashboardBackend { sqlite, postgresql };
inline const auto kDashboardBackends =
    ::testing::Values(DashboardBackend::sqlite, DashboardBackend::postgresql);
inline std::string dashboardBackendName(const ::testing::TestParamInfo<DashboardBackend>& info) {
  return info.param == DashboardBackend::sqlite ? "SQLite" : "PostgreSQL";
}
inline void PrintTo(DashboardBackend backend, std::ostream* out) {
  *out << (backend == DashboardBackend::sqlite ? "SQLite" : "PostgreSQL");
}

// A PostgreSQL store on a new database of the process's cluster.
inline std::unique_ptr<ZRLDashboardPostgreSQLStore> openPostgreSQLStore(std::string* error) {
  PostgreSQLTestCluster* cluster = PostgreSQLTestCluster::shared(error);
  const auto uri = cluster != nullptr ? cluster->newDatabase(error) : std::nullopt;
  return uri ? ZRLDashboardPostgreSQLStore::open(*uri, error) : nullptr;
}
