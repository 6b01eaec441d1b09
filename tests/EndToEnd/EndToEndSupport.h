#pragma once
// What the end-to-end tests share: a temporary folder, zrl-dashboard and
// zrl-sim run as children of the test (through the demo's own child
// processes), waits on their output lines with generous deadlines, and a
// look through /proc for anything left running.

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Tools/zrl-demo/ZRLDemoChild.h"
#include "Tools/zrl-demo/ZRLDemoLines.h"
#include "tests/Tools/ChildProcess.h"

// Sanitizer builds on a busy 2-core machine: every wait is generous.
inline constexpr auto kEndToEndPatience = std::chrono::seconds(60);

class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zrl-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Reads the child's output until a line from `from` on satisfies `accept`;
// the index of that line, or -1 when the deadline passed or the child ended.
inline long waitForLine(ZRLDemoChild& child, ZRLDemoChild::Stream stream,
                        const std::function<bool(const std::string&)>& accept, size_t from = 0,
                        std::chrono::seconds patience = kEndToEndPatience) {
  ZRLDemoWaiter waiter;
  waiter.add(&child);
  long found = -1;
  size_t next = from;
  const auto done = [&] {
    const auto& lines = child.lines(stream);
    for (; next < lines.size() && found < 0; ++next) {
      if (accept(lines[next])) found = static_cast<long>(next);
    }
    return found >= 0;
  };
  waiter.waitUntil(done, ZRLDemoWaiter::Clock::now() + patience, &child);
  done();
  return found;
}

// zrl-dashboard as a child, once it printed its three lines.
class Dashboard {
 public:
  explicit Dashboard(const std::string& data, const std::string& port = "0") {
    std::string error;
    process_ = ZRLDemoChild::spawn(
        "dashboard", {ZRL_DASHBOARD_PATH, "--port", port, "--data", data}, std::nullopt, &error);
    if (!process_) return;
    waitForLine(*process_, ZRLDemoChild::Stream::output,
                [&](const std::string& line) { return address_.take(line); });
  }
  bool ready() const { return process_ && address_.complete(); }
  ZRLDemoChild& process() { return *process_; }
  const ZRLDemoDashboardAddress& address() const { return address_; }
  std::string errors() const {
    std::string text;
    if (process_) {
      for (const auto& line : process_->lines(ZRLDemoChild::Stream::error))
        text += line + "\n";
    }
    return text;
  }

 private:
  std::unique_ptr<ZRLDemoChild> process_;
  ZRLDemoDashboardAddress address_;
};

// True once the process with that id has ended (it need not be ours).
inline bool waitUntilGone(pid_t pid) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  pollfd ended{fd, POLLIN, 0};
  const auto patience = std::chrono::milliseconds(kEndToEndPatience).count();
  const bool gone = ::poll(&ended, 1, static_cast<int>(patience)) == 1;
  ::close(fd);
  return gone;
}

// The live processes whose command line mentions `text`.
inline std::vector<pid_t> processesMentioning(const std::string& text) {
  std::vector<pid_t> found;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream file(entry.path() / "cmdline", std::ios::binary);
    const std::string command{std::istreambuf_iterator<char>(file),
                              std::istreambuf_iterator<char>()};
    std::ifstream stat(entry.path() / "stat");
    std::string state;
    std::getline(stat, state);
    const size_t close = state.rfind(')');
    const bool zombie =
        close != std::string::npos && close + 2 < state.size() && state[close + 2] == 'Z';
    if (!zombie && command.find(text) != std::string::npos) found.push_back(std::stoi(name));
  }
  return found;
}
