// Dashboards beyond one machine, measured with STREAMS device streams
// (LDEventSource clients in this process) on
//   1. one zrl-dashboard with SQLite,
//   2. one zrl-dashboard with PostgreSQL (a throw-away cluster),
//   3. two zrl-dashboard instances on that database behind HAProxy, with
//      the project's configuration, the streams split between them and the
//      pushes going through the first:
// the median time from a push to the last handler call (three pushes), and
// for 1 and 2 the uploads per second of 32 clients sending full-screen
// captures as fast as they can.
//
// usage: ZRLDashboardClusterScale DASHBOARD [STREAMS [UPLOAD_SECONDS]]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>

#include "bench/Dashboard/DashboardBenchSupport.h"

using namespace zrl_bench;  // NOLINT(google-build-using-namespace)

namespace {

// The median of three pushes through `through`, each timed from its
// request to the last handler call; negative when a client missed one.
double medianPush(Fleet& fleet, const DashboardProcess& through, size_t streams, int& n) {
  std::vector<double> times;
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    size_t before = 0;
    {
      std::lock_guard lock(fleet.mutex);
      before = fleet.messages;
    }
    const auto start = Clock::now();
    if (push(through, ++n) < 0) return -1;
    if (!fleet.waitFor([&] { return fleet.messages >= before + streams; },
                       std::chrono::seconds(120)))
      return -1;
    std::lock_guard lock(fleet.mutex);
    times.push_back(std::chrono::duration<double>(fleet.lastMessage - start).count());
    std::cout << "  push " << n << ": " << times.back() * 1000 << " ms\n";
  }
  std::sort(times.begin(), times.end());
  return times[1];
}

// Opens the streams at `origin`, times the pushes, and closes the streams.
double pushToStreams(const std::string& origin, const DashboardProcess& through, size_t streams,
                     int& n) {
  Fleet fleet;
  std::vector<std::shared_ptr<LDEventSource>> clients = openStreams(fleet, origin, streams);
  const auto start = Clock::now();
  const bool open =
      fleet.waitFor([&] { return fleet.opens >= streams; }, std::chrono::seconds(600));
  std::cout << "  " << fleet.opens << " of " << streams << " streams open in "
            << secondsSince(start) << " s\n";
  const double median = open ? medianPush(fleet, through, streams, n) : -1;
  for (auto& client : clients)
    client->close();
  return median;
}

double uploadsPerSecond(const DashboardProcess& dashboard, int seconds) {
  const std::string body = captureUpload();
  Uploads uploads;
  const auto start = Clock::now();
  std::vector<std::thread> clients;
  for (int i = 0; i < 32; ++i) {
    clients.emplace_back([&] {
      uploads.run(dashboard.origin + "/v1/api/layout?appId=bench-uploads", dashboard.authority,
                  body, start + std::chrono::seconds(seconds));
    });
  }
  for (auto& client : clients)
    client.join();
  const double stored = static_cast<double>(uploads.seconds.size() - uploads.failed);
  std::cout << "  " << stored << " uploads in " << secondsSince(start) << " s (" << uploads.failed
            << " failed), answer p50 " << percentile(uploads.seconds, 0.5) * 1000 << " ms, p99 "
            << percentile(uploads.seconds, 0.99) * 1000 << " ms\n";
  return uploads.failed > 0 ? -1 : stored / secondsSince(start);
}

// A port on 127.0.0.1 that nothing listens on just now.
unsigned short freePort() {
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

// HAProxy with the project's configuration in front of the two.
pid_t startHAProxy(const std::string& bind, const DashboardProcess& one,
                   const DashboardProcess& two) {
  std::vector<std::string> settings{
      "ZRL_HAPROXY_BIND=" + bind,
      "ZRL_DASHBOARD_ONE=" + one.origin.substr(8),
      "ZRL_DASHBOARD_TWO=" + two.origin.substr(8),
      "ZRL_DASHBOARD_CA=" + one.authority,
  };
  std::vector<std::string> args{ZRL_HAPROXY_PATH, "-db", "-f",
                                ZRL_SOURCE_DIR "/Tools/zrl-dashboard/cluster/haproxy.cfg"};
  std::vector<char*> argv;
  std::vector<char*> envp;
  for (auto& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (auto& setting : settings)
    envp.push_back(setting.data());
  for (char** variable = environ; *variable != nullptr; ++variable)
    envp.push_back(*variable);
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help") {
    std::cout << "usage: ZRLDashboardClusterScale DASHBOARD [STREAMS [UPLOAD_SECONDS]]\n"
                 "Measures pushes to STREAMS (default 10000) device streams on one zrl-dashboard\n"
                 "with SQLite, one with PostgreSQL and two behind HAProxy, and uploads on both\n"
                 "stores; exit status 0 when every figure could be taken, 1 otherwise.\n";
    return argc < 2 ? 2 : 0;
  }
  const std::string program = argv[1];
  const size_t streams = argc > 2 ? std::stoul(argv[2]) : 10000;
  const int uploadSeconds = argc > 3 ? std::stoi(argv[3]) : 10;

  std::cout << std::unitbuf;
  // Through HAProxy a stream takes two descriptors there, one here and one
  // in a dashboard: a limit above the machine's usual one, where allowed.
  std::cout << "open-file limit: " << raiseOpenFileLimit(65536) << " (the children inherit it)\n";
  curl_global_init(CURL_GLOBAL_DEFAULT);

  char folder[] = "/tmp/zrl-cluster-scale-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  ::chmod(folder, 0755);  // the database's folder inside is nobody's when run as root
  const std::string data = std::string(folder) + "/data";
  const std::string cluster =
      "sh " ZRL_SOURCE_DIR "/scripts/throwaway-postgresql.sh %s " + std::string(folder) + "/pg";
  std::string uri;
  {
    char command[512];
    std::snprintf(command, sizeof command, cluster.c_str(), "start");
    FILE* started = popen(command, "r");
    char line[256] = {};
    if (started != nullptr && fgets(line, sizeof line, started) != nullptr) uri = line;
    if (started != nullptr) pclose(started);
    while (!uri.empty() && uri.back() == '\n')
      uri.pop_back();
  }
  const auto stopCluster = [&] {
    char command[512];
    std::snprintf(command, sizeof command, cluster.c_str(), "stop");
    return std::system(command);  // NOLINT(concurrency-mt-unsafe)
  };
  if (uri.empty()) {
    std::cerr << "the PostgreSQL cluster did not start\n";
    std::filesystem::remove_all(folder);
    return 1;
  }

  int n = 0;
  double push[3] = {-1, -1, -1};
  double uploads[2] = {-1, -1};
  {
    std::cout << "1. one zrl-dashboard with SQLite\n";
    DashboardProcess sqlite(program, data, "0");
    if (sqlite.ready()) {
      NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(sqlite.authority);
      push[0] = pushToStreams(sqlite.origin, sqlite, streams, n);
      uploads[0] = uploadsPerSecond(sqlite, uploadSeconds);
    }
  }
  {
    std::cout << "2. one zrl-dashboard with PostgreSQL\n";
    DashboardProcess postgresql(program, data, "0", {"--database", uri});
    if (postgresql.ready()) {
      push[1] = pushToStreams(postgresql.origin, postgresql, streams, n);
      uploads[1] = uploadsPerSecond(postgresql, uploadSeconds);
    }
  }
  {
    std::cout << "3. two zrl-dashboard instances on PostgreSQL behind HAProxy\n";
    const std::vector<std::string> shared{"--database", uri, "--public-name", "127.0.0.1"};
    DashboardProcess one(program, data, "0", shared);
    DashboardProcess two(program, data, "0", shared);
    const std::string bind = "127.0.0.1:" + std::to_string(freePort());
    const pid_t haproxy = one.ready() && two.ready() ? startHAProxy(bind, one, two) : -1;
    if (haproxy > 0) {
      push[2] = pushToStreams("https://" + bind, one, streams, n);
      ::kill(haproxy, SIGTERM);
      ::waitpid(haproxy, nullptr, 0);
    }
  }
  stopCluster();
  std::filesystem::remove_all(folder);

  std::cout << "\npush to the last handler call, median of three, " << streams << " streams:\n"
            << "  one dashboard, SQLite:         " << push[0] * 1000 << " ms\n"
            << "  one dashboard, PostgreSQL:     " << push[1] * 1000
            << " ms (the database hop: " << (push[1] - push[0]) * 1000 << " ms per push)\n"
            << "  two dashboards behind HAProxy: " << push[2] * 1000 << " ms (" << push[2] / push[0]
            << " times one with SQLite; the goal: within 1.5)\n"
            << "uploads per second of 32 clients: SQLite " << uploads[0] << ", PostgreSQL "
            << uploads[1] << "\n";
  const bool taken =
      std::all_of(std::begin(push), std::end(push), [](double v) { return v >= 0; }) &&
      uploads[0] >= 0 && uploads[1] >= 0;
  return taken ? 0 : 1;
}
