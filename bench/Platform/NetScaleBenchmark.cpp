// The network layer with many streams open at once: N idle event streams
// and one active stream of 2,000 events written 1 ms apart, all in this
// process, against a local server in a child process. For each N it prints
//  - the processor time of this process (user and system) per event
//    delivered on the active stream, from its open to its last event;
//  - the resident memory that each idle stream adds, once all are open.
// Each N runs in a fresh process of its own, so that one run's memory does
// not count in the next. The open-file limit is raised to its hard maximum.
//
//   NetScaleBenchmark [--events E] [--runs R] [N ...]   (N: 0 1000 3000 10000)
//   NetScaleBenchmark --here [--events E] N
//
// --here makes the one run in this process rather than in a child, for a
// heap profiler that does not follow a fork (heaptrack, massif).
//
// Exit status: 0 when every run delivered every event, 1 when one did not,
// 2 for a bad argument.

#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LDEventSource/LDEventSource.h"
#include "Platform/Net/NSURL.h"
#include "Tools/ZRLLocalServer/ZRLLocalServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kOpenBatch = 500;  // idle streams opened before waiting for them

const ZRLLocalHeaders kStreamHeaders = {{"Content-Type", "text/event-stream"},
                                        {"Cache-Control", "no-cache"}};

double processorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Processor time so far of each thread of this process, by name (threads
// of one name summed), in clock ticks.
std::map<std::string, long> threadTicks() {
  std::map<std::string, long> ticks;
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    std::ifstream stat(it->path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t open = line.find('(');
    const size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    long user = 0;
    long system = 0;
    // Fields 3 to 13 come before utime (14) and stime (15).
    for (int i = 3; i <= 13; ++i)
      rest >> field;
    rest >> user >> system;
    ticks[line.substr(open + 1, close - open - 1)] += user + system;
  }
  return ticks;
}

// Bytes handed out by malloc and not yet freed.
double heapBytes() {
  return static_cast<double>(mallinfo2().uordblks);
}

double residentBytes() {
  long pages = 0;
  long resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE));
}

// The server: idle streams that stay open, and an active one that writes
// its events 1 ms apart and closes. Runs until killed.
[[noreturn]] void serve(int portPipe, int events) {
  ZRLLocalServer server;
  std::mutex mutex;
  std::vector<std::shared_ptr<ZRLLocalStream>> idle;
  std::vector<std::thread> writers;
  server.route("GET", "/idle", [&](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    std::lock_guard lock(mutex);
    idle.push_back(r.stream(200, kStreamHeaders));
  });
  server.route("GET", "/active", [&](const ZRLLocalRequest&, ZRLLocalResponder& r) {
    std::shared_ptr<ZRLLocalStream> stream = r.stream(200, kStreamHeaders);
    std::lock_guard lock(mutex);
    writers.emplace_back([stream, events] {
      const std::string data(64, 'x');
      auto next = Clock::now();
      for (int i = 0; i < events; ++i) {
        next += 1ms;
        std::this_thread::sleep_until(next);
        stream->write("id: " + std::to_string(i) + "\ndata: " + data + "\n\n");
      }
      stream->close();
    });
  });
  std::string problem;
  uint16_t port = 0;
  if (server.start(&problem)) port = server.port();
  if (port == 0) std::fprintf(stderr, "NetScaleBenchmark: server: %s\n", problem.c_str());
  if (write(portPipe, &port, sizeof port) != static_cast<ssize_t>(sizeof port)) _exit(1);
  close(portPipe);
  for (;;)
    pause();
}

// Counts opens and messages, and wakes whoever waits for a number of them.
struct Counter {
  std::mutex mutex;
  std::condition_variable changed;
  size_t count = 0;
  void add() {
    std::lock_guard lock(mutex);
    ++count;
    changed.notify_all();
  }
  bool waitFor(size_t n, std::chrono::seconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return count >= n; });
  }
};

// Figures of one run, sent from its process to the parent.
struct Figures {
  double cpuPerEvent = 0;   // seconds
  double bytesPerIdle = 0;  // resident; 0 without idle streams
  double heapPerIdle = 0;   // in use on the heap
};

int runOnce(size_t idleCount, int events, int resultPipe) {
  int portPipe[2];
  if (pipe(portPipe) != 0) return 1;
  const pid_t server = fork();
  if (server < 0) return 1;
  if (server == 0) {
    close(portPipe[0]);
    serve(portPipe[1], events);
  }
  close(portPipe[1]);
  uint16_t port = 0;
  if (read(portPipe[0], &port, sizeof port) != static_cast<ssize_t>(sizeof port) || port == 0) {
    kill(server, SIGKILL);
    waitpid(server, nullptr, 0);
    return 1;
  }
  close(portPipe[0]);
  const std::string base = "http://127.0.0.1:" + std::to_string(port);

  // Idle streams: the first one starts the network thread and the queues,
  // and the memory is measured from there.
  auto opened = std::make_shared<Counter>();
  std::vector<std::shared_ptr<LDEventSource>> idle;
  double before = residentBytes();
  double heapBefore = heapBytes();
  bool ok = true;
  for (size_t i = 0; i < idleCount && ok; ++i) {
    auto source = LDEventSource::eventSourceWithURL(NSURL::URLWithString(base + "/idle"), {});
    source->onOpen([opened](const LDEventPtr&) { opened->add(); });
    source->open();
    idle.push_back(std::move(source));
    if (i == 0) {
      ok = opened->waitFor(1, 60s);
      before = residentBytes();
      heapBefore = heapBytes();
    } else if (i % kOpenBatch == 0 || i + 1 == idleCount) {
      ok = opened->waitFor(i + 1, 120s);
    }
  }
  if (!ok) std::fprintf(stderr, "NetScaleBenchmark: only %zu idle streams opened\n", opened->count);
  const double after = residentBytes();
  const double heapAfter = heapBytes();
  // What the open streams cost while nothing happens on them.
  const std::map<std::string, long> idleBefore = threadTicks();
  const double idleStart = processorSeconds();
  std::this_thread::sleep_for(2s);
  const double idleCPU = (processorSeconds() - idleStart) / 2;
  const std::map<std::string, long> idleTicks = threadTicks();

  // The active stream.
  auto received = std::make_shared<std::atomic<int>>(0);
  auto done = std::make_shared<std::promise<void>>();
  auto source = LDEventSource::eventSourceWithURL(NSURL::URLWithString(base + "/active"), {});
  source->onMessage([received, done, events](const LDEventPtr&) {
    if (received->fetch_add(1) + 1 == events) done->set_value();
  });
  const std::map<std::string, long> ticksBefore = threadTicks();
  const double startCPU = processorSeconds();
  const auto start = Clock::now();
  source->open();
  const bool complete = done->get_future().wait_for(120s) == std::future_status::ready;
  const double cpu = processorSeconds() - startCPU;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  std::map<std::string, long> ticks = threadTicks();
  source->close();

  const double residentPerIdle =
      idleCount > 1 ? (after - before) / static_cast<double>(idleCount - 1) : 0;
  const double heapPerIdle =
      idleCount > 1 ? (heapAfter - heapBefore) / static_cast<double>(idleCount - 1) : 0;
  std::printf("N=%-6zu events=%d/%d  cpu/event=%7.1f us  wall=%5.2f s", idleCount, received->load(),
              events, cpu / events * 1e6, wall);
  if (idleCount > 1) {
    std::printf("  rss/idle stream=%.1f KB\n         heap/idle stream: %.1f KB\n",
                residentPerIdle / 1024, heapPerIdle / 1024);
  } else {
    std::printf("\n");
  }
  // Where the time went, by thread.
  const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::printf("         idle: %.1f ms of processor time per second;", idleCPU * 1e3);
  for (const auto& [name, count] : idleTicks) {
    const auto earlier = idleBefore.find(name);
    const long spent = count - (earlier == idleBefore.end() ? 0 : earlier->second);
    if (spent > 0)
      std::printf(" %s %.0f ms/s", name.c_str(), static_cast<double>(spent) * tick / 2 * 1e3);
  }
  std::printf("\n");
  std::printf("         by thread (us/event):");
  for (auto& [name, count] : ticks) {
    const auto earlier = ticksBefore.find(name);
    const long spent = count - (earlier == ticksBefore.end() ? 0 : earlier->second);
    if (spent > 0)
      std::printf(" %s %.1f", name.c_str(), static_cast<double>(spent) * tick / events * 1e6);
  }
  std::printf("\n");
  std::fflush(stdout);
  for (const auto& open : idle)
    open->close();
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  const Figures figures{cpu / events, residentPerIdle, heapPerIdle};
  if (write(resultPipe, &figures, sizeof figures) != static_cast<ssize_t>(sizeof figures)) return 1;
  return complete && ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  int events = 2000;
  int runs = 1;
  bool here = false;
  std::vector<size_t> counts;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::printf(
          "usage: NetScaleBenchmark [--events E] [--runs R] [N ...]\n"
          "       NetScaleBenchmark --here [--events E] N\n"
          "Processor time per event on one active stream (E events, default 2000,\n"
          "1 ms apart) with N idle streams open (default 0 1000 3000 10000), and\n"
          "the memory per idle stream; with --runs, the median of R runs of each.\n"
          "--here makes one run in this process (for a heap profiler).\n"
          "Exit status: 0 every event arrived, 1 a run fell short, 2 bad argument.\n");
      return 0;
    }
    if (argument == "--here") {
      here = true;
      continue;
    }
    char* end = nullptr;
    const bool named = (argument == "--events" || argument == "--runs") && i + 1 < argc;
    const long value = std::strtol(named ? argv[++i] : argv[i], &end, 10);
    if (end == nullptr || *end != '\0' || value < 0 || value > 1000000) {
      std::fprintf(stderr, "NetScaleBenchmark: not a count: %s\n", argv[i]);
      return 2;
    }
    if (argument == "--events" || argument == "--runs") {
      if (value == 0) {
        std::fprintf(stderr, "NetScaleBenchmark: %s must be at least 1\n", argument.c_str());
        return 2;
      }
      (argument == "--events" ? events : runs) = static_cast<int>(value);
    } else {
      counts.push_back(static_cast<size_t>(value));
    }
  }
  if (counts.empty()) counts = {0, 1000, 3000, 10000};

  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
    files.rlim_cur = files.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &files) != 0) std::perror("NetScaleBenchmark: setrlimit");
  }
  std::printf("open-file limit %llu\n", static_cast<unsigned long long>(files.rlim_cur));
  if (here) {
    if (counts.size() != 1) {
      std::fprintf(stderr, "NetScaleBenchmark: --here takes exactly one N\n");
      return 2;
    }
    int sink[2];
    if (pipe(sink) != 0) return 1;
    const int result = runOnce(counts.front(), events, sink[1]);
    close(sink[0]);
    close(sink[1]);
    return result;
  }
  int status = 0;
  std::map<size_t, std::vector<Figures>> figures;
  // Each run in a child of its own; this process starts no thread, so
  // forking it is safe. The counts take turns, so that a change in the
  // machine's load falls on all of them alike.
  for (int r = 0; r < runs; ++r) {
    for (const size_t count : counts) {
      std::fflush(stdout);
      int resultPipe[2];
      if (pipe(resultPipe) != 0) return 1;
      const pid_t run = fork();
      if (run < 0) return 1;
      if (run == 0) {
        close(resultPipe[0]);
        _exit(runOnce(count, events, resultPipe[1]));
      }
      close(resultPipe[1]);
      Figures result;
      if (read(resultPipe[0], &result, sizeof result) == static_cast<ssize_t>(sizeof result)) {
        figures[count].push_back(result);
      }
      close(resultPipe[0]);
      int exitStatus = 0;
      waitpid(run, &exitStatus, 0);
      if (!WIFEXITED(exitStatus) || WEXITSTATUS(exitStatus) != 0) status = 1;
    }
  }
  std::printf("median of %d runs:\n", runs);
  for (const auto& entry : figures) {
    const std::vector<Figures>& list = entry.second;
    const auto median = [&list](double Figures::*field) {
      std::vector<double> values;
      values.reserve(list.size());
      for (const Figures& f : list)
        values.push_back(f.*field);
      std::sort(values.begin(), values.end());
      return values[values.size() / 2];
    };
    std::printf("N=%-6zu cpu/event=%7.1f us  rss/idle stream=%5.1f KB  heap/idle stream=%5.1f KB\n",
                entry.first, median(&Figures::cpuPerEvent) * 1e6,
                median(&Figures::bytesPerIdle) / 1024, median(&Figures::heapPerIdle) / 1024);
  }
  return status;
}
