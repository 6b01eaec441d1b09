#pragma once
// A throw-away PostgreSQL server for the tests, from Debian's postgresql
// package: initdb and pg_ctl of the newest version under
// /usr/lib/postgresql, a cluster in a folder of its own under the system's
// temporary folder, listening on 127.0.0.1 on a free port with its socket
// in that folder. One per test process, started when first asked for; it
// is stopped at once ("immediate") and removed when the process ends, and
// by a watchdog child even when the process is killed.
//
// initdb and postgres refuse to run as root, as the suite runs in CI: then
// they run as "nobody" through setpriv (util-linux, on every Debian system)
// and the folder is given to that user, so the temporary folder must let
// others pass (as /tmp does).

#include <arpa/inet.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
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
    return run({pgCtl_, "restart", "-D", folder_ + "/data", "-l", folder_ + "/log", "-m",
                "immediate", "-w", "-t", "120"},
               error);
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
  static std::optional<std::filesystem::path> binaries() {
    std::optional<std::filesystem::path> newest;
    int newestVersion = -1;
    std::error_code failure;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", failure)) {
      const int version = std::atoi(entry.path().filename().c_str());
      if (version > newestVersion && std::filesystem::exists(entry.path() / "bin/initdb")) {
        newestVersion = version;
        newest = entry.path() / "bin";
      }
    }
    return newest;
  }
  // Runs the program (as the cluster's user) to its end; false with its
  // standard error in *error when it fails.
  bool run(std::vector<std::string> argv, std::string* error) const {
    argv.insert(argv.begin(), runAs_.begin(), runAs_.end());
    ChildProcess child(argv);
    if (child.wait() == 0) return true;
    *error = argv[runAs_.size()] + " failed: " + child.errorOutput();
    return false;
  }

  bool start(std::string* error) {
    const auto bin = binaries();
    if (!bin) {
      *error = "no /usr/lib/postgresql/VERSION/bin/initdb: install Debian's postgresql package";
      return false;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "zrl-pg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      *error = "cannot make a folder " + pattern;
      return false;
    }
    folder_ = pattern;
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");  // NOLINT(concurrency-mt-unsafe)
      if (nobody == nullptr || ::chown(folder_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
        *error = "cannot give " + folder_ + " to the user nobody";
        std::filesystem::remove_all(folder_);
        return false;
      }
      runAs_ = {"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups", "--"};
    }
    const std::string data = folder_ + "/data";
    pgCtl_ = (*bin / "pg_ctl").string();
    const std::string& pgCtl = pgCtl_;
    // From here on the watchdog stops whatever runs in the folder and
    // removes it when the input that this process holds ends.
    std::vector<std::string> watch = {
        "/bin/sh", "-c",
        "read -r _; exec >/dev/null 2>&1; folder=$1; shift; \"$@\"; rm -rf \"$folder\"", "sh",
        folder_};
    watch.insert(watch.end(), runAs_.begin(), runAs_.end());
    watch.insert(watch.end(), {pgCtl, "stop", "-D", data, "-m", "immediate", "-w"});
    watchdog_ = std::make_unique<ChildProcess>(watch, ChildProcess::Input::pipe);
    if (!run({(*bin / "initdb").string(), "-D", data, "-U", "zrl", "--auth=trust", "-E", "UTF8",
              "--locale=C", "--no-sync"},
             error))
      return false;
    // A port found free may be taken before the server binds it: another
    // one is tried then.
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = freePort();
      if (run({pgCtl, "start", "-D", data, "-l", folder_ + "/log", "-w", "-t", "120", "-o",
               "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) + " -k " + folder_ +
                   " -c fsync=off"},
              error))
        return true;
      *error += readFile(folder_ + "/log");
    }
    return false;
  }

  std::string folder_;
  std::string pgCtl_;
  std::vector<std::string> runAs_;
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
