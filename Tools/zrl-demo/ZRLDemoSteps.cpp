// The demo's steps (capture two screens, register the device, check the
// dashboard's records, push the previews) and the commands through which
// they drive the simulator: command lines, dumps, taps and its lines.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "Tools/zrl-demo/ZRLDemoRun.h"

namespace {

using Stream = ZRLDemoChild::Stream;

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
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

bool ZRLDemoRun::captureScreen(const std::string& screen) {
  const std::string step = "show " + screen + " and press Select Screen";
  if (!command(step, "screen " + screen)) return false;
  nlohmann::json state;
  if (!openMenu(step, &state)) return false;
  if (state.value("screen", nlohmann::json()) != screen)
    return fail(step, "the simulator shows " + state.value("screen", nlohmann::json()).dump() +
                          ", not " + screen);
  if (!tapAndAwaitPost(step, state["selectScreen"], "/v1/api/layout", "the layout upload",
                       "upload")) {
    return false;
  }
  report_.addStep(step, true);
  return true;
}

bool ZRLDemoRun::tapAndAwaitPost(const std::string& step, const nlohmann::json& button,
                                 const std::string& path, const std::string& awaited,
                                 const std::string& answered) {
  const size_t from = simErrorLines();
  if (!tapCenterOf(step, button.value("frame", nlohmann::json()))) return false;
  const auto request = waitForSimLine(step, from, awaited, [&](const auto& line) {
    return line.kind == ZRLDemoSimLine::Kind::request && line.method == "POST" &&
           line.path() == path;
  });
  if (!request) return false;
  if (request->outcome != "200")
    return fail(step, "the dashboard answered the " + answered + " with " + request->outcome);
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
  if (!tapAndAwaitPost(step, state["testDevice"], "/v2/frontendapi/ios/test-devices",
                       "the test-device registration", "registration")) {
    return false;
  }
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
