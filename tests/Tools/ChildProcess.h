#pragma once
// A program run as a child process for tests: its standard output read line
// by line and its standard error gathered, each wait bounded by a time-out,
// and the child killed if the test leaves it running.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;  // NOLINT(readability-redundant-declaration)

class ChildProcess {
 public:
  // Starts the program with the arguments, standard input from /dev/null
  // and the environment of the test without the variables named in
  // unsetVariables. started() tells whether it ran.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& unsetVariables = {}) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) {
      closeBoth(out);
      return;
    }
    std::vector<char*> argv;
    std::vector<std::string> storage{program};
    storage.insert(storage.end(), args.begin(), args.end());
    for (std::string& arg : storage)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view text(*entry);
      bool dropped = false;
      for (const std::string& name : unsetVariables)
        dropped = dropped || text.starts_with(name + "=");
      if (!dropped) envp.push_back(*entry);
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    const int failure =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (failure != 0) {
      pid_ = -1;
      ::close(out[0]);
      ::close(err[0]);
      return;
    }
    out_ = out[0];
    err_ = err[0];
    // A descriptor that becomes readable when the child exits, so that the
    // wait for it can have a time-out.
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  }

  ~ChildProcess() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int ignored = 0;
      ::waitpid(pid_, &ignored, 0);
    }
    for (int fd : {out_, err_, pidfd_})
      if (fd >= 0) ::close(fd);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0 && pidfd_ >= 0; }
  void signal(int number) const {
    if (pid_ > 0 && !status_) ::kill(pid_, number);
  }
  // Stops reading standard output: the child's next write fails.
  void closeOutput() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }

  // The next line of standard output without its LF; null when the output
  // ended or the time-out passed first.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      if (const auto end = output_.find('\n', consumed_); end != std::string::npos) {
        std::string line = output_.substr(consumed_, end - consumed_);
        consumed_ = end + 1;
        return line;
      }
      if (out_ < 0 || !pump(deadline)) return std::nullopt;
    }
  }

  // Every remaining line of standard output, until it ends.
  std::vector<std::string> readLines(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::string> lines;
    while (auto line = readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
               deadline - std::chrono::steady_clock::now()))) {
      lines.push_back(std::move(*line));
    }
    return lines;
  }

  // Reads both outputs to their end and waits for the child to exit. The
  // exit status, 128 + the signal that ended it, or null on time-out.
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while ((out_ >= 0 || err_ >= 0) && pump(deadline)) {
    }
    if (status_ || pid_ <= 0) return status_;
    pollfd exited{pidfd_, POLLIN, 0};
    if (::poll(&exited, 1, remainingMilliseconds(deadline)) != 1) return std::nullopt;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

  // Standard output that no readLine() has returned, and standard error.
  std::string unreadOutput() const { return output_.substr(consumed_); }
  const std::string& errorOutput() const { return error_; }

 private:
  static void closeBoth(int (&fds)[2]) {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  static int remainingMilliseconds(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
  }

  // Waits for either output to have bytes or to end, and takes them.
  // False when the deadline passed or both outputs have ended.
  bool pump(std::chrono::steady_clock::time_point deadline) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) return false;
    const int ready = ::poll(fds, 2, remainingMilliseconds(deadline));
    if (ready <= 0) return false;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? output_ : error_).append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        (i == 0 ? out_ : err_) = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int pidfd_ = -1;
  std::optional<int> status_;
  std::string output_;
  size_t consumed_ = 0;
  std::string error_;
};
