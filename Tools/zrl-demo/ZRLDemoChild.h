#pragma once
// ZRLDemoChild is a program that zrl-demo started: its standard input
// written by the demo, its standard output and error read as lines, in a
// process group of its own so that stopping it stops whatever it started.
// ZRLDemoWaiter reads every child's output while the demo waits for one
// line, a signal or a deadline, so that no child ever blocks on a full pipe.

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class ZRLDemoChild {
 public:
  enum class Stream { output, error };

  // Starts argv[0] (a path) with the arguments. When `launcher` is given,
  // the child is started through `launcher --exec-child PARENT-PID ARGV...`,
  // which asks the kernel to end it with SIGTERM when the demo dies and then
  // runs the program. Null with a message when it cannot start.
  static std::unique_ptr<ZRLDemoChild> spawn(std::string name, const std::vector<std::string>& argv,
                                             const std::optional<std::string>& launcher,
                                             std::string* error);
  // A child still running is killed with its group and reaped.
  ~ZRLDemoChild();
  ZRLDemoChild(const ZRLDemoChild&) = delete;
  ZRLDemoChild& operator=(const ZRLDemoChild&) = delete;

  const std::string& name() const { return name_; }
  pid_t pid() const { return pid_; }

  // Writes one line (a LF is added) to the child's standard input; false
  // when the child no longer reads it.
  bool writeLine(const std::string& line);
  void closeInput();

  // Sends the signal to the child's process group.
  void signal(int number) const;

  // The lines read so far (without LF), in order; a last line without its
  // LF counts once the stream ended.
  const std::vector<std::string>& lines(Stream stream) const {
    return stream == Stream::output ? output_.lines : error_.lines;
  }

  // The exit status once reaped: the code, or 128 + the signal.
  std::optional<int> status() const { return status_; }
  bool running() const { return !status_; }

  // Waits for the end of the process (reading its output meanwhile); its
  // status, or null when the time-out passed first.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

  // Stops the child: `quitLine` on its input when given, else SIGTERM to its
  // group; SIGKILL after `patience`. The status.
  int stop(std::chrono::milliseconds patience, const std::optional<std::string>& quitLine = {});

  // For ZRLDemoWaiter: the descriptors to poll and the work when they are
  // ready. `onLine` is called for each new complete line.
  using LineHandler = std::function<void(const ZRLDemoChild&, Stream, const std::string&)>;
  void addPollDescriptors(std::vector<pollfd>& descriptors) const;
  void service(const LineHandler& onLine);

 private:
  struct Pipe {
    int fd = -1;
    std::string partial;
    std::vector<std::string> lines;
  };

  ZRLDemoChild() = default;
  // Reads what one of the owner's pipes has; each finished line goes to
  // `onLine`.
  static void drain(const ZRLDemoChild& owner, Pipe& pipe, Stream stream,
                    const LineHandler& onLine);
  void reap(bool block);

  std::string name_;
  pid_t pid_ = -1;
  int input_ = -1;
  int exited_ = -1;  // a pidfd: readable once the process ended
  Pipe output_;
  Pipe error_;
  std::optional<int> status_;
};

// Waits on the children's output and on the signals that end the demo.
class ZRLDemoWaiter {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Outcome { done, timedOut, interrupted, childEnded };

  // `signalDescriptor`: a signalfd for the signals that interrupt a wait,
  // or -1 for none.
  explicit ZRLDemoWaiter(int signalDescriptor = -1) : signals_(signalDescriptor) {}

  void add(ZRLDemoChild* child);
  void remove(const ZRLDemoChild* child);
  void setLineHandler(ZRLDemoChild::LineHandler handler) { onLine_ = std::move(handler); }

  // Reads the children's output until `done()` holds, the deadline passes,
  // a signal arrives (its number in interruption()) or `watched` ends.
  Outcome waitUntil(const std::function<bool()>& done, Clock::time_point deadline,
                    const ZRLDemoChild* watched = nullptr);
  // The signal that interrupted a wait, 0 when none.
  int interruption() const { return interruption_; }

 private:
  int signals_;
  int interruption_ = 0;
  std::vector<ZRLDemoChild*> children_;
  ZRLDemoChild::LineHandler onLine_;
};
