// The demo's run: its children started, waited on, kept serving and
// stopped, and the script of steps in order. The steps and the commands
// they send the simulator are in ZRLDemoSteps.cpp.
#include "Tools/zrl-demo/ZRLDemoRun.h"

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <iostream>

namespace {

using Clock = ZRLDemoWaiter::Clock;
using Stream = ZRLDemoChild::Stream;

constexpr auto kStopPatience = std::chrono::seconds(15);

std::string seconds(std::chrono::seconds value) {
  return std::to_string(value.count()) + " s";
}

}  // namespace

ZRLDemoRun::ZRLDemoRun(ZRLDemoOptions options, int signalDescriptor)
    : options_(std::move(options)), waiter_(signalDescriptor) {
  echo_ = options_.verbose;
  waiter_.setLineHandler([this](const ZRLDemoChild& child, Stream stream, const std::string& line) {
    onLine(child, stream, line);
  });
}

ZRLDemoRun::~ZRLDemoRun() {
  stopAll();
}

void ZRLDemoRun::onLine(const ZRLDemoChild& child, Stream stream, const std::string& line) {
  if (&child == simulator_.get() && stream == Stream::error) {
    report_.take(ZRLDemoSimLine::parse(line));
  }
  if (!echo_) return;
  // The dashboard's first lines are printed by the report; the dumps are
  // the demo's own conversation with the simulator.
  if (&child == simulator_.get() && stream == Stream::output) return;
  if (&child == dashboard_.get() && stream == Stream::output) return;
  std::cout << child.name() << ": " << line << std::endl;
}

bool ZRLDemoRun::fail(const std::string& step, const std::string& detail) {
  report_.addStep(step, false, detail);
  std::cerr << "zrl-demo: " << step << ": " << detail << std::endl;
  return false;
}

bool ZRLDemoRun::waitFor(const std::string& step, const std::string& what,
                         const std::function<bool()>& done, const ZRLDemoChild* watched) {
  const auto outcome = waiter_.waitUntil(done, Clock::now() + options_.timeout, watched);
  switch (outcome) {
    case ZRLDemoWaiter::Outcome::done:
      return true;
    case ZRLDemoWaiter::Outcome::timedOut:
      return fail(step, what + " did not happen within " + seconds(options_.timeout));
    case ZRLDemoWaiter::Outcome::interrupted:
      return fail(step, "interrupted (signal " + std::to_string(waiter_.interruption()) +
                            ") while waiting until " + what);
    case ZRLDemoWaiter::Outcome::childEnded:
      return fail(step, watched->name() + " ended (status " +
                            std::to_string(watched->status().value_or(-1)) +
                            ") while waiting until " + what);
  }
  return false;
}

bool ZRLDemoRun::startDashboard() {
  const std::string step = "start zrl-dashboard";
  std::vector<std::string> argv{options_.dashboardProgram, "--data", options_.dataDirectory};
  if (options_.port) {
    argv.insert(argv.end(), {"--port", std::to_string(*options_.port)});
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string error;
    dashboard_ = ZRLDemoChild::spawn("dashboard", argv, options_.launcher, &error);
    if (!dashboard_) return fail(step, error);
    waiter_.add(dashboard_.get());
    address_ = {};
    size_t taken = 0;
    const auto printed = [&] {
      const auto& lines = dashboard_->lines(Stream::output);
      while (taken < lines.size())
        address_.take(lines[taken++]);
      return address_.complete();
    };
    const auto outcome =
        waiter_.waitUntil(printed, Clock::now() + options_.timeout, dashboard_.get());
    if (outcome == ZRLDemoWaiter::Outcome::done) break;
    const auto& errors = dashboard_->lines(Stream::error);
    const bool portTaken =
        !errors.empty() && errors.back().find("listening on") != std::string::npos;
    if (outcome == ZRLDemoWaiter::Outcome::childEnded && !options_.port && attempt == 0 &&
        portTaken) {
      // Its default port is taken: let it pick a free one.
      report_.addNote("the dashboard's default port was not free (" + errors.back() +
                      "); it took a free port instead");
      waiter_.remove(dashboard_.get());
      dashboard_.reset();
      argv.insert(argv.end(), {"--port", "0"});
      continue;
    }
    waiter_.remove(dashboard_.get());
    std::string why;
    for (const auto& line : dashboard_->lines(Stream::error))
      why += "\n    " + line;
    dashboard_->stop(kStopPatience);
    if (outcome == ZRLDemoWaiter::Outcome::interrupted) return fail(step, "interrupted");
    return fail(step, "it did not print its ca:, listening: and open: lines within " +
                          seconds(options_.timeout) + why);
  }
  if (!address_.complete()) return fail(step, "the dashboard did not start");
  if (options_.port && *options_.port != 0 && address_.port != *options_.port)
    return fail(step, "the dashboard listens on " + std::to_string(address_.port) +
                          ", not on the port asked for");
  api_ = std::make_unique<ZRLDemoAPI>(address_.origin, address_.token, address_.authorityFile,
                                      options_.timeout);
  report_.addStep(step, true, address_.origin);
  return true;
}

bool ZRLDemoRun::startSimulator() {
  const std::string step = "start zrl-sim and connect it to the dashboard";
  std::error_code ignored;
  std::filesystem::create_directories(options_.outputDirectory, ignored);
  // A fresh device on each run: the test-device flag starts cleared.
  defaultsFile_ =
      (std::filesystem::path(options_.outputDirectory) / "device-defaults.json").string();
  std::filesystem::remove(defaultsFile_, ignored);
  std::vector<std::string> argv{options_.simulatorProgram,
                                "run",
                                "--scene",
                                options_.scene,
                                "--dashboard",
                                "127.0.0.1:" + std::to_string(address_.port),
                                "--ca-file",
                                address_.authorityFile,
                                "--app-id",
                                options_.appId,
                                "--device-id",
                                options_.deviceId,
                                "--defaults",
                                defaultsFile_};
  bool window = options_.window;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<std::string> args = argv;
    if (window) args.emplace_back("--window");
    std::string error;
    simulator_ = ZRLDemoChild::spawn("sim", args, options_.launcher, &error);
    if (!simulator_) return fail(step, error);
    waiter_.add(simulator_.get());
    const size_t from = 0;
    std::optional<ZRLDemoSimLine> open;
    std::optional<std::string> none;  // the device runs without the plug-in
    size_t next = from;
    const auto opened = [&] {
      const auto& lines = simulator_->lines(Stream::error);
      for (; next < lines.size() && !open && !none; ++next) {
        auto line = ZRLDemoSimLine::parse(lines[next]);
        if (line.kind == ZRLDemoSimLine::Kind::streamOpen) open = line;
        if (line.kind == ZRLDemoSimLine::Kind::plugin && line.outcome.starts_with("none"))
          none = lines[next];
      }
      return open.has_value() || none.has_value();
    };
    const auto outcome =
        waiter_.waitUntil(opened, Clock::now() + options_.timeout, simulator_.get());
    if (none) return fail(step, "the device runs without the plug-in (" + *none + ")");
    if (outcome == ZRLDemoWaiter::Outcome::done) {
      report_.addStep(step, true, open->target);
      return true;
    }
    if (outcome == ZRLDemoWaiter::Outcome::childEnded && window && simulator_->status() == 2) {
      // No usable display after all: the device runs without its window.
      report_.addNote("zrl-sim could not open its window; the device runs without one");
      waiter_.remove(simulator_.get());
      simulator_.reset();
      window = false;
      continue;
    }
    std::string why;
    for (const auto& line : simulator_->lines(Stream::error))
      why += "\n    " + line;
    if (outcome == ZRLDemoWaiter::Outcome::interrupted) return fail(step, "interrupted");
    if (outcome == ZRLDemoWaiter::Outcome::childEnded)
      return fail(step, "zrl-sim ended with status " +
                            std::to_string(simulator_->status().value_or(-1)) + why);
    return fail(step, "the plug-in's preview stream did not open within " +
                          seconds(options_.timeout) + why);
  }
  return false;
}

bool ZRLDemoRun::serve() {
  echo_ = true;
  std::cout << "zrl-demo: the dashboard keeps serving and the simulator stays connected;"
               " push previews from the page. Ctrl-C stops both."
            << std::endl;
  while (true) {
    const auto simulatorEnded = [this] { return simulator_ && !simulator_->running(); };
    const auto outcome =
        waiter_.waitUntil(simulatorEnded, Clock::now() + std::chrono::hours(1), dashboard_.get());
    if (outcome == ZRLDemoWaiter::Outcome::interrupted) {
      std::cout << "zrl-demo: stopping" << std::endl;
      return true;
    }
    if (outcome == ZRLDemoWaiter::Outcome::childEnded) {
      std::cerr << "zrl-demo: the dashboard ended (status " << dashboard_->status().value_or(-1)
                << ")" << std::endl;
      return false;
    }
    if (simulatorEnded()) {
      std::cout << "zrl-demo: the simulator ended (status " << simulator_->status().value_or(-1)
                << "); the dashboard keeps serving" << std::endl;
      waiter_.remove(simulator_.get());
      simulator_.reset();
    }
  }
}

void ZRLDemoRun::stopAll() {
  // The device first, so that its stream ends before the dashboard does.
  if (simulator_) {
    simulator_->stop(kStopPatience, "quit");
    waiter_.remove(simulator_.get());
    simulator_.reset();
  }
  if (dashboard_) {
    dashboard_->stop(kStopPatience);
    waiter_.remove(dashboard_.get());
    dashboard_.reset();
  }
}

bool ZRLDemoRun::runScript() {
  if (!startDashboard()) return false;
  std::string error;
  const auto captures =
      api_->getJSON("/api/captures?appId=" + ZRLDemoAPI::encode(options_.appId), &error);
  if (!captures || !captures->is_array())
    return fail("read the dashboard's earlier captures", error.empty() ? "not a list" : error);
  for (const auto& capture : *captures) {
    if (capture.is_object())
      previousCaptureId_ = std::max(previousCaptureId_, capture.value("id", 0L));
  }
  if (!startSimulator()) return false;
  for (const std::string& screen : options_.screens) {
    if (!captureScreen(screen)) return false;
  }
  if (!addTestDevice() || !checkRecords() || !showFirstScreen()) return false;
  int number = 1;
  for (const std::string& type : ZRLDemoDisplayTypes()) {
    if (!pushPreview(type, number++)) return false;
  }
  return true;
}

int ZRLDemoRun::run() {
  bool ok = false;
  try {
    ok = runScript();
  } catch (const nlohmann::json::exception& failure) {
    // An answer or a dump of an unexpected shape.
    ok = fail("read the programs' answers", failure.what());
  }
  std::cout << report_.text();
  if (dashboard_ && dashboard_->running()) std::cout << address_.openLine << "\n";
  std::cout << std::flush;
  bool succeeded = ok && report_.succeeded();
  if (!options_.once && !interrupted() && dashboard_ && dashboard_->running()) {
    if (!succeeded)
      std::cout << "zrl-demo: a step failed; the dashboard keeps serving" << std::endl;
    succeeded = serve() && succeeded;
  }
  stopAll();
  std::cout << "zrl-demo: stopped everything it started" << std::endl;
  return succeeded ? 0 : 1;
}
