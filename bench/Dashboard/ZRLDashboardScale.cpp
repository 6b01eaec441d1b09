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

#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "LDEventSource/LDEventSource.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// User plus system time in a /proc stat file, in seconds.
double statSeconds(const std::string& path) {
  std::ifstream stat(path);
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  if (text.rfind(')') == std::string::npos) return 0;
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stol(field);
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A zrl-dashboard child and the address it printed.
class DashboardProcess {
 public:
  DashboardProcess(const std::string& program, const std::string& data, const std::string& port) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args{program, "--port", port, "--data", data};
    std::vector<char*> argv;
    for (auto& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    FILE* lines = fdopen(out[0], "r");
    char buffer[512];
    for (int i = 0; i < 3 && lines != nullptr && fgets(buffer, sizeof buffer, lines) != nullptr;
         ++i) {
      std::string line(buffer);
      if (!line.empty() && line.back() == '\n') line.pop_back();
      if (line.starts_with("ca: ")) authority = line.substr(4);
      if (line.starts_with("listening: ")) origin = line.substr(11);
      if (line.starts_with("open: ")) token = line.substr(line.find("token=") + 6);
    }
    output_ = lines;
  }
  ~DashboardProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_ != nullptr) fclose(output_);
  }
  DashboardProcess(const DashboardProcess&) = delete;
  DashboardProcess& operator=(const DashboardProcess&) = delete;

  bool ready() const { return pid_ > 0 && !origin.empty(); }
  void kill() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Resident memory in bytes.
  long residentBytes() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.starts_with("VmRSS:")) return std::stol(line.substr(6)) * 1024;
    return 0;
  }
  // User plus system time in seconds.
  double processorSeconds() const { return statSeconds("/proc/" + std::to_string(pid_) + "/stat"); }
  // The same for each thread, by name (the network thread is the one that
  // bears the program's name).
  std::map<std::string, double> threadSeconds() const {
    std::map<std::string, double> threads;
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    std::error_code ignored;
    for (const auto& task : std::filesystem::directory_iterator(tasks, ignored)) {
      std::ifstream comm(task.path() / "comm");
      std::string name;
      std::getline(comm, name);
      threads[name] += statSeconds((task.path() / "stat").string());
    }
    return threads;
  }

  std::string authority;
  std::string origin;
  std::string token;

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
};

// An upload as the plug-in makes it of a full screen: a 1.5 MB PNG (its
// signature, then bytes that do not compress) in base64 lines of 64 with
// CR LF, a layout of 200 views and the device's facts.
std::string captureUpload() {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::mt19937 random(7);
  while (png.size() < size_t{1536} * 1024)
    png.push_back(static_cast<char>(random() & 0xff));
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string base64;
  for (size_t i = 0; i < png.size(); i += 3) {
    const auto byte = [&](size_t at) {
      return at < png.size() ? static_cast<unsigned char>(png[at]) : 0u;
    };
    const unsigned word = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    if (i > 0 && i % 48 == 0) base64 += "\r\n";
    base64.push_back(kDigits[word >> 18 & 63]);
    base64.push_back(kDigits[word >> 12 & 63]);
    base64.push_back(i + 1 < png.size() ? kDigits[word >> 6 & 63] : '=');
    base64.push_back(i + 2 < png.size() ? kDigits[word & 63] : '=');
  }
  nlohmann::json layout = nlohmann::json::array();
  for (int i = 0; i < 200; ++i) {
    layout.push_back({{"id", "ZRL:Root:0:View:" + std::to_string(i)},
                      {"naf", false},
                      {"view", "UIView"},
                      {"views", nlohmann::json::array()},
                      {"bounds", {{"top", i}, {"left", 0}, {"right", 390}, {"bottom", i + 20}}}});
  }
  return nlohmann::json{{"screen", {{"image", base64}, {"navigation", "Checkout"}}},
                        {"layout", layout},
                        {"device_info", {{"os", "iOS"}, {"width", 1290}, {"height", 2796}}}}
      .dump();
}

// Clients that upload the capture one after another, each on its own
// connection, until the deadline: how long each answer took, and how many
// were not 200.
struct Uploads {
  std::mutex mutex;
  std::vector<double> seconds;
  size_t failed = 0;

  void run(const std::string& url, const std::string& authority, const std::string& body,
           Clock::time_point deadline) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, authority.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION,
        +[](char*, size_t size, size_t count, void*) { return size * count; });
    while (Clock::now() < deadline) {
      const auto start = Clock::now();
      const CURLcode code = curl_easy_perform(curl);
      const double took = secondsSince(start);
      long status = 0;
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
      std::lock_guard lock(mutex);
      seconds.push_back(took);
      if (code != CURLE_OK || status != 200) ++failed;
    }
    curl_easy_cleanup(curl);
  }
};

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// Pushes {"n": n}; the number of streams that the dashboard handed it to,
// or -1.
long push(const DashboardProcess& dashboard, int n) {
  CURL* curl = curl_easy_init();
  std::string body = nlohmann::json{{"n", n}}.dump();
  std::string answer;
  const std::string url = dashboard.origin + "/api/previews?appId=bench";
  const std::string authorization = "Authorization: Bearer " + dashboard.token;
  curl_slist* headers = curl_slist_append(nullptr, authorization.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, dashboard.authority.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t count, void* target) {
        static_cast<std::string*>(target)->append(data, size * count);
        return size * count;
      });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  const CURLcode code = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  if (code != CURLE_OK || status != 200) return -1;
  return nlohmann::json::parse(answer)["delivered"].get<long>();
}

// What every client saw: opens with their times, and how often each
// preview number reached it.
struct Fleet {
  std::mutex mutex;
  std::condition_variable changed;
  size_t opens = 0;
  std::vector<Clock::time_point> openTimes;
  std::vector<std::map<int, int>> received;  // per client: n -> count
  size_t messages = 0;
  Clock::time_point lastMessage;

  bool waitFor(const std::function<bool()>& condition, std::chrono::seconds patience) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, patience, condition);
  }
};

}  // namespace

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
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  std::cout << "open-file limit: " << files.rlim_cur << " (the dashboard inherits it)\n";
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
  fleet.received.resize(streams);
  std::vector<std::shared_ptr<LDEventSource>> clients;
  const auto connectStart = Clock::now();
  for (size_t i = 0; i < streams; ++i) {
    auto client = LDEventSource::eventSourceWithURL(
        NSURL::URLWithString(dashboard->origin + "/v1/api/sse-ui-config?appId=bench"),
        std::nullopt);
    client->onOpen([&fleet](const LDEventPtr&) {
      std::lock_guard lock(fleet.mutex);
      ++fleet.opens;
      fleet.openTimes.push_back(Clock::now());
      fleet.changed.notify_all();
    });
    client->onMessage([&fleet, i](const LDEventPtr& event) {
      const auto data = nlohmann::json::parse(event->data().value_or("{}"), nullptr, false);
      std::lock_guard lock(fleet.mutex);
      ++fleet.received[i][data.is_object() ? data.value("n", -1) : -1];
      ++fleet.messages;
      fleet.lastMessage = Clock::now();
      fleet.changed.notify_all();
    });
    client->open();
    clients.push_back(std::move(client));
  }
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
