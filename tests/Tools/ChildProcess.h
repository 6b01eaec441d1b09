#pragma once
// A program run as a child process for tests: standard input from
// /dev/null (or a pipe that the test writes), standard output read line by
// line, standard error kept in memory, every wait bounded, and the child
// killed if the test leaves it running.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/Platform/NetTestSupport.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

// Sanitizer builds on a busy 2-core machine: every wait on a program is
// generous.
inline constexpr auto kToolPatience = std::chrono::seconds(60);

// True once the process with that id has ended (it need not be a child),
// false when the time-out passed first.
inline bool waitUntilGone(pid_t pid, std::chrono::milliseconds timeout = kToolPatience) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  pollfd ended{fd, POLLIN, 0};
  const bool gone = ::poll(&ended, 1, static_cast<int>(std::max<long>(0, timeout.count()))) == 1;
  ::close(fd);
  return gone;
}

class ChildProcess {
  using Clock = std::chrono::steady_clock;

 public:
  enum class Input { null, pipe };

  // argv[0] is the program's path. With Input::pipe, writeInput feeds the
  // child's standard input until closeInput.
  explicit ChildProcess(std::vector<std::string> argv, Input input = Input::null) {
    std::vector<char*> args;
    for (std::string& arg : argv)
      args.push_back(arg.data());
    args.push_back(nullptr);
    int out[2] = {-1, -1};
    int in[2] = {-1, -1};
    err_ = memfd_create("stderr", MFD_CLOEXEC);
    if (err_ < 0 || pipe2(out, O_CLOEXEC) != 0) return;
    if (input == Input::pipe && pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input == Input::pipe) {
      posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    } else {
      posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_, 2);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
    if (in[0] >= 0) ::close(in[0]);
    in_ = in[1];
  }
  ~ChildProcess() {
    signal(SIGKILL);
    if (started() && !status_) ::waitpid(pid_, nullptr, 0);
    closeOutput();
    closeInput();
    if (err_ >= 0) ::close(err_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  void signal(int number) const {
    if (started() && !status_) ::kill(pid_, number);
  }
  // The child's next write to standard output fails.
  void closeOutput() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }

  // Writes all of the text to the child's standard input; false when it
  // has no pipe or the child stopped reading.
  bool writeInput(std::string_view text) {
    ::signal(SIGPIPE, SIG_IGN);  // a child that is gone fails the write instead
    while (in_ >= 0 && !text.empty()) {
      const ssize_t n = ::write(in_, text.data(), text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      text.remove_prefix(static_cast<size_t>(n));
    }
    return in_ >= 0;
  }
  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // How often the text occurs in standard error so far.
  size_t errorCount(std::string_view text) const {
    const std::string error = errorOutput();
    size_t count = 0;
    for (size_t at = error.find(text); !text.empty() && at != std::string::npos;
         at = error.find(text, at + text.size()))
      ++count;
    return count;
  }
  // Waits until `done` holds for standard error so far (looking again
  // every few milliseconds); false when the time-out passed first.
  bool waitForErrors(const std::function<bool(const std::string&)>& done,
                     Clock::duration timeout = kToolPatience) const {
    const auto deadline = Clock::now() + timeout;
    while (!done(errorOutput())) {
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // Waits until standard error holds the text at least count times.
  bool waitForError(std::string_view text, size_t count = 1,
                    Clock::duration timeout = kToolPatience) const {
    return waitForErrors([&](const std::string&) { return errorCount(text) >= count; }, timeout);
  }

  // The next line of standard output without its LF; null when the output
  // ended or the time-out passed first.
  std::optional<std::string> readLine(Clock::duration timeout = kToolPatience) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
      if (const auto end = output_.find('\n', consumed_); end != std::string::npos) {
        std::string line = output_.substr(consumed_, end - consumed_);
        consumed_ = end + 1;
        return line;
      }
      if (!pump(deadline)) return std::nullopt;
    }
  }

  // Reads standard output to its end and reaps the child: its exit status,
  // 128 + the signal that ended it, or null on time-out.
  std::optional<int> wait(Clock::duration timeout = kToolPatience) {
    const auto deadline = Clock::now() + timeout;
    while (pump(deadline)) {
    }
    if (status_ || !started()) return status_;
    int status = 0;
    if (!waitUntilGone(pid_, std::chrono::milliseconds(millisecondsLeft(deadline))) ||
        ::waitpid(pid_, &status, 0) != pid_)
      return std::nullopt;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

  // Standard output that no readLine() has returned, and standard error.
  std::string unreadOutput() const { return output_.substr(consumed_); }
  std::string errorOutput() const {
    struct stat file {};
    if (err_ < 0 || ::fstat(err_, &file) != 0) return {};
    std::string text(static_cast<size_t>(file.st_size), '\0');
    text.resize(
        static_cast<size_t>(std::max<ssize_t>(0, ::pread(err_, text.data(), text.size(), 0))));
    return text;
  }

 private:
  static int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
  }

  // Takes what standard output has once it has bytes or ends. False when
  // the deadline passed or the output has ended.
  bool pump(Clock::time_point deadline) {
    pollfd ready{out_, POLLIN, 0};
    if (out_ < 0 || ::poll(&ready, 1, millisecondsLeft(deadline)) != 1) return false;
    char buffer[65536];
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n > 0) {
      output_.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      closeOutput();
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  int err_ = -1;
  std::optional<int> status_;
  std::string output_;
  size_t consumed_ = 0;
};
