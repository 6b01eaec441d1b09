// The event-stream client over loopback: a local server writes events of 90
// data bytes, and the tool measures
//  - throughput: N events written as fast as the socket takes them, and the
//    events per second from the server's first write to the last one seen
//    by the client;
//  - latency: events written at a fixed rate, each stamped with its write
//    time, and the delay from that write to the client's handler call
//    (median, 99th percentile, maximum).
// The clients: LDEventSource in this process (handlers on the default global
// queue, and on a serial queue), zrl-events printing every record into a
// pipe that this tool reads (and, for throughput, into /dev/null), and the
// npm eventsource client run by Node.js through a small counting script.
// The server runs in a child process of its own, so that the processor time
// of every client, this process included, is its own. Every figure is the
// median of several runs, the clients taking turns within each run.
//
//   ZRLEventStreamLoopback [--events N] [--runs R] [--rates R1,R2,...]
//                          [--latency-seconds S] [--zrl-events PATH]
//                          [--node PATH --node-script PATH]
//                          [--clients global,serial,zrl-events,node]

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "LDEventSource/LDEventSource.h"
#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Net/NSURL.h"
#include "Tools/ZRLLocalServer/ZRLLocalServer.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kDataBytes = 90;
constexpr size_t kEventsPerChunk = 512;  // about 50 KB per write
constexpr size_t kChunksPerFlush = 32;   // keeps about 1.6 MB queued ahead of the socket
constexpr auto kPatience = std::chrono::minutes(5);
constexpr size_t kWarmUpEvents = 100;  // left out of the latency figures

int64_t nanosecondsNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// One event block whose data is exactly 90 bytes: {"t":<19 digits>,"pad":"x..."}.
// The digits are the write time, in nanoseconds of the monotonic clock, which
// every process on the machine shares.
std::string eventBlock(int64_t stamp) {
  std::array<char, 32> digits{};
  std::snprintf(digits.data(), digits.size(), "%019lld", static_cast<long long>(stamp));
  std::string data = std::string("{\"t\":") + digits.data() + ",\"pad\":\"";
  data.append(kDataBytes - data.size() - 2, 'x');
  data += "\"}";
  return "data: " + data + "\n\n";
}

// The write time at the start of a data text made by eventBlock.
std::optional<int64_t> stampOf(std::string_view data) {
  if (data.size() < 24 || !data.starts_with("{\"t\":")) return std::nullopt;
  int64_t stamp = 0;
  const auto [end, ec] = std::from_chars(data.data() + 5, data.data() + 24, stamp);
  if (ec != std::errc()) return std::nullopt;
  return stamp;
}

struct Percentiles {
  double median = 0;  // microseconds
  double p99 = 0;
  double max = 0;
  size_t samples = 0;
};

Percentiles percentilesOf(std::vector<int64_t> delays) {
  Percentiles result;
  if (delays.size() > kWarmUpEvents * 2) {
    delays.erase(delays.begin(), delays.begin() + static_cast<std::ptrdiff_t>(kWarmUpEvents));
  }
  if (delays.empty()) return result;
  std::sort(delays.begin(), delays.end());
  const auto at = [&](double fraction) {
    const auto index = static_cast<size_t>(fraction * static_cast<double>(delays.size() - 1));
    return static_cast<double>(delays[index]) / 1000.0;
  };
  result.median = at(0.5);
  result.p99 = at(0.99);
  result.max = static_cast<double>(delays.back()) / 1000.0;
  result.samples = delays.size();
  return result;
}

// User and system time of this process so far.
double processorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double medianOf(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The local server and its writers. /burst?run=K&n=N writes N events as fast
// as the socket takes them; /paced?run=K&n=N&rate=R writes them at R per
// second, stamped. Both keep the stream open afterwards, so that a client
// that reconnects at the end of a stream gets nothing more, and note when
// they began writing for run K.
class LoopbackServer {
 public:
  LoopbackServer() {
    server_.setFallback([this](const ZRLLocalRequest& request, ZRLLocalResponder& responder) {
      const auto run = number(request.queryValue("run"));
      const auto events = number(request.queryValue("n"));
      const auto rate = number(request.queryValue("rate"));
      const bool paced = request.path() == "/paced";
      if ((request.path() != "/burst" && !paced) || !run || !events || (paced && !rate)) {
        responder.respond(404);
        return;
      }
      auto stream = responder.stream(
          200, {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-cache"}});
      std::lock_guard lock(mutex_);
      if (onStart_) onStart_(*run, Clock::now());
      writers_.emplace_back([stream, events = *events, rate = rate.value_or(0), paced] {
        if (paced) {
          writePaced(*stream, events, rate);
        } else {
          writeBurst(*stream, events);
        }
        stream->waitUntilClosed(kPatience);
      });
    });
  }
  ~LoopbackServer() {
    server_.stop();
    for (std::thread& writer : writers_)
      writer.join();
  }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  bool start(std::string* error) { return server_.start(error); }
  // Called when the server begins writing for a run.
  void onStart(std::function<void(uint64_t run, Clock::time_point start)> handler) {
    std::lock_guard lock(mutex_);
    onStart_ = std::move(handler);
  }

  std::string burstURL(uint64_t run, uint64_t events) const {
    return server_.URL("/burst?run=" + std::to_string(run) + "&n=" + std::to_string(events));
  }
  std::string pacedURL(uint64_t run, uint64_t events, uint64_t rate) const {
    return server_.URL("/paced?run=" + std::to_string(run) + "&n=" + std::to_string(events) +
                       "&rate=" + std::to_string(rate));
  }

 private:
  static std::optional<uint64_t> number(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end != text->data() + text->size() || value == 0) return std::nullopt;
    return value;
  }

  static void writeBurst(ZRLLocalStream& stream, uint64_t events) {
    const std::string block = eventBlock(0);
    std::string chunk;
    for (size_t i = 0; i < kEventsPerChunk; ++i)
      chunk += block;
    uint64_t sent = 0;
    size_t chunks = 0;
    while (sent < events) {
      const uint64_t count = std::min<uint64_t>(kEventsPerChunk, events - sent);
      if (!stream.write(chunk.substr(0, count * block.size()))) return;
      sent += count;
      if (++chunks % kChunksPerFlush == 0 && !stream.flush(kPatience)) return;
    }
  }

  static void writePaced(ZRLLocalStream& stream, uint64_t events, uint64_t rate) {
    const auto start = Clock::now();
    const auto dueTime = [&](uint64_t index) {
      return start + std::chrono::nanoseconds(index * 1'000'000'000ULL / rate);
    };
    uint64_t sent = 0;
    std::string batch;
    while (sent < events) {
      std::this_thread::sleep_until(dueTime(sent));
      // Everything due by now goes out in one write, stamped now: the
      // delay is measured from the actual write, not from the schedule.
      const auto now = Clock::now();
      const int64_t stamp = nanosecondsNow();
      batch.clear();
      while (sent < events && dueTime(sent) <= now) {
        batch += eventBlock(stamp);
        ++sent;
      }
      if (!batch.empty() && !stream.write(batch)) return;
    }
  }

  ZRLLocalServer server_;
  std::mutex mutex_;
  std::function<void(uint64_t run, Clock::time_point start)> onStart_;
  std::vector<std::thread> writers_;
};

// The server's side of the child process that runs it: it tells its parent
// its address, then the start of each run, as lines on its standard output
// ("url URL", "start RUN NANOSECONDS"), and ends when its standard input
// does.
int serveForParent() {
  LoopbackServer server;
  std::string error;
  if (!server.start(&error)) {
    std::fprintf(stderr, "ZRLEventStreamLoopback: cannot start the server: %s\n", error.c_str());
    return 1;
  }
  server.onStart([](uint64_t run, Clock::time_point start) {
    std::printf("start %llu %lld\n", static_cast<unsigned long long>(run),
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch())
                        .count()));
    std::fflush(stdout);
  });
  std::string url = server.burstURL(0, 1);
  url.resize(url.find("/burst"));
  std::printf("url %s\n", url.c_str());
  std::fflush(stdout);
  std::array<char, 64> ignored{};
  while (::read(STDIN_FILENO, ignored.data(), ignored.size()) > 0) {
  }
  return 0;
}

// The parent's handle on the server process.
class ServerProcess {
 public:
  // Forks the server; call before this process makes any thread.
  bool start() {
    int control[2] = {-1, -1};
    int status[2] = {-1, -1};
    if (pipe2(control, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      dup2(control[0], STDIN_FILENO);
      dup2(status[1], STDOUT_FILENO);
      ::close(control[1]);
      ::close(status[0]);
      _exit(serveForParent());
    }
    ::close(control[0]);
    ::close(status[1]);
    control_ = control[1];
    status_ = fdopen(status[0], "r");
    if (status_ == nullptr) return false;
    std::array<char, 256> line{};
    if (std::fgets(line.data(), static_cast<int>(line.size()), status_) == nullptr) return false;
    std::string_view text(line.data());
    if (!text.starts_with("url ")) return false;
    text.remove_prefix(4);
    while (!text.empty() && text.back() == '\n')
      text.remove_suffix(1);
    base_ = std::string(text);
    reader_ = std::thread([this] { readStarts(); });
    return true;
  }
  ~ServerProcess() {
    if (control_ >= 0) ::close(control_);  // the server's cue to end
    if (pid_ > 0) {
      int ignored = 0;
      ::waitpid(pid_, &ignored, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (status_ != nullptr) std::fclose(status_);
  }
  ServerProcess() = default;
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  std::string burstURL(uint64_t run, uint64_t events) const {
    return base_ + "/burst?run=" + std::to_string(run) + "&n=" + std::to_string(events);
  }
  std::string pacedURL(uint64_t run, uint64_t events, uint64_t rate) const {
    return base_ + "/paced?run=" + std::to_string(run) + "&n=" + std::to_string(events) +
           "&rate=" + std::to_string(rate);
  }
  // When the server began writing for the run.
  std::optional<Clock::time_point> startOf(uint64_t run) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return starts_.count(run) != 0; });
    const auto found = starts_.find(run);
    if (found == starts_.end()) return std::nullopt;
    return found->second;
  }

 private:
  void readStarts() {
    std::array<char, 256> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), status_) != nullptr) {
      unsigned long long run = 0;
      long long nanoseconds = 0;
      if (std::sscanf(line.data(), "start %llu %lld", &run, &nanoseconds) != 2) continue;
      {
        std::lock_guard lock(mutex_);
        starts_.emplace(run, Clock::time_point(std::chrono::nanoseconds(nanoseconds)));
      }
      changed_.notify_all();
    }
  }

  pid_t pid_ = -1;
  int control_ = -1;
  FILE* status_ = nullptr;
  std::string base_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<uint64_t, Clock::time_point> starts_;
};

// A client program run as a child, its standard output a pipe (read here) or
// /dev/null.
class Child {
 public:
  Child(const std::vector<std::string>& command, bool pipeOutput) {
    int out[2] = {-1, -1};
    if (pipeOutput && pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> storage = command;
    std::vector<char*> argv;
    argv.reserve(storage.size() + 1);
    for (std::string& arg : storage)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (pipeOutput) {
      posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    const int failure = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeOutput) ::close(out[1]);
    if (failure != 0) {
      pid_ = -1;
      if (pipeOutput) ::close(out[0]);
      return;
    }
    out_ = pipeOutput ? out[0] : -1;
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  }
  ~Child() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      int ignored = 0;
      ::waitpid(pid_, &ignored, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (pidfd_ >= 0) ::close(pidfd_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }

  // Reads the output to its end, passing each complete line (without its
  // LF) to the callback; the callback returns false to stop.
  void readLines(const std::function<bool(std::string_view line)>& onLine) const {
    std::vector<char> buffer(size_t{1} << 20);
    std::string carry;
    bool reading = true;
    while (reading && out_ >= 0) {
      const ssize_t n = ::read(out_, buffer.data(), buffer.size());
      if (n <= 0) break;
      std::string_view text(buffer.data(), static_cast<size_t>(n));
      while (reading) {
        const auto end = text.find('\n');
        if (end == std::string_view::npos) {
          carry.append(text);
          break;
        }
        if (carry.empty()) {
          reading = onLine(text.substr(0, end));
        } else {
          carry.append(text.substr(0, end));
          reading = onLine(carry);
          carry.clear();
        }
        text.remove_prefix(end + 1);
      }
    }
  }

  // Counts the lines of the output up to `lines`, returning the time at
  // which the last of them arrived.
  std::optional<Clock::time_point> countLines(uint64_t lines) const {
    std::vector<char> buffer(size_t{1} << 20);
    uint64_t seen = 0;
    while (out_ >= 0 && seen < lines) {
      const ssize_t n = ::read(out_, buffer.data(), buffer.size());
      if (n <= 0) return std::nullopt;
      seen += static_cast<uint64_t>(std::count(buffer.data(), buffer.data() + n, '\n'));
    }
    return Clock::now();
  }

  // Waits for the exit; the time it happened, or null on time-out or a
  // failure exit.
  std::optional<Clock::time_point> waitForExit() {
    if (pid_ <= 0) return std::nullopt;
    pollfd exited{pidfd_, POLLIN, 0};
    const int ms = static_cast<int>(std::chrono::milliseconds(kPatience).count());
    if (pidfd_ >= 0 && ::poll(&exited, 1, ms) != 1) return std::nullopt;
    const auto when = Clock::now();
    int status = 0;
    rusage usage{};
    if (::wait4(pid_, &status, 0, &usage) != pid_) return std::nullopt;
    exited_ = true;
    cpuSeconds_ = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return when;
  }
  // User and system time of the child, once it has exited.
  double cpuSeconds() const { return cpuSeconds_; }

 private:
  static double seconds(const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  }

  pid_t pid_ = -1;
  double cpuSeconds_ = 0;
  int out_ = -1;
  int pidfd_ = -1;
  bool exited_ = false;
};

struct Options {
  uint64_t events = 500000;
  int runs = 5;
  std::vector<uint64_t> rates{1000, 10000, 100000};
  double latencySeconds = 2.0;
  std::string zrlEvents;
  std::string node;
  std::string nodeScript;
  // Which clients to run: "global" and "serial" (LDEventSource in this
  // process), "zrl-events", "node".
  std::vector<std::string> clients{"global", "serial", "zrl-events", "node"};

  bool measures(std::string_view client) const {
    return std::find(clients.begin(), clients.end(), client) != clients.end();
  }
};

enum class InProcessQueue { Global, Serial };

const char* queueKey(InProcessQueue queue) {
  return queue == InProcessQueue::Global ? "global" : "serial";
}

const char* queueName(InProcessQueue queue) {
  return queue == InProcessQueue::Global ? "LDEventSource, handler on the global queue"
                                         : "LDEventSource, handler on a serial queue";
}

// The count and the delays that an in-process handler sees. Shared with the
// handler, which may still be called for a moment after close().
struct InProcessTally {
  explicit InProcessTally(uint64_t events) : expected(events), delays(events) {}
  const uint64_t expected;
  std::atomic<uint64_t> count{0};     // calls begun: each takes an index
  std::atomic<uint64_t> finished{0};  // calls done with their index
  std::vector<int64_t> delays;
  std::promise<Clock::time_point> done;
};

// Runs LDEventSource against the URL until `events` messages have reached
// its handler; the time of the last one, and the delays if measured.
std::optional<Clock::time_point> runInProcess(const std::string& url, uint64_t events,
                                              InProcessQueue queue, bool measureDelays,
                                              std::vector<int64_t>* delays) {
  auto tally = std::make_shared<InProcessTally>(events);
  auto source = LDEventSource::eventSourceWithURL(NSURL::URLWithString(url), std::nullopt);
  if (queue == InProcessQueue::Serial) {
    source->setListenerQueue(dispatch_queue_create("loopback.handler", DISPATCH_QUEUE_SERIAL));
  }
  source->onMessage([tally, measureDelays](const LDEventPtr& event) {
    const int64_t now = measureDelays ? nanosecondsNow() : 0;
    const uint64_t index = tally->count.fetch_add(1, std::memory_order_relaxed);
    if (index >= tally->expected) return;
    if (measureDelays && event->data()) {
      if (const auto stamp = stampOf(*event->data())) tally->delays[index] = now - *stamp;
    }
    // On the global queue calls overlap: the last to finish, not the last
    // index, ends the run, so that every delay is written by then.
    if (tally->finished.fetch_add(1, std::memory_order_acq_rel) + 1 == tally->expected) {
      tally->done.set_value(Clock::now());
    }
  });
  auto finished = tally->done.get_future();
  source->open();
  std::optional<Clock::time_point> end;
  if (finished.wait_for(kPatience) == std::future_status::ready) end = finished.get();
  source->close();
  if (delays != nullptr) *delays = tally->delays;
  return end;
}

class Loopback {
 public:
  Loopback(ServerProcess& server, Options options)
      : server_(server), options_(std::move(options)) {}

  void runThroughput() {
    const uint64_t n = options_.events;
    std::printf(
        "\nThroughput: %llu events of %zu data bytes, written as fast as the socket takes "
        "them (median of %d runs, the clients taking turns)\n",
        static_cast<unsigned long long>(n), kDataBytes, options_.runs);
    std::printf("  %-52s %14s %10s %14s\n", "client", "events/s", "MB/s", "CPU us/event");
    const double blockBytes = static_cast<double>(eventBlock(0).size());
    // The median events per second and processor time per event of a client.
    struct Figures {
      double rate = 0;
      double cpu = 0;
    };
    // Each run takes every client in turn, so that a change in the load of
    // the machine falls on all of them alike.
    struct Client {
      const char* name;
      std::function<std::optional<Sample>()> once;
      std::vector<double> rates{};
      std::vector<double> cpu{};
    };
    std::vector<Client> clients;

    for (const InProcessQueue queue : {InProcessQueue::Global, InProcessQueue::Serial}) {
      if (!options_.measures(queueKey(queue))) continue;
      clients.push_back({queueName(queue), [this, n, queue]() -> std::optional<Sample> {
                           const uint64_t run = nextRun_++;
                           const double before = processorSeconds();
                           const auto end =
                               runInProcess(server_.burstURL(run, n), n, queue, false, nullptr);
                           return sampleOf(run, end, processorSeconds() - before);
                         }});
    }
    std::optional<size_t> zrlEventsIntoPipe;
    std::optional<size_t> npmPeer;
    if (!options_.zrlEvents.empty() && options_.measures("zrl-events")) {
      zrlEventsIntoPipe = clients.size();
      clients.push_back(
          {"zrl-events, every record printed into a pipe", [this, n]() -> std::optional<Sample> {
             const uint64_t run = nextRun_++;
             Child child({options_.zrlEvents, "--max", std::to_string(n), server_.burstURL(run, n)},
                         true);
             if (!child.started()) return std::nullopt;
             // Three lines of the opening (CONNECTING, OPEN, open), then
             // one per message.
             const auto end = child.countLines(n + 3);
             if (!child.waitForExit()) return std::nullopt;
             return sampleOf(run, end, child.cpuSeconds());
           }});
      clients.push_back(
          {"zrl-events, every record printed into /dev/null", [this, n]() -> std::optional<Sample> {
             const uint64_t run = nextRun_++;
             Child child({options_.zrlEvents, "--max", std::to_string(n), server_.burstURL(run, n)},
                         false);
             if (!child.started()) return std::nullopt;
             const auto end = child.waitForExit();
             return sampleOf(run, end, child.cpuSeconds());
           }});
    }
    if (!options_.node.empty() && options_.measures("node")) {
      npmPeer = clients.size();
      clients.push_back({"npm eventsource on Node.js", [this, n]() -> std::optional<Sample> {
                           const uint64_t run = nextRun_++;
                           Child child({options_.node, options_.nodeScript,
                                        server_.burstURL(run, n), std::to_string(n)},
                                       true);
                           if (!child.started()) return std::nullopt;
                           std::optional<Clock::time_point> end;
                           child.readLines([&](std::string_view line) {
                             if (line == "done") end = Clock::now();
                             return !end;
                           });
                           if (!child.waitForExit()) return std::nullopt;
                           return sampleOf(run, end, child.cpuSeconds());
                         }});
    }

    for (int i = 0; i < options_.runs; ++i) {
      for (Client& client : clients) {
        const auto sample = client.once();
        if (!sample) continue;
        client.rates.push_back(static_cast<double>(n) / sample->seconds);
        if (sample->cpuSeconds) {
          client.cpu.push_back(*sample->cpuSeconds * 1e6 / static_cast<double>(n));
        }
      }
    }
    std::vector<std::optional<Figures>> figures(clients.size());
    for (size_t i = 0; i < clients.size(); ++i) {
      const Client& client = clients[i];
      if (client.rates.size() != static_cast<size_t>(options_.runs)) {
        std::printf("  %-52s %14s\n", client.name, "failed");
        continue;
      }
      const double rate = medianOf(client.rates);
      std::printf("  %-52s %14.0f %10.1f", client.name, rate, rate * blockBytes / 1e6);
      if (client.cpu.empty()) {
        std::printf(" %14s\n", "-");
      } else {
        std::printf(" %14.2f\n", medianOf(client.cpu));
      }
      figures[i] = Figures{rate, client.cpu.empty() ? 0.0 : medianOf(client.cpu)};
    }
    if (zrlEventsIntoPipe && npmPeer && figures[*zrlEventsIntoPipe] && figures[*npmPeer] &&
        figures[*npmPeer]->rate > 0) {
      const Figures& ours = *figures[*zrlEventsIntoPipe];
      const Figures& peer = *figures[*npmPeer];
      std::printf("  zrl-events into a pipe against the npm peer: %.2fx the events per second",
                  ours.rate / peer.rate);
      if (ours.cpu > 0 && peer.cpu > 0) {
        std::printf(", %.2fx less processor time per event", peer.cpu / ours.cpu);
      }
      std::printf("\n");
    }
    std::fflush(stdout);
  }

  void runLatency() {
    std::printf(
        "\nLatency from the server's write to the handler call, microseconds (median of "
        "%d runs of %.1f s; the first %zu events left out)\n",
        options_.runs, options_.latencySeconds, kWarmUpEvents);
    std::printf("  %-52s %9s %10s %10s %10s\n", "client", "events/s", "median", "p99", "max");
    for (const uint64_t rate : options_.rates) {
      const auto n = static_cast<uint64_t>(static_cast<double>(rate) * options_.latencySeconds);
      const auto report = [&](const std::string& name,
                              const std::function<std::optional<std::vector<int64_t>>()>& once) {
        std::vector<double> medians;
        std::vector<double> p99s;
        std::vector<double> maxima;
        for (int i = 0; i < options_.runs; ++i) {
          auto delays = once();
          if (!delays) break;
          const Percentiles figures = percentilesOf(std::move(*delays));
          medians.push_back(figures.median);
          p99s.push_back(figures.p99);
          maxima.push_back(figures.max);
        }
        if (medians.size() != static_cast<size_t>(options_.runs)) {
          std::printf("  %-52s %9llu %10s\n", name.c_str(), static_cast<unsigned long long>(rate),
                      "failed");
          return;
        }
        std::printf("  %-52s %9llu %10.1f %10.1f %10.1f\n", name.c_str(),
                    static_cast<unsigned long long>(rate), medianOf(medians), medianOf(p99s),
                    medianOf(maxima));
        std::fflush(stdout);
      };

      for (const InProcessQueue queue : {InProcessQueue::Global, InProcessQueue::Serial}) {
        if (!options_.measures(queueKey(queue))) continue;
        report(queueName(queue), [&]() -> std::optional<std::vector<int64_t>> {
          std::vector<int64_t> delays;
          if (!runInProcess(server_.pacedURL(nextRun_++, n, rate), n, queue, true, &delays)) {
            return std::nullopt;
          }
          return delays;
        });
      }
      if (!options_.zrlEvents.empty() && options_.measures("zrl-events")) {
        report("zrl-events, to the line read from its pipe",
               [&]() -> std::optional<std::vector<int64_t>> {
                 Child child({options_.zrlEvents, "--max", std::to_string(n),
                              server_.pacedURL(nextRun_++, n, rate)},
                             true);
                 if (!child.started()) return std::nullopt;
                 std::vector<int64_t> delays;
                 delays.reserve(n);
                 constexpr std::string_view kMarker = "\"data\":\"{\\\"t\\\":";
                 child.readLines([&](std::string_view line) {
                   const int64_t now = nanosecondsNow();
                   const auto at = line.find(kMarker);
                   if (at == std::string_view::npos) return true;
                   int64_t stamp = 0;
                   const char* first = line.data() + at + kMarker.size();
                   if (std::from_chars(first, line.data() + line.size(), stamp).ec == std::errc()) {
                     delays.push_back(now - stamp);
                   }
                   return true;
                 });
                 if (!child.waitForExit() || delays.size() != n) return std::nullopt;
                 return delays;
               });
      }
      if (!options_.node.empty() && options_.measures("node")) {
        report("npm eventsource on Node.js", [&]() -> std::optional<std::vector<int64_t>> {
          Child child({options_.node, options_.nodeScript, server_.pacedURL(nextRun_++, n, rate),
                       std::to_string(n), "latency"},
                      true);
          if (!child.started()) return std::nullopt;
          std::vector<int64_t> delays;
          child.readLines([&](std::string_view line) {
            constexpr std::string_view kPrefix = "latencies ";
            if (!line.starts_with(kPrefix)) return true;
            line.remove_prefix(kPrefix.size());
            while (!line.empty()) {
              double value = 0;
              const auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
              if (ec != std::errc()) break;
              delays.push_back(static_cast<int64_t>(value));
              line.remove_prefix(static_cast<size_t>(end - line.data()));
              if (!line.empty() && line.front() == ',') line.remove_prefix(1);
            }
            return false;
          });
          if (!child.waitForExit() || delays.size() != n) return std::nullopt;
          return delays;
        });
      }
    }
  }

 private:
  // The time from the server's first write for the run to its end, and the
  // client's processor time when it is known.
  struct Sample {
    double seconds = 0;
    std::optional<double> cpuSeconds;
  };
  std::optional<Sample> sampleOf(uint64_t run, std::optional<Clock::time_point> end,
                                 std::optional<double> cpuSeconds = std::nullopt) {
    const auto start = server_.startOf(run);
    if (!start || !end) return std::nullopt;
    return Sample{std::chrono::duration<double>(*end - *start).count(), cpuSeconds};
  }

  ServerProcess& server_;
  Options options_;
  uint64_t nextRun_ = 1;
};

std::optional<Options> parseOptions(int argc, char** argv) {
  Options options;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view name = args[i];
    if (i + 1 >= args.size()) return std::nullopt;
    const std::string value(args[++i]);
    if (name == "--events") {
      options.events = std::stoull(value);
    } else if (name == "--runs") {
      options.runs = std::stoi(value);
    } else if (name == "--latency-seconds") {
      options.latencySeconds = std::stod(value);
    } else if (name == "--rates") {
      options.rates.clear();
      for (size_t begin = 0; begin < value.size();) {
        const size_t end = std::min(value.find(',', begin), value.size());
        options.rates.push_back(std::stoull(value.substr(begin, end - begin)));
        begin = end + 1;
      }
    } else if (name == "--clients") {
      options.clients.clear();
      for (size_t begin = 0; begin < value.size();) {
        const size_t end = std::min(value.find(',', begin), value.size());
        options.clients.push_back(value.substr(begin, end - begin));
        begin = end + 1;
      }
    } else if (name == "--zrl-events") {
      options.zrlEvents = value;
    } else if (name == "--node") {
      options.node = value;
    } else if (name == "--node-script") {
      options.nodeScript = value;
    } else {
      return std::nullopt;
    }
  }
  if (options.events == 0 || options.runs <= 0 ||
      options.node.empty() != options.nodeScript.empty()) {
    return std::nullopt;
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> options;
  try {
    options = parseOptions(argc, argv);
  } catch (const std::exception&) {
    options.reset();
  }
  if (!options) {
    std::fputs(
        "usage: ZRLEventStreamLoopback [--events N] [--runs R] [--rates R1,R2,...]\n"
        "                              [--latency-seconds S] [--zrl-events PATH]\n"
        "                              [--node PATH --node-script PATH]\n"
        "                              [--clients global,serial,zrl-events,node]\n",
        stderr);
    return 2;
  }
  ServerProcess server;
  if (!server.start()) {
    std::fprintf(stderr, "ZRLEventStreamLoopback: cannot start the server process\n");
    return 1;
  }
  Loopback loopback(server, *options);
  loopback.runThroughput();
  loopback.runLatency();
  return 0;
}
