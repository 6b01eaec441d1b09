// zrl-events: prints every handler call of an event-stream client as a line
// of JSON, for anyone debugging a stream. See ZRLEventsOptions::usage().

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "LDEventSource/LDEventSource.h"
#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Net/NSURL.h"
#include "Platform/Net/NSURLSession.h"
#include "Tools/zrl-events/ZRLEventsOptions.h"
#include "Tools/zrl-events/ZRLEventsOutcome.h"
#include "Tools/zrl-events/ZRLEventsPrinter.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitOutputFailed = 1;
// Sent to the process by its own threads when the run is over (limit
// reached, output failed); the main thread waits for it with the others.
constexpr int kWakeSignal = SIGUSR1;
// The pipe size asked for when standard output is a pipe: the largest that
// an unprivileged process gets by default.
constexpr int kPipeSize = 1 << 20;
// Memory the allocator keeps at the top of each heap rather than giving it
// back at once.
constexpr int kAllocatorSlack = 16 << 20;

sigset_t waitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, kWakeSignal);
  return set;
}

void wakeMainThread() {
  kill(getpid(), kWakeSignal);
}

// Waits for a signal, or for the deadline if there is one. Returns the
// signal, or 0 when the deadline passed.
int waitForEnd(std::optional<std::chrono::steady_clock::time_point> deadline) {
  const sigset_t set = waitedSignals();
  while (true) {
    int signal = 0;
    if (!deadline) {
      signal = sigwaitinfo(&set, nullptr);
    } else {
      const auto left = *deadline - std::chrono::steady_clock::now();
      if (left <= std::chrono::steady_clock::duration::zero()) return 0;
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
      const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
      const timespec timeout{static_cast<time_t>(seconds.count()),
                             static_cast<long>(nanoseconds.count())};
      signal = sigtimedwait(&set, nullptr, &timeout);
    }
    if (signal > 0) return signal;
    // EAGAIN: the time-out passed (checked above); EINTR: try again.
  }
}

// A line (or lines) on standard error, whole.
void report(const std::string& text) {
  std::string line = text;
  if (line.empty() || line.back() != '\n') line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// The client of a run with --include: writes each answer's head to
// standard error as it arrives.
class ZRLEventsIncludingSource : public LDEventSource {
 public:
  using LDEventSource::LDEventSource;

  void didReceiveResponse(
      const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& dataTask,
      const NSHTTPURLResponsePtr& response,
      std::function<void(NSURLSessionResponseDisposition)> completionHandler) override {
    if (response) report(ZRLEventsOutcome::headOf(*response));
    LDEventSource::didReceiveResponse(session, dataTask, response, std::move(completionHandler));
  }
};

// Why the run gave up, set once on the handler queue.
struct GiveUp {
  std::mutex mutex;
  std::optional<std::string> reason;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args;
  for (int i = 1; i < argc; ++i)
    args.emplace_back(argv[i]);  // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
  ZRLEventsParseResult parsed = ZRLEventsOptions::parse(args);
  if (parsed.help) {
    std::fputs(ZRLEventsOptions::usage().c_str(), stdout);
    return 0;
  }
  if (parsed.version) {
    std::fputs(ZRLEventsOptions::version().c_str(), stdout);
    return 0;
  }
  if (!parsed.options) {
    std::fprintf(stderr, "zrl-events: %s\nTry 'zrl-events --help' for more information.\n",
                 parsed.error.c_str());
    return kExitUsage;
  }
  const ZRLEventsOptions& options = *parsed.options;
  if (options.maxMessages() == 0U || options.seconds() == 0.0) return 0;

  // The pieces of the stream come in bursts, in blocks of tens of KiB:
  // with the allocator's default thresholds memory went back to the system
  // after a burst and was taken again for the next one. Keeping some slack,
  // and large blocks in the heap, avoids that churn. The pieces are made on
  // the network thread and let go on the one that reads them: with an
  // arena per thread, each let-go piece went back to an arena that grows
  // without that slack, and fresh pages were touched all the time; one
  // arena shared by the few threads of this program costs less. Set before
  // any thread exists.
  (void)mallopt(M_ARENA_MAX, 1);                         // NOLINT(concurrency-mt-unsafe)
  (void)mallopt(M_TOP_PAD, kAllocatorSlack);             // NOLINT(concurrency-mt-unsafe)
  (void)mallopt(M_TRIM_THRESHOLD, 2 * kAllocatorSlack);  // NOLINT(concurrency-mt-unsafe)
  (void)mallopt(M_MMAP_THRESHOLD, 2 * kAllocatorSlack);  // NOLINT(concurrency-mt-unsafe)

  // Before any thread exists, so that every thread inherits the mask and
  // the signals reach the main thread's wait alone. A reader that goes
  // away shows up as a failed write, not as a fatal signal.
  const sigset_t set = waitedSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);  // NOLINT(cert-err33-c)
  // Into a pipe, lines go out in large writes: a larger pipe takes one
  // without the reader having to wake for every 64 KiB of it. Where the
  // output is no pipe, or the size is refused, nothing changes.
  (void)fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kPipeSize);

  if (options.caFile()) {
    NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(*options.caFile());
  }
  NSHTTPHeaderFields headers;
  headers.setValue("text/event-stream", "Accept");
  for (const auto& [name, value] : options.headers())
    headers.setValue(value, name);

  std::vector<std::string> types = ZRLEventsPrinter::standardTypes();
  types.insert(types.end(), options.types().begin(), options.types().end());
  auto printer = std::make_shared<ZRLEventsPrinter>(STDOUT_FILENO, types, options.maxMessages(),
                                                    [] { wakeMainThread(); });

  const NSURLPtr url = NSURL::URLWithString(options.url());
  std::shared_ptr<LDEventSource> source =
      options.include()
          ? std::make_shared<ZRLEventsIncludingSource>(
                url, headers, LDEventSource::kDefaultTimeoutInterval, "GET", std::nullopt)
          : LDEventSource::eventSourceWithURL(url, headers);
  if (options.lastEventID()) source->setLastEventID(*options.lastEventID());
  auto giveUp = std::make_shared<GiveUp>();
  auto outcome = std::make_shared<ZRLEventsOutcome>(
      options.retries(),
      options.include() ? [](const std::string& line) { report("zrl-events: " + line); }
                        : std::function<void(const std::string&)>(),
      [giveUp](const std::string& reason) {
        {
          std::lock_guard lock(giveUp->mutex);
          giveUp->reason = reason;
        }
        wakeMainThread();
      });
  // The records are printed on the thread that reads the stream, as each
  // piece of it is read, and written at once: no record objects, no other
  // thread, and a full pipe holds the reading up. The outcome comes after
  // the printer, so that a record's lines are out before the run gives up
  // on it.
  source->setBatchHandler([printer, outcome](std::span<const LDEventDelivery> records) {
    printer->print(records);
    outcome->handle(records);
  });

  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (options.seconds()) {
    deadline = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(*options.seconds()));
  }
  source->open();
  const int ended = waitForEnd(deadline);

  // No line after the end, then no more network (close() waits for a
  // print under way, which writes its lines), then out with the rest.
  printer->stop();
  // A reader that stopped reading can hold a write up, and close() with
  // it: a second SIGINT or SIGTERM then ends the program at once.
  sigset_t interrupts;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  sigaddset(&interrupts, SIGTERM);
  pthread_sigmask(SIG_UNBLOCK, &interrupts, nullptr);
  source->close();
  printer->flush();
  if (const int error = printer->writeError(); error != 0) {
    if (error != EPIPE) {
      std::fprintf(stderr, "zrl-events: cannot write to standard output: %s\n",
                   std::generic_category().message(error).c_str());
    }
    return kExitOutputFailed;
  }
  if (ended == SIGINT || ended == SIGTERM) return 128 + ended;
  std::lock_guard lock(giveUp->mutex);
  if (giveUp->reason) {
    report("zrl-events: " + *giveUp->reason);
    return ZRLEventsOutcome::kExitGaveUp;
  }
  return 0;
}
