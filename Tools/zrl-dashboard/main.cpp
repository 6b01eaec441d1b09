// zrl-dashboard: the local dashboard that the plug-in talks to. It stores
// the captures that "Select Screen" uploads and the application's test
// devices, serves its page and JSON API, and pushes previews to the
// devices' event streams, over HTTPS with a certificate authority of its
// own.

#include <arpa/inet.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Tools/zrl-dashboard/ZRLDashboardCertificate.h"
#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardPostgreSQLListener.h"
#include "Tools/zrl-dashboard/ZRLDashboardPostgreSQLStore.h"
#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"
#include "Tools/zrl-dashboard/ZRLDashboardSQLiteStore.h"
#include "Tools/zrl-dashboard/ZRLDashboardServer.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

const char* const kUsage =
    "usage: zrl-dashboard [--port N] [--data DIR] [--database URL]\n"
    "                     [--listen ADDRESS] [--public-name NAME]...\n"
    "                     [--max-connections N]\n"
    "\n"
    "Serves the dashboard that the plug-in talks to over HTTPS on 127.0.0.1 (or\n"
    "the --listen address): it stores the captures and test devices that devices\n"
    "send, shows them on its page, and pushes previews to the devices' event\n"
    "streams.\n"
    "\n"
    "  --port N     the port to listen on (default " ZRL_DASHBOARD_DEFAULT_PORT
    "; 0 picks a free one)\n"
    "  --data DIR   the folder for the database, the certificate authority and\n"
    "               the page's token (default $XDG_DATA_HOME/zrl-dashboard or\n"
    "               ~/.local/share/zrl-dashboard); made when missing\n"
    "  --database URL\n"
    "               keep the records in the PostgreSQL database of that connection\n"
    "               URI (postgresql://[user[:password]@][host][:port][/dbname][?...])\n"
    "               instead of the SQLite file dashboard.sqlite in the data folder;\n"
    "               its tables are made when missing; dashboards that share the\n"
    "               database hand each preview to their own streams, so that a\n"
    "               device may use any of them\n"
    "  --listen ADDRESS\n"
    "               the IPv4 or IPv6 address to listen on (default 127.0.0.1;\n"
    "               0.0.0.0 or :: for every interface)\n"
    "  --public-name NAME\n"
    "               a name under which a load balancer serves the page: the\n"
    "               page's requests may carry it as their Host (with any port);\n"
    "               repeatable\n"
    "  --max-connections N\n"
    "               the most connections open at once; one more is answered 503\n"
    "               and closed (default: the open-file limit less 64, or less\n"
    "               half of it when it is under 128)\n"
    "  --help       show this text\n"
    "\n"
    "A request body may nest JSON arrays and objects at most 4096 levels deep\n"
    "(a layout's views 2000 levels deep); a deeper one is answered 400. When the\n"
    "disk is full, writes are answered 507 and change nothing; when the database\n"
    "file cannot be written (read-only, deleted) or the PostgreSQL server cannot\n"
    "be reached, 503; reads of the file go on either way. GET /healthz answers\n"
    "{\"database\": \"ok\"} with 200, or 503 when the database does not answer,\n"
    "without the token; GET /metrics, with it, answers its counts and timings\n"
    "in Prometheus's text format.\n"
    "\n"
    "Before serving it prints 'ca: PATH' (the certificate authority that clients\n"
    "trust), 'listening: https://ADDRESS:PORT' and 'open: URL' (the page, with\n"
    "its token). SIGINT or SIGTERM ends it.\n"
    "\n"
    "Exit status: 0 after SIGINT or SIGTERM, 1 when it cannot start (data folder,\n"
    "database, certificate or port), 2 for a wrong command line (a --database\n"
    "that is not a PostgreSQL connection URI among them).\n";

int usageError(const std::string& message) {
  std::cerr << "zrl-dashboard: " << message << "\n" << kUsage;
  return kExitUsage;
}

std::string defaultDataDirectory() {
  const char* data = std::getenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (data != nullptr && *data == '/') return std::string(data) + "/zrl-dashboard";
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  return std::string(home != nullptr && *home != '\0' ? home : ".") + "/.local/share/zrl-dashboard";
}

// The page's token, kept in the data folder so that the printed address stays
// valid across restarts; made on first start.
std::optional<std::string> loadOrCreateToken(const std::filesystem::path& directory,
                                             std::string* error) {
  const auto path = directory / "token";
  {
    std::ifstream file(path);
    std::string token;
    if (file && std::getline(file, token) && token.size() == 64) return token;
  }
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    *error = "no random bytes for the token";
    return std::nullopt;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char byte : bytes) {
    token.push_back(kHex[byte >> 4]);
    token.push_back(kHex[byte & 15]);
  }
  const auto temporary = directory / "token.tmp";
  {
    const mode_t previous = ::umask(077);
    std::ofstream file(temporary, std::ios::trunc);
    ::umask(previous);
    file << token << "\n";
    if (!file.flush()) {
      *error = "writing " + temporary.string();
      return std::nullopt;
    }
  }
  std::error_code failure;
  std::filesystem::rename(temporary, path, failure);
  if (failure) {
    *error = "writing " + path.string() + ": " + failure.message();
    return std::nullopt;
  }
  return token;
}

}  // namespace

int main(int argc, char** argv) {
  long port = std::strtol(ZRL_DASHBOARD_DEFAULT_PORT, nullptr, 10);
  std::string dataDirectory;
  std::optional<std::string> databaseURI;
  size_t maximumConnections = 0;
  std::string listenAddress = "127.0.0.1";
  std::vector<std::string> publicNames;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (argument == "--port" || argument == "--data" || argument == "--database" ||
        argument == "--max-connections" || argument == "--listen" || argument == "--public-name") {
      if (i + 1 >= argc) return usageError(argument + " needs a value");
      const std::string value = argv[++i];
      if (argument == "--max-connections") {
        char* end = nullptr;
        const long long count = std::strtoll(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || count < 1 || count > 10000000)
          return usageError("--max-connections needs a number from 1 to 10000000, not '" + value +
                            "'");
        maximumConnections = static_cast<size_t>(count);
        continue;
      }
      if (argument == "--listen") {
        unsigned char address[sizeof(in6_addr)];
        if (::inet_pton(AF_INET, value.c_str(), address) != 1 &&
            ::inet_pton(AF_INET6, value.c_str(), address) != 1)
          return usageError("--listen needs an IP address, not '" + value + "'");
        listenAddress = value;
        continue;
      }
      if (argument == "--public-name") {
        if (value.empty() || value.find_first_of(":/[] ") != std::string::npos)
          return usageError("--public-name needs a host name without a port, not '" + value + "'");
        publicNames.push_back(value);
        continue;
      }
      if (argument == "--database") {
        std::string reason;
        if (!ZRLDashboardPostgreSQLStore::acceptsURI(value, &reason))
          return usageError("--database needs a PostgreSQL connection URI, not '" +
                            ZRLDashboardPostgreSQLStore::withoutPassword(value) + "': " + reason);
        databaseURI = value;
        continue;
      }
      if (argument == "--data") {
        if (value.empty()) return usageError("--data needs a folder");
        dataDirectory = value;
        continue;
      }
      char* end = nullptr;
      port = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || port < 0 || port > 65535)
        return usageError("--port needs a number from 0 to 65535, not '" + value + "'");
      continue;
    }
    return usageError("unknown argument '" + argument + "'");
  }
  if (dataDirectory.empty()) dataDirectory = defaultDataDirectory();

  std::error_code failure;
  std::filesystem::create_directories(dataDirectory, failure);
  if (failure) {
    std::cerr << "zrl-dashboard: cannot make the data folder " << dataDirectory << ": "
              << failure.message() << "\n";
    return kExitFailure;
  }
  const auto directory = std::filesystem::absolute(dataDirectory);
  ::chmod(directory.c_str(), 0700);

  std::string error;
  const auto certificate = ZRLDashboardCertificate::loadOrCreate(directory.string(), &error);
  if (!certificate) {
    std::cerr << "zrl-dashboard: certificate in " << directory.string() << ": " << error << "\n";
    return kExitFailure;
  }
  if (!certificate->authorityConstrained()) {
    std::cerr << "zrl-dashboard: the certificate authority " << certificate->authorityFile()
              << " may sign for any name, so a copy of its key could impersonate any site to"
                 " clients that trust it; for one that signs only for localhost, 127.0.0.0/8"
                 " and ::1, stop zrl-dashboard, delete ca.pem and ca-key.pem in "
              << directory.string() << ", start it again and trust the new ca.pem" << std::endl;
  }
  const auto token = loadOrCreateToken(directory, &error);
  if (!token) {
    std::cerr << "zrl-dashboard: " << error << "\n";
    return kExitFailure;
  }
  const std::string databaseFile = (directory / "dashboard.sqlite").string();
  const auto openStore = [&]() -> std::unique_ptr<ZRLDashboardStore> {
    if (databaseURI) return ZRLDashboardPostgreSQLStore::open(*databaseURI, &error);
    return ZRLDashboardSQLiteStore::open(databaseFile, &error);
  };
  auto store = openStore();
  // The uploads of captures go through a connection of their own, on a
  // thread of their own.
  auto captureStore = store ? openStore() : nullptr;
  if (!store || !captureStore) {
    std::cerr << "zrl-dashboard: database " << error << "\n";
    return kExitFailure;
  }

  ZRLDashboardServer::Options options;
  options.address = listenAddress;
  options.port = static_cast<unsigned short>(port);
  options.certificateChainFile = certificate->chainFile();
  options.keyFile = certificate->keyFile();
  options.maximumConnections = maximumConnections;
  ZRLDashboardMetrics metrics;
  options.metrics = &metrics;
  auto server = ZRLDashboardServer::make(options, &error);
  if (!server) {
    std::cerr << "zrl-dashboard: " << error << "\n";
    return kExitFailure;
  }
  // The page opens on the address listened on; on this machine's own
  // when that is every interface.
  const bool version6 = listenAddress.find(':') != std::string::npos;
  const std::string hostName = version6 ? "[" + listenAddress + "]" : listenAddress;
  std::string portSuffix = ":";  // appended: g++ -O3 warns falsely on "..." + to_string()
  portSuffix.append(std::to_string(server->port()));
  const bool everywhere = listenAddress == "0.0.0.0" || listenAddress == "::";
  const std::string origin = "https://" + (everywhere ? "127.0.0.1" : hostName) + portSuffix;
  if (!everywhere && listenAddress != "127.0.0.1") publicNames.push_back(hostName);

  ZRLDashboardHub hub;
  ZRLDashboardRouter router(*store, hub,
                            {*token, server->port(), ZRL_DASHBOARD_WEB_DIRECTORY, publicNames});
  router.useForUploads(*captureStore);
  router.useMetrics(metrics);
  // With a shared database, the previews that other dashboards commit are
  // handed to this one's streams too: each notice asks the storage thread
  // to catch up, once for all the notices that come in before it does.
  std::atomic<bool> catchUpAsked{false};
  const auto askCatchUp = [&] {
    if (catchUpAsked.exchange(true)) return;
    server->onStorageThread([&] {
      catchUpAsked = false;
      router.catchUp();
    });
  };
  std::unique_ptr<ZRLDashboardPostgreSQLListener> listener;
  if (databaseURI) {
    listener = ZRLDashboardPostgreSQLListener::start(
        *databaseURI, {[&](int64_t) { askCatchUp(); }, askCatchUp}, &error);
    if (!listener) {
      std::cerr << "zrl-dashboard: database " << error << "\n";
      return kExitFailure;
    }
  }
  std::cout << "ca: " << certificate->authorityFile() << "\n"
            << "listening: https://" << hostName << portSuffix << "\n"
            << "open: " << origin << "/?token=" << *token << std::endl;
  server->run(router, hub);
  listener.reset();
  server.reset();
  captureStore.reset();
  store.reset();
  std::cerr << "zrl-dashboard: stopped\n";
  return 0;
}
