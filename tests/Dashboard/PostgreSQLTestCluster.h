#pragma once
// A throw-away PostgreSQL server for the tests, made and started by
// scripts/throwaway-postgresql.sh in a folder of its own under the system's
// temporary folder (which must let others pass, as /tmp does: as root the
// server runs as "nobody"). One per test process, started when first asked
// for; it is stopped at once and removed when the process ends, and by a
// watchdog child even when the process is killed. Below it, the fixture
// that runs the records' tests on either store.

#include <libpq-fe.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>

#include "Tools/zrl-dashboard/ZRLDashboardPostgreSQLStore.h"
#include "tests/Dashboard/DashboardTestSupport.h"

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
  // The URI of a new, empty database on the process's cluster; null when
  // it cannot be made.
  static std::optional<std::string> newDatabase(std::string* error) {
    PostgreSQLTestCluster* cluster = shared(error);
    if (cluster == nullptr) return std::nullopt;
    const std::string name = "test" + std::to_string(++cluster->databases_);
    if (auto failure = cluster->execute("postgres", "CREATE DATABASE " + name)) {
      *error = *failure;
      return std::nullopt;
    }
    return cluster->uri(name);
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
inline void PrintTo(DashboardBackend backend, std::ostream* out) {
  *out << (backend == DashboardBackend::sqlite ? "SQLite" : "PostgreSQL");
}

// The router on either store, kept at `location` (a file or a URI).
class DashboardRecordsTest : public DashboardRouterTest,
                             public ::testing::WithParamInterface<DashboardBackend> {
 protected:
  std::unique_ptr<ZRLDashboardStore> openStore(std::string* error) override {
    const bool onSQLite = GetParam() == DashboardBackend::sqlite;
    location =
        onSQLite ? path("db.sqlite") : PostgreSQLTestCluster::newDatabase(error).value_or("");
    return location.empty() ? nullptr : open(location, error);
  }
  std::unique_ptr<ZRLDashboardStore> open(const std::string& where, std::string* error) const {
    if (GetParam() == DashboardBackend::sqlite) return ZRLDashboardSQLiteStore::open(where, error);
    return ZRLDashboardPostgreSQLStore::open(where, error);
  }
  std::string location;
};
