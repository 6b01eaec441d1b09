#pragma once
// What the end-to-end tests add to the tools' test support: waits on the
// output lines of the demo's own child processes with generous deadlines,
// and a look through /proc for anything left running.

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Tools/zrl-demo/ZRLDemoChild.h"
#include "Tools/zrl-demo/ZRLDemoLines.h"
#include "tests/Tools/ToolTestSupport.h"

// Sanitizer builds on a busy 2-core machine: every wait is generous.
inline constexpr auto kEndToEndPatience = kToolPatience;

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
