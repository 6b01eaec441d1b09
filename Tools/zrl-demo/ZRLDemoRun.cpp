#include "Tools/zrl-demo/ZRLDemoRun.h"

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>

namespace {

using Clock = ZRLDemoWaiter::Clock;
using Stream = ZRLDemoChild::Stream;

constexpr auto kStopPatience = std::chrono::seconds(15);

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

std::string seconds(std::chrono::seconds value) {
  return std::to_string(value.count()) + " s";
}

bool isPNG(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  char signature[8] = {};
  return file.read(signature, sizeof signature) &&
         std::string(signature, sizeof signature) == "\x89PNG\r\n\x1a\n";
}

// The frame [x, y, w, h] of a dump's entry, when it is one.
bool isFrame(const nlohmann::json& frame) {
  if (!frame.is_array() || frame.size() != 4) return false;
  return std::all_of(frame.begin(), frame.end(), [](const auto& v) { return v.is_number(); });
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

size_t ZRLDemoRun::simErrorLines() const {
  return simulator_ ? simulator_->lines(Stream::error).size() : 0;
}

std::optional<ZRLDemoSimLine> ZRLDemoRun::waitForSimLine(
    const std::string& step, size_t from, const std::string& what,
    const std::function<bool(const ZRLDemoSimLine&)>& accept) {
  std::optional<ZRLDemoSimLine> found;
  size_t next = from;
  const auto done = [&] {
    const auto& lines = simulator_->lines(Stream::error);
    for (; next < lines.size() && !found; ++next) {
      ZRLDemoSimLine line = ZRLDemoSimLine::parse(lines[next]);
      if (accept(line)) found = std::move(line);
    }
    return found.has_value();
  };
  if (!waitFor(step, what, done, simulator_.get())) return std::nullopt;
  return found;
}

bool ZRLDemoRun::command(const std::string& step, const std::string& line) {
  if (simulator_ && simulator_->writeLine(line)) return true;
  return fail(step, "the simulator no longer reads its commands (at '" + line + "')");
}

std::optional<nlohmann::json> ZRLDemoRun::dump(const std::string& step) {
  const size_t from = simulator_->lines(Stream::output).size();
  if (!command(step, "dump")) return std::nullopt;
  std::optional<nlohmann::json> state;
  const auto done = [&] {
    const auto& lines = simulator_->lines(Stream::output);
    for (size_t i = from; i < lines.size() && !state; ++i) {
      auto value = nlohmann::json::parse(lines[i], nullptr, false);
      if (value.is_object() && value.contains("menuOpen")) state = std::move(value);
    }
    return state.has_value();
  };
  if (!waitFor(step, "the simulator's dump", done, simulator_.get())) return std::nullopt;
  // What the steps read of it, checked once here.
  for (const char* flag : {"menuOpen", "isTestDevice"}) {
    if (!(*state)[flag].is_boolean()) {
      fail(step,
           std::string("the simulator's dump has no \"") + flag + "\" flag: " + state->dump());
      return std::nullopt;
    }
  }
  for (const char* entry : {"button", "selectScreen", "testDevice"}) {
    const auto& value = (*state)[entry];
    if (!value.is_object() || !isFrame(value.value("frame", nlohmann::json()))) {
      fail(step,
           std::string("the simulator's dump has no \"") + entry + "\" frame: " + state->dump());
      return std::nullopt;
    }
  }
  return state;
}

bool ZRLDemoRun::tapCenterOf(const std::string& step, const nlohmann::json& frame) {
  if (!isFrame(frame)) return fail(step, "the dump has no frame to tap: " + frame.dump());
  const double x = frame[0].get<double>() + frame[2].get<double>() / 2;
  const double y = frame[1].get<double>() + frame[3].get<double>() / 2;
  return command(step, "tap " + number(x) + " " + number(y));
}

bool ZRLDemoRun::openMenu(const std::string& step, nlohmann::json* state) {
  auto before = dump(step);
  if (!before) return false;
  if (!before->value("menuOpen", false)) {
    const auto button = before->find("button");
    if (button == before->end() || !button->is_object() || !button->contains("frame"))
      return fail(step, "the dump shows no floating button");
    if (!tapCenterOf(step, (*button)["frame"])) return false;
    before = dump(step);
    if (!before) return false;
    if (!before->value("menuOpen", false))
      return fail(step, "the menu did not open when the floating button was tapped");
  }
  *state = std::move(*before);
  return true;
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
    size_t next = from;
    const auto opened = [&] {
      const auto& lines = simulator_->lines(Stream::error);
      for (; next < lines.size() && !open; ++next) {
        auto line = ZRLDemoSimLine::parse(lines[next]);
        if (line.kind == ZRLDemoSimLine::Kind::streamOpen) open = line;
      }
      return open.has_value();
    };
    const auto outcome =
        waiter_.waitUntil(opened, Clock::now() + options_.timeout, simulator_.get());
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

bool ZRLDemoRun::captureScreen(const std::string& screen) {
  const std::string step = "show " + screen + " and press Select Screen";
  if (!command(step, "screen " + screen)) return false;
  nlohmann::json state;
  if (!openMenu(step, &state)) return false;
  if (state.value("screen", nlohmann::json()) != screen)
    return fail(step, "the simulator shows " + state.value("screen", nlohmann::json()).dump() +
                          ", not " + screen);
  const size_t from = simErrorLines();
  if (!tapCenterOf(step, state["selectScreen"].value("frame", nlohmann::json()))) return false;
  const auto upload = waitForSimLine(step, from, "the layout upload", [](const auto& line) {
    return line.kind == ZRLDemoSimLine::Kind::request && line.method == "POST" &&
           line.path() == "/v1/api/layout";
  });
  if (!upload) return false;
  if (upload->outcome != "200")
    return fail(step, "the dashboard answered the upload with " + upload->outcome);
  report_.addStep(step, true);
  return true;
}

bool ZRLDemoRun::addTestDevice() {
  const std::string step = "add the device as a test device";
  nlohmann::json state;
  if (!openMenu(step, &state)) return false;
  if (state.value("isTestDevice", false)) {
    report_.addStep(step, true, "it already was one");
    return true;
  }
  const size_t from = simErrorLines();
  if (!tapCenterOf(step, state["testDevice"].value("frame", nlohmann::json()))) return false;
  const auto added =
      waitForSimLine(step, from, "the test-device registration", [](const auto& line) {
        return line.kind == ZRLDemoSimLine::Kind::request && line.method == "POST" &&
               line.path() == "/v2/frontendapi/ios/test-devices";
      });
  if (!added) return false;
  if (added->outcome != "200")
    return fail(step, "the dashboard answered the registration with " + added->outcome);
  report_.addStep(step, true);
  return true;
}

bool ZRLDemoRun::checkRecords() {
  const std::string step = "find the captures and the test device through the dashboard's API";
  const std::string app = ZRLDemoAPI::encode(options_.appId);
  std::string error;
  const auto captures = api_->getJSON("/api/captures?appId=" + app, &error);
  if (!captures || !captures->is_array()) return fail(step, error.empty() ? "not a list" : error);
  std::vector<std::string> missing = options_.screens;
  for (const auto& capture : *captures) {
    if (!capture.is_object() || capture.value("id", 0L) <= previousCaptureId_) continue;
    const auto screen = capture.value("screen", nlohmann::json());
    const std::string name = screen.is_string() ? screen.get<std::string>() : "(no screen name)";
    report_.addCapture("#" + std::to_string(capture.value("id", 0L)) + " " + name + " at " +
                       capture.value("time", std::string()));
    std::erase(missing, name);
    if (targetViewId_.empty() && name == options_.screens.front()) {
      const auto full =
          api_->getJSON("/api/captures/" + std::to_string(capture.value("id", 0L)), &error);
      if (full && full->contains("layout")) targetViewId_ = targetViewId((*full)["layout"]);
      if (full && full->is_object()) {
        const nlohmann::json facts = full->value("device_info", nlohmann::json());
        const nlohmann::json height =
            facts.is_object() ? facts.value("height", nlohmann::json()) : nlohmann::json();
        if (height.is_number() && height.get<double>() > 0) screenHeight_ = height.get<double>();
      }
    }
  }
  if (!missing.empty()) return fail(step, "no new capture of " + missing.front());
  const auto devices = api_->getJSON("/api/test-devices?appId=" + app, &error);
  if (!devices || !devices->is_array()) return fail(step, error.empty() ? "not a list" : error);
  for (const auto& device : *devices) {
    if (device.is_object() && device.value("id", std::string()) == options_.deviceId) {
      report_.setTestDevice(options_.deviceId + " (" + device.value("model", std::string("?")) +
                            "), registered at " + device.value("time", std::string()));
      report_.addStep(step, true);
      return true;
    }
  }
  return fail(step, "the dashboard does not list " + options_.deviceId + " as a test device");
}

bool ZRLDemoRun::pushPreview(const std::string& displayType, int number) {
  const std::string step = "push a " + displayType + " preview and snapshot the device";
  const size_t from = simErrorLines();
  std::string error;
  const auto answer = api_->postJSON("/api/previews?appId=" + ZRLDemoAPI::encode(options_.appId),
                                     previewFor(displayType, targetViewId_), &error);
  if (!answer || !answer->is_object()) return fail(step, error.empty() ? "no answer" : error);
  const long delivered = answer->value("delivered", 0L);
  report_.addPreview(displayType + ": preview #" + std::to_string(answer->value("id", 0L)) +
                     ", handed to " + std::to_string(delivered) + " open stream" +
                     (delivered == 1 ? "" : "s"));
  const auto built =
      waitForSimLine(step, from, "the " + displayType + " builder call", [&](const auto& line) {
        return line.kind == ZRLDemoSimLine::Kind::builder && line.displayType == displayType;
      });
  if (!built) return false;
  // The builder puts its card on screen through the main queue; a dump
  // before the snapshot lets that block run first.
  if (!dump(step)) return false;
  char name[64];
  std::snprintf(name, sizeof name, "%02d-%s.png", number, displayType.c_str());
  const auto path = std::filesystem::absolute(std::filesystem::path(options_.outputDirectory) /
                                              "snapshots" / name);
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  std::filesystem::remove(path, ignored);
  if (!command(step, "snapshot " + path.string())) return false;
  // The commands run in order: once the next dump is printed the snapshot
  // is written.
  if (!dump(step)) return false;
  if (!isPNG(path.string())) return fail(step, "no PNG was written to " + path.string());
  report_.addSnapshot(path.string());
  report_.addStep(step, true);
  return true;
}

bool ZRLDemoRun::showFirstScreen() {
  const std::string& screen = options_.screens.front();
  const std::string step =
      "show " + screen + " again with the menu closed and the floating button moved down";
  if (!command(step, "screen " + screen)) return false;
  auto state = dump(step);
  if (!state) return false;
  if (state->value("menuOpen", false)) {
    if (!tapCenterOf(step, (*state)["button"].value("frame", nlohmann::json()))) return false;
    state = dump(step);
    if (!state) return false;
    if (state->value("menuOpen", false)) return fail(step, "the menu stayed open");
  }
  // Dragged to nine tenths of the screen's height, the button leaves the
  // top, where a nudge shows, and the middle, where the cards show, to the
  // previews.
  const nlohmann::json frame = (*state)["button"].value("frame", nlohmann::json());
  if (screenHeight_ > 0 && isFrame(frame)) {
    const double x = frame[0].get<double>() + frame[2].get<double>() / 2;
    const double y = frame[1].get<double>() + frame[3].get<double>() / 2;
    if (!command(step, "drag " + number(x) + " " + number(y) + " " + number(x) + " " +
                           number(screenHeight_ * 0.9))) {
      return false;
    }
    state = dump(step);
    if (!state) return false;
    if (state->value("menuOpen", false)) return fail(step, "the drag opened the menu");
  }
  report_.addStep(step, true);
  return true;
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

nlohmann::json ZRLDemoRun::previewFor(const std::string& displayType, const std::string& viewId) {
  static const std::map<std::string, std::pair<std::string, std::string>> kTexts{
      {"coach_mark", {"Tap here to log in", "Your account is one tap away."}},
      {"inline", {"New: sign in faster", "Use the code we send you."}},
      {"passive_nudge", {"Forgot your password?", "We can help you reset it."}},
      {"in_app", {"Welcome back!", "Here is what is new this week."}},
  };
  const auto texts = kTexts.find(displayType);
  nlohmann::json ui = {{"display_type", displayType}, {"view_id", viewId}};
  if (texts != kTexts.end()) {
    ui["title"] = texts->second.first;
    ui["text"] = texts->second.second;
  }
  return {{"ui", ui}};
}

std::string ZRLDemoRun::targetViewId(const nlohmann::json& layout) {
  std::string first;
  std::vector<const nlohmann::json*> pending{&layout};
  while (!pending.empty()) {
    const nlohmann::json* node = pending.back();
    pending.pop_back();
    if (node->is_array()) {
      for (auto it = node->rbegin(); it != node->rend(); ++it)
        pending.push_back(&*it);
      continue;
    }
    if (!node->is_object()) continue;
    const auto id = node->find("id");
    const auto view = node->find("view");
    if (id != node->end() && (id->is_string() || id->is_number())) {
      std::string text = id->is_string() ? id->get<std::string>() : id->dump();
      if (view != node->end() && view->is_string() &&
          view->get<std::string>().find("Button") != std::string::npos)
        return text;
      if (first.empty()) first = text;
    }
    for (auto it = node->rbegin(); it != node->rend(); ++it) {
      if (it->is_structured()) pending.push_back(&*it);
    }
  }
  return first;
}
