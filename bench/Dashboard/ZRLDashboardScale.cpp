// The dashboard at scale: many device streams over TLS held by one
// zrl-dashboard, the devices being LDEventSource clients in this process
// (one network thread). Reports the dashboard's memory per open stream, its
// processor time while the streams sit idle, the time from a push to the
// last handler call, the same while 32 clients upload full-screen captures
// (a 1.5 MB PNG each) as fast as they can, with the uploads per second, the
// time to an upload's answer and the processor time of each of the
// dashboard's threads meanwhile, and what a restart does to the clients:
// how their reconnections spread over time, when all are back, and whether
// the previews pushed meanwhile reached every client exactly once.
//
// usage: ZRLDashboardScale DASHBOARD [STREAMS [IDLE_SECONDS [UPLOAD_SECONDS]]]

#include "bench/Dashboard/DashboardBenchSupport.h"

using namespace zrl_bench;  // NOLINT(google-build-using-namespace)

int main(int argc, char** argv) {
  if (argc < 2 || std::string(argv[1]) == "--help") {
    std::cout << "usage: ZRLDashboardScale DASHBOARD [STREAMS [IDLE_SECONDS [UPLOAD_SECONDS]]]\n"
                 "Measures one zrl-dashboard holding STREAMS (default 10000) device streams;\n"
                 "exit status 0 when every figure could be taken, 1 otherwise.\n";
    return argc < 2 ? 2 : 0;
  }
  const std::string program = argv[1];
  const size_t streams = argc > 2 ? std::stoul(argv[2]) : 10000;
  const int idleSeconds = argc > 3 ? std::stoi(argv[3]) : 30;
  const int uploadSeconds = argc > 4 ? std::stoi(argv[4]) : 20;
  constexpr int kUploaders = 32;

  std::cout << std::unitbuf;  // each figure as soon as it is taken
  std::cout << "open-file limit: " << raiseOpenFileLimit(0) << " (the dashboard inherits it)\n";
  curl_global_init(CURL_GLOBAL_DEFAULT);

  char folder[] = "/tmp/zrl-dashboard-scale-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  auto dashboard = std::make_unique<DashboardProcess>(program, folder, "0");
  if (!dashboard->ready()) {
    std::cerr << "zrl-dashboard did not start\n";
    return 1;
  }
  const std::string port = dashboard->origin.substr(dashboard->origin.rfind(':') + 1);
  NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(dashboard->authority);
  const long baseline = dashboard->residentBytes();

  Fleet fleet;
  const auto connectStart = Clock::now();
  std::vector<std::shared_ptr<LDEventSource>> clients =
      openStreams(fleet, dashboard->origin, streams);
  // The clients' handlers use the fleet: every way out closes them first.
  const auto giveUp = [&clients] {
    for (auto& client : clients)
      client->close();
    return 1;
  };
  const bool connected =
      fleet.waitFor([&] { return fleet.opens >= streams; }, std::chrono::seconds(600));
  std::cout << "streams open: " << fleet.opens << " of " << streams << " in "
            << secondsSince(connectStart) << " s\n";
  if (!connected) return giveUp();

  std::this_thread::sleep_for(std::chrono::seconds(2));  // let the last handshakes settle
  const long loaded = dashboard->residentBytes();
  std::cout << "dashboard memory: " << baseline / 1024 << " KB before, " << loaded / 1024
            << " KB with the streams: " << (loaded - baseline) / static_cast<long>(streams)
            << " bytes per stream\n";

  const double cpuBefore = dashboard->processorSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double cpuIdle = dashboard->processorSeconds() - cpuBefore;
  std::cout << "processor time while idle: " << cpuIdle << " s in " << idleSeconds << " s ("
            << 100.0 * cpuIdle / idleSeconds << " % of one core, keep-alives included)\n";

  // One push to every stream.
  const auto pushStart = Clock::now();
  const long delivered = push(*dashboard, 1);
  std::cout << "the dashboard handed the push to " << delivered << " streams\n";
  if (delivered < 0) return giveUp();
  const bool allGot =
      fleet.waitFor([&] { return fleet.messages >= streams; }, std::chrono::seconds(120));
  {
    std::lock_guard lock(fleet.mutex);
    std::cout << "push to last handler call: "
              << std::chrono::duration<double, std::milli>(fleet.lastMessage - pushStart).count()
              << " ms (" << fleet.messages << " of " << streams << " handler calls)\n";
  }
  if (!allGot) return giveUp();
  std::vector<int> pushed{1};

  // The seconds from a push to the last of its handler calls; negative
  // when not every client got it.
  const auto timedPush = [&](int n) {
    size_t before = 0;
    {
      std::lock_guard lock(fleet.mutex);
      before = fleet.messages;
    }
    const auto start = Clock::now();
    if (push(*dashboard, n) < 0) return -1.0;
    pushed.push_back(n);
    if (!fleet.waitFor([&] { return fleet.messages >= before + streams; },
                       std::chrono::seconds(120))) {
      return -1.0;
    }
    std::lock_guard lock(fleet.mutex);
    return std::chrono::duration<double>(fleet.lastMessage - start).count();
  };
  // Three pushes, one second apart: the median.
  const auto medianPush = [&](int first) {
    std::vector<double> times;
    for (int n = first; n < first + 3; ++n) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      times.push_back(timedPush(n));
      std::cout << "  push " << n << ": " << times.back() * 1000 << " ms\n";
    }
    std::sort(times.begin(), times.end());
    return times.front() < 0 ? -1.0 : times[1];
  };
  std::cout << "pushes without uploads:\n";
  const double quiet = medianPush(11);

  // Uploads of full-screen captures from 32 clients at once, as fast as
  // they can, with pushes in the middle.
  const std::string body = captureUpload();
  Uploads uploads;
  const auto threadsBefore = dashboard->threadSeconds();
  const double clientsBefore = statSeconds("/proc/self/stat");
  const auto uploadStart = Clock::now();
  const auto uploadEnd = uploadStart + std::chrono::seconds(uploadSeconds);
  std::vector<std::thread> uploaders;
  const std::string uploadURL = dashboard->origin + "/v1/api/layout?appId=bench-uploads";
  for (int i = 0; i < kUploaders; ++i)
    uploaders.emplace_back([&] { uploads.run(uploadURL, dashboard->authority, body, uploadEnd); });
  std::this_thread::sleep_for(std::chrono::seconds(std::min(3, uploadSeconds / 4)));
  std::cout << "pushes during the uploads:\n";
  const double busy = medianPush(21);
  for (auto& uploader : uploaders)
    uploader.join();
  const double uploadTime = secondsSince(uploadStart);
  const auto threadsAfter = dashboard->threadSeconds();
  const double clientSeconds = statSeconds("/proc/self/stat") - clientsBefore;
  std::cout << "uploads of " << body.size() / 1024 << " KB by " << kUploaders << " clients for "
            << uploadTime << " s: " << uploads.seconds.size() << " ("
            << static_cast<double>(uploads.seconds.size()) / uploadTime << " per second), "
            << uploads.failed << " not answered 200\n"
            << "upload answer: p50 " << percentile(uploads.seconds, 0.5) * 1000 << " ms, p99 "
            << percentile(uploads.seconds, 0.99) * 1000 << " ms\n"
            << "push to last handler call: " << quiet * 1000 << " ms without uploads, "
            << busy * 1000 << " ms during them (" << busy / quiet << "x)\n"
            << "processor time during the uploads (" << uploadTime << " s):\n";
  for (const auto& [name, after] : threadsAfter) {
    const auto before = threadsBefore.find(name);
    std::cout << "  dashboard thread " << name << ": "
              << after - (before == threadsBefore.end() ? 0.0 : before->second) << " s\n";
  }
  std::cout << "  this program (the streams' and the uploads' clients): " << clientSeconds
            << " s\n";
  if (quiet < 0 || busy < 0 || uploads.seconds.empty()) return giveUp();

  // Restart: killed, started again on the same port; one preview pushed as
  // soon as it listens (most clients are still away), one when all are back.
  size_t opensBefore = 0;
  {
    std::lock_guard lock(fleet.mutex);
    opensBefore = fleet.opens;
  }
  dashboard->kill();
  const auto restart = Clock::now();
  dashboard = std::make_unique<DashboardProcess>(program, folder, port);
  if (!dashboard->ready()) {
    std::cerr << "zrl-dashboard did not start again on port " << port << "\n";
    return giveUp();
  }
  std::cout << "restarted in " << secondsSince(restart) << " s\n";
  const long deliveredDuring = push(*dashboard, 2);
  pushed.push_back(2);
  const bool pushedDuring = deliveredDuring >= 0;
  std::cout << "preview 2 pushed during the restart went live to " << deliveredDuring
            << " streams\n";
  const bool back = fleet.waitFor([&] { return fleet.opens >= opensBefore + streams; },
                                  std::chrono::seconds(600));
  const double allBack = secondsSince(restart);
  const bool pushedAfter = push(*dashboard, 3) >= 0;
  pushed.push_back(3);
  fleet.waitFor([&] { return fleet.messages >= pushed.size() * streams; },
                std::chrono::seconds(120));

  std::lock_guard lock(fleet.mutex);
  std::cout << "reconnected: " << fleet.opens - opensBefore << " of " << streams
            << (back ? "" : " (not all)") << ", all back after " << allBack << " s\n";
  std::map<long, size_t> histogram;
  for (size_t i = opensBefore; i < fleet.openTimes.size(); ++i)
    ++histogram[std::chrono::duration_cast<std::chrono::seconds>(fleet.openTimes[i] - restart)
                    .count()];
  std::cout << "reconnections per second after the kill:\n";
  for (const auto& [second, count] : histogram)
    std::cout << "  " << second << "-" << second + 1 << " s: " << count << "\n";
  std::map<std::string, size_t> patterns;  // "n:count n:count" -> clients
  for (const auto& counts : fleet.received) {
    std::string pattern;
    for (const auto& [n, count] : counts)
      pattern += std::to_string(n) + "x" + std::to_string(count) + " ";
    ++patterns[pattern];
  }
  std::cout << "previews received, per client (preview x times: clients):\n";
  for (const auto& [pattern, count] : patterns)
    std::cout << "  " << pattern << ": " << count << "\n";
  size_t exact = 0;
  for (const auto& counts : fleet.received) {
    const bool once = std::all_of(pushed.begin(), pushed.end(), [&](int n) {
      const auto found = counts.find(n);
      return found != counts.end() && found->second == 1;
    });
    if (once && counts.size() == pushed.size()) ++exact;
  }
  std::cout << "every preview (1 and 11 to 23 before, 2 during the restart, 3 after) received "
               "exactly once by "
            << exact << " of " << streams << " clients\n";
  for (auto& client : clients)
    client->close();
  std::filesystem::remove_all(folder);
  return pushedDuring && pushedAfter && back && exact == streams ? 0 : 1;
}
