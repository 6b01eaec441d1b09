#include "Tools/zrl-demo/ZRLDemoChild.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

void closeDescriptor(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int millisecondsUntil(ZRLDemoWaiter::Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - ZRLDemoWaiter::Clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, 60'000));
}

// Spawn attributes: a new process group, no blocked signals, and the
// default action for the signals the demo itself handles or ignores.
struct SpawnAttributes {
  SpawnAttributes() {
    posix_spawnattr_init(&value);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT})
      sigaddset(&defaults, number);
    posix_spawnattr_setsigmask(&value, &none);
    posix_spawnattr_setsigdefault(&value, &defaults);
    posix_spawnattr_setpgroup(&value, 0);
    posix_spawnattr_setflags(
        &value, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&value); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t value{};
};

}  // namespace

std::unique_ptr<ZRLDemoChild> ZRLDemoChild::spawn(std::string name,
                                                  const std::vector<std::string>& argv,
                                                  const std::optional<std::string>& launcher,
                                                  std::string* error) {
  if (argv.empty()) {
    *error = name + ": nothing to run";
    return nullptr;
  }
  std::vector<std::string> command;
  if (launcher) {
    command = {*launcher, "--exec-child", std::to_string(::getpid())};
  }
  command.insert(command.end(), argv.begin(), argv.end());
  std::vector<char*> args;
  args.reserve(command.size() + 1);
  for (std::string& arg : command)
    args.push_back(arg.data());
  args.push_back(nullptr);

  int input[2] = {-1, -1};
  int output[2] = {-1, -1};
  int errors[2] = {-1, -1};
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0 ||
      pipe2(errors, O_CLOEXEC) != 0) {
    *error = name + ": no pipe: " + std::generic_category().message(errno);
    for (int* pair : {input, output, errors}) {
      closeDescriptor(pair[0]);
      closeDescriptor(pair[1]);
    }
    return nullptr;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errors[1], 2);
  SpawnAttributes attributes;
  pid_t pid = -1;
  const int failure = posix_spawn(&pid, args[0], &actions, &attributes.value, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  closeDescriptor(input[0]);
  closeDescriptor(output[1]);
  closeDescriptor(errors[1]);
  if (failure != 0) {
    *error =
        name + ": cannot run " + command.front() + ": " + std::generic_category().message(failure);
    closeDescriptor(input[1]);
    closeDescriptor(output[0]);
    closeDescriptor(errors[0]);
    return nullptr;
  }

  std::unique_ptr<ZRLDemoChild> child(new ZRLDemoChild());
  child->name_ = std::move(name);
  child->pid_ = pid;
  child->input_ = input[1];
  child->output_.fd = output[0];
  child->error_.fd = errors[0];
  for (const int fd : {output[0], errors[0]})
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  child->exited_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  return child;
}

ZRLDemoChild::~ZRLDemoChild() {
  if (running()) {
    signal(SIGKILL);
    reap(true);
  }
  closeDescriptor(input_);
  closeDescriptor(output_.fd);
  closeDescriptor(error_.fd);
  closeDescriptor(exited_);
}

bool ZRLDemoChild::writeLine(const std::string& line) {
  if (input_ < 0) return false;
  // A child that stopped reading makes the write fail with EPIPE; the
  // SIGPIPE that comes with it is blocked here and taken back, so that it
  // never ends the demo (or a test) whatever its signal set-up.
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previous;
  ::pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  const std::string text = line + "\n";
  size_t written = 0;
  bool broken = false;
  int failure = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(input_, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken = true;
      failure = errno;
      break;
    }
    written += static_cast<size_t>(n);
  }
  if (broken && failure == EPIPE && sigismember(&previous, SIGPIPE) == 0) {
    const timespec none{0, 0};
    while (::sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (broken) closeInput();
  return !broken;
}

void ZRLDemoChild::closeInput() {
  closeDescriptor(input_);
}

void ZRLDemoChild::signal(int number) const {
  if (running() && pid_ > 0) ::kill(-pid_, number);
}

void ZRLDemoChild::addPollDescriptors(std::vector<pollfd>& descriptors) const {
  for (const int fd : {output_.fd, error_.fd, running() ? exited_ : -1}) {
    if (fd >= 0) descriptors.push_back({fd, POLLIN, 0});
  }
}

void ZRLDemoChild::service(const LineHandler& onLine) {
  drain(*this, output_, Stream::output, onLine);
  drain(*this, error_, Stream::error, onLine);
  if (running()) reap(false);
}

void ZRLDemoChild::drain(const ZRLDemoChild& owner, Pipe& pipe, Stream stream,
                         const LineHandler& onLine) {
  char buffer[16384];
  while (pipe.fd >= 0) {
    const ssize_t n = ::read(pipe.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // The end of the stream: an unfinished last line still counts.
      closeDescriptor(pipe.fd);
      if (!pipe.partial.empty()) {
        pipe.lines.push_back(std::exchange(pipe.partial, {}));
        if (onLine) onLine(owner, stream, pipe.lines.back());
      }
      return;
    }
    pipe.partial.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t end = pipe.partial.find('\n'); end != std::string::npos;
         end = pipe.partial.find('\n', start)) {
      pipe.lines.push_back(pipe.partial.substr(start, end - start));
      start = end + 1;
      if (onLine) onLine(owner, stream, pipe.lines.back());
    }
    pipe.partial.erase(0, start);
  }
}

void ZRLDemoChild::reap(bool block) {
  if (status_ || pid_ <= 0) return;
  int status = 0;
  pid_t result = 0;
  do {
    result = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result != pid_) return;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  closeDescriptor(exited_);
}

std::optional<int> ZRLDemoChild::waitForExit(std::chrono::milliseconds timeout) {
  ZRLDemoWaiter waiter;
  waiter.add(this);
  waiter.waitUntil([this] { return !running(); }, ZRLDemoWaiter::Clock::now() + timeout);
  return status_;
}

int ZRLDemoChild::stop(std::chrono::milliseconds patience,
                       const std::optional<std::string>& quitLine) {
  if (!running()) return *status_;
  if (quitLine) writeLine(*quitLine);
  closeInput();
  if (!quitLine) signal(SIGTERM);
  if (waitForExit(patience)) return *status_;
  if (quitLine) {
    signal(SIGTERM);
    if (waitForExit(patience)) return *status_;
  }
  signal(SIGKILL);
  reap(true);
  return *status_;
}

void ZRLDemoWaiter::add(ZRLDemoChild* child) {
  if (std::find(children_.begin(), children_.end(), child) == children_.end())
    children_.push_back(child);
}

void ZRLDemoWaiter::remove(const ZRLDemoChild* child) {
  children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
}

ZRLDemoWaiter::Outcome ZRLDemoWaiter::waitUntil(const std::function<bool()>& done,
                                                Clock::time_point deadline,
                                                const ZRLDemoChild* watched) {
  while (true) {
    for (ZRLDemoChild* child : children_)
      child->service(onLine_);
    if (done()) return Outcome::done;
    if (watched != nullptr && !watched->running()) return Outcome::childEnded;
    if (Clock::now() >= deadline) return Outcome::timedOut;

    std::vector<pollfd> descriptors;
    if (signals_ >= 0) descriptors.push_back({signals_, POLLIN, 0});
    for (const ZRLDemoChild* child : children_)
      child->addPollDescriptors(descriptors);
    const int ready = ::poll(descriptors.data(), descriptors.size(), millisecondsUntil(deadline));
    if (ready < 0 && errno != EINTR) return Outcome::timedOut;
    if (signals_ >= 0 && ready > 0 && (descriptors.front().revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        interruption_ = static_cast<int>(info.ssi_signo);
        for (ZRLDemoChild* child : children_)
          child->service(onLine_);
        return Outcome::interrupted;
      }
    }
  }
}
