#pragma once
// What the dashboard's benchmarks share: a zrl-dashboard child and what it
// printed, a capture upload as the plug-in makes it, clients that upload
// it, a timed push, and a fleet of event-stream clients.

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

namespace zrl_bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Raises the open-file limit to `wanted` where the hard limit allows it,
// else to the hard limit; the limit now in force (children inherit it).
inline rlim_t raiseOpenFileLimit(rlim_t wanted) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::max(files.rlim_max, wanted);
  files.rlim_max = files.rlim_cur;
  if (setrlimit(RLIMIT_NOFILE, &files) != 0) {
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  return files.rlim_cur;
}

// User plus system time in a /proc stat file, in seconds.
inline double statSeconds(const std::string& path) {
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
  // With `options` after --port and --data (--database URL, say).
  DashboardProcess(const std::string& program, const std::string& data, const std::string& port,
                   const std::vector<std::string>& options = {}) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args{program, "--port", port, "--data", data};
    args.insert(args.end(), options.begin(), options.end());
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
inline std::string captureUpload() {
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

inline double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// Pushes {"n": n}; the number of streams that the dashboard handed it to,
// or -1.
inline long push(const DashboardProcess& dashboard, int n) {
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

// Opens `count` streams of application "bench" at the origin; the
// clients' handlers note what they get in the fleet (sized to count).
inline std::vector<std::shared_ptr<LDEventSource>> openStreams(Fleet& fleet,
                                                               const std::string& origin,
                                                               size_t count) {
  fleet.received.resize(count);
  std::vector<std::shared_ptr<LDEventSource>> clients;
  for (size_t i = 0; i < count; ++i) {
    auto client = LDEventSource::eventSourceWithURL(
        NSURL::URLWithString(origin + "/v1/api/sse-ui-config?appId=bench"), std::nullopt);
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
  return clients;
}

}  // namespace zrl_bench
