// The commands of `zrl-sim run` (see `zrl-sim --help`), each a member of
// the run with its arguments counted by the table in execute(), and the
// command loop that reads them from a script or standard input.
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSStringTrimmed.h"
#include "Platform/UIKit/UIKit.h"
#include "Tools/zrl-sim/ZRLSimCapture.h"
#include "Tools/zrl-sim/ZRLSimInput.h"
#include "Tools/zrl-sim/ZRLSimRun.h"
#include "Tools/zrl-sim/ZRLSimTrace.h"
#include "ZRLRTAPlugin/ZRLPreviewView.h"
#include "ZorlanSDK/ZorlanPluginInspection.h"
#include "ZorlanSDK/ZorlanSDK.h"

namespace {

constexpr long kMaximumDragSteps = 10000;
constexpr double kMaximumWaitSeconds = 86400;
// What a line may end in besides blanks: the CR of a CRLF script.
constexpr std::string_view kLineEndBlanks = " \t\r\n";

// A number as JSON: whole numbers without a fraction.
nlohmann::ordered_json number(CGFloat value) {
  const auto v = static_cast<double>(value);
  if (std::isfinite(v) && std::trunc(v) == v && std::fabs(v) < 9.0e15) {
    return static_cast<int64_t>(v);
  }
  if (!std::isfinite(v)) return nullptr;
  return v;
}

nlohmann::ordered_json frameJSON(CGRect frame) {
  return {number(frame.origin.x), number(frame.origin.y), number(frame.size.width),
          number(frame.size.height)};
}

// A rectangle of the preview as the layout writes bounds: each edge in
// whole window points, truncated.
nlohmann::ordered_json edgesJSON(CGRect rect) {
  nlohmann::ordered_json edges;
  edges["top"] = CGFloatToInt32(rect.origin.y);
  edges["left"] = CGFloatToInt32(rect.origin.x);
  edges["bottom"] = CGFloatToInt32(rect.origin.y + rect.size.height);
  edges["right"] = CGFloatToInt32(rect.origin.x + rect.size.width);
  return edges;
}

nlohmann::ordered_json optionalEdgesJSON(const std::optional<CGRect>& rect) {
  return rect ? edgesJSON(*rect) : nlohmann::ordered_json(nullptr);
}

// The preview on screen, as `dump` reports it; null when none is shown.
nlohmann::ordered_json previewJSON() {
  const std::optional<ZRLPreviewShown> shown = ZRLPreviewPresenter::shown();
  if (!shown) return nullptr;
  const auto text = [](const std::optional<std::string>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
  };
  nlohmann::ordered_json preview;
  preview["display_type"] = text(shown->content.displayType);
  preview["view_id"] = text(shown->content.viewId);
  preview["title"] = text(shown->content.title);
  preview["text"] = text(shown->content.text);
  preview["target"] = optionalEdgesJSON(shown->placement.target);
  preview["spotlight"] = optionalEdgesJSON(shown->placement.spotlight);
  preview["card"] = edgesJSON(shown->placement.card);
  return preview;
}

nlohmann::ordered_json actionButtonJSON(const UIButtonPtr& button) {
  nlohmann::ordered_json entry;
  if (!button) return entry;
  const UIColorPtr background = button->backgroundColor();
  const bool green = background && *background == *UIColor::greenColor();
  entry["frame"] = frameJSON(button->frame());
  entry["hidden"] = button->isHidden();
  entry["title"] = button->currentTitle().value_or("");
  entry["color"] = green ? "green" : "orange";
  return entry;
}

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> result;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
      ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t')
      ++i;
    if (i > start) result.push_back(line.substr(start, i - start));
  }
  return result;
}

std::optional<double> parseNumber(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [next, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || next != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

// One command line: its text without the blanks around it, its words, and
// its number for the error lines.
struct ZRLSimRun::Line {
  Line(std::string_view line, size_t lineNumber)
      : text(NSStringTrimmed(line, " \t", kLineEndBlanks)),
        words(::words(text)),
        number(lineNumber) {}
  Line(const Line&) = delete;  // words look into text
  Line& operator=(const Line&) = delete;

  std::string_view command() const { return words.front(); }
  size_t argumentCount() const { return words.size() - 1; }
  // What follows the command, so that a name or a path may hold spaces.
  std::string rest() const {
    return std::string(NSStringTrimmed(text.substr(text.find(command()) + command().size())));
  }

  // Writes the error line naming this line.
  Result refuse(const std::string& message) const {
    ZRLSimWriteErrorLine("zrl-sim: line " + std::to_string(number) + ": \"" + text +
                         "\": " + message);
    return Result::refused;
  }

  // Reads a point from two arguments; false (after the error line) when
  // they are not numbers or lie off the screen.
  bool readPoint(const ZRLSimRun& run, size_t first, CGPoint& point) const {
    const auto x = parseNumber(words[first]);
    const auto y = parseNumber(words[first + 1]);
    if (!x || !y) {
      refuse("coordinates must be numbers of points, not \"" + std::string(words[first]) + "\" \"" +
             std::string(words[first + 1]) + "\"");
      return false;
    }
    point = CGPointMake(*x, *y);
    if (!run.onScreen(point)) {
      const CGSize size = run.screenSize();
      std::ostringstream message;
      message << "the point (" << *x << ", " << *y << ") lies off the screen (0 to " << size.width
              << ", 0 to " << size.height << ")";
      refuse(message.str());
      return false;
    }
    return true;
  }

  const std::string text;
  const std::vector<std::string_view> words;
  const size_t number;
};

ZRLSimRun::Result ZRLSimRun::execute(std::string_view line, size_t lineNumber) {
  const Line parsed(line, lineNumber);
  if (parsed.words.empty() || parsed.command().starts_with('#')) return Result::done;

  // Each command with the number of arguments it takes and its usage.
  struct Command {
    std::string_view name;
    size_t fewest;
    size_t most;
    std::string_view usage;
    Result (ZRLSimRun::*run)(const Line&);
  };
  constexpr size_t kAny = SIZE_MAX;
  static constexpr Command kCommands[] = {
      {"screen", 1, kAny, "screen NAME", &ZRLSimRun::showScreen},
      {"background", 0, 0, "background", &ZRLSimRun::changeActivation},
      {"foreground", 0, 0, "foreground", &ZRLSimRun::changeActivation},
      {"tap", 2, 2, "tap X Y", &ZRLSimRun::tap},
      {"drag", 4, 6, "drag X1 Y1 X2 Y2 [STEPS] [cancel]", &ZRLSimRun::drag},
      {"wait", 1, 1, "wait SECONDS", &ZRLSimRun::wait},
      {"dump", 0, 0, "dump", &ZRLSimRun::dump},
      {"snapshot", 1, kAny, "snapshot FILE", &ZRLSimRun::snapshot},
      {"quit", 0, 0, "quit", &ZRLSimRun::quit},
  };
  for (const Command& command : kCommands) {
    if (command.name != parsed.command()) continue;
    if (parsed.argumentCount() < command.fewest || parsed.argumentCount() > command.most)
      return parsed.refuse("usage: " + std::string(command.usage));
    return (this->*command.run)(parsed);
  }
  return parsed.refuse(
      "unknown command \"" + std::string(parsed.command()) +
      "\" (screen, background, foreground, tap, drag, wait, dump, snapshot, quit)");
}

ZRLSimRun::Result ZRLSimRun::showScreen(const Line& line) {
  const std::string name = line.rest();
  if (scene_.screenNamed(name) == nullptr) {
    return line.refuse("the scene has no screen named \"" + name + "\"");
  }
  appWindow_ = scene_.show(name);
  appWindow_->setWindowScene(windowScene_);
  trace_->host()->postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeScreenChange, name));
  trace_->host()->waitUntilEventsDelivered();
  changed();
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::changeActivation(const Line& line) {
  const bool background = line.command() == "background";
  windowScene_->setActivationState(background ? UISceneActivationStateBackground
                                              : UISceneActivationStateForegroundActive);
  trace_->host()->postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeApplicationState,
                                                       background ? "BACKGROUND" : "FOREGROUND"));
  trace_->host()->waitUntilEventsDelivered();
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::tap(const Line& line) {
  CGPoint point;
  if (!line.readPoint(*this, 1, point)) return Result::refused;
  touchDown(point);
  touchUp(point);
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::drag(const Line& line) {
  CGPoint from;
  CGPoint to;
  if (!line.readPoint(*this, 1, from) || !line.readPoint(*this, 3, to)) return Result::refused;
  long steps = 10;
  bool cancel = false;
  const std::vector<std::string_view>& words = line.words;
  for (size_t i = 5; i < words.size(); ++i) {
    if (words[i] == "cancel" && i == words.size() - 1) {
      cancel = true;
      continue;
    }
    const auto value = parseNumber(words[i]);
    if (i != 5 || !value || *value != std::trunc(*value) || *value < 1 ||
        *value > kMaximumDragSteps) {
      return line.refuse("STEPS must be a whole number from 1 to " +
                         std::to_string(kMaximumDragSteps) + ", and only \"cancel\" may follow it");
    }
    steps = static_cast<long>(*value);
  }
  touchDown(from);
  for (long i = 1; i <= steps; ++i) {
    const double share = static_cast<double>(i) / static_cast<double>(steps);
    const CGPoint point = i == steps ? to
                                     : CGPointMake(from.x + (to.x - from.x) * share,
                                                   from.y + (to.y - from.y) * share);
    touchMove(point);
  }
  if (cancel) {
    touchCancel(to);
  } else {
    touchUp(to);
  }
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::wait(const Line& line) {
  const auto seconds = parseNumber(line.words[1]);
  if (!seconds || *seconds < 0 || *seconds > kMaximumWaitSeconds) {
    return line.refuse("SECONDS must be a number from 0 to " +
                       std::to_string(static_cast<long>(kMaximumWaitSeconds)));
  }
  runMainQueue([] { return false; },
               std::chrono::milliseconds(static_cast<int64_t>(std::llround(*seconds * 1000))));
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::dump(const Line& /*line*/) {
  trace_->host()->waitUntilEventsDelivered();
  // Without a plug-in: no screen heard, no button, no menu.
  const std::optional<FloatingControl> control = floatingControl();
  nlohmann::ordered_json written;
  const std::optional<std::string> screen =
      inspection_ ? inspection_->currActivity() : std::nullopt;
  written["screen"] = screen ? nlohmann::ordered_json(*screen) : nlohmann::ordered_json(nullptr);
  if (control) {
    const UIViewPtr& button = control->button;
    written["button"]["center"] = {number(button->center().x), number(button->center().y)};
    written["button"]["frame"] = frameJSON(button->frame());
  } else {
    written["button"] = nullptr;
  }
  written["menuOpen"] = control && control->menuOpen();
  written["selectScreen"] = actionButtonJSON(control ? control->selectScreen : nullptr);
  written["testDevice"] = actionButtonJSON(control ? control->testDevice : nullptr);
  written["isTestDevice"] = control && control->isTestDevice();
  written["preview"] = previewJSON();
  std::cout << written.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  return Result::done;
}

// Not const, though it changes nothing: the commands of the table share one
// signature.
// NOLINTNEXTLINE(readability-make-member-function-const)
ZRLSimRun::Result ZRLSimRun::snapshot(const Line& line) {
  const std::string path = line.rest();
  const std::optional<NSData> png = UIImagePNGRepresentation(render());
  if (!png) {
    ZRLSimWriteErrorLine("zrl-sim: line " + std::to_string(line.number) +
                         ": the screen could not be encoded as PNG");
    return Result::failed;
  }
  // Written under a temporary name and renamed, so that a reader never
  // sees half a file.
  const std::string temporary = path + ".tmp";
  std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
  file.write(png->data(), static_cast<std::streamsize>(png->size()));
  file.close();
  std::error_code failure;
  if (file) std::filesystem::rename(temporary, path, failure);
  if (!file || failure) {
    std::filesystem::remove(temporary, failure);
    ZRLSimWriteErrorLine("zrl-sim: line " + std::to_string(line.number) + ": \"" + line.text +
                         "\": " + path + " cannot be written");
    return Result::failed;
  }
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::quit(const Line& /*line*/) {
  return Result::quit;
}

namespace {

// The next line of standard input, running the main queue while none is
// there; null at the end of the input.
std::optional<std::string> nextLine(ZRLSimInputLines& input, ZRLSimRun& run) {
  while (true) {
    if (std::optional<std::string> line = input.take()) return line;
    if (input.ended()) return std::nullopt;
    run.step();
    DispatchMainLoop::runUntil([&] { return input.ready(); }, std::chrono::hours(1));
  }
}

}  // namespace

int ZRLSimRunMain(const ZRLSimRunOptions& options) {
  std::vector<std::string> script;
  if (options.scriptPath && !ZRLSimReadScript(*options.scriptPath, script)) {
    ZRLSimWriteErrorLine("zrl-sim: " + *options.scriptPath + ": the script cannot be read");
    return kZRLSimExitUsage;
  }

  int status = kZRLSimExitSuccess;
  std::string error;
  const std::unique_ptr<ZRLSimRun> run = ZRLSimRun::start(options, &status, &error);
  if (!run) {
    ZRLSimWriteErrorLine("zrl-sim: " + error);
    return status;
  }

  std::optional<ZRLSimInputLines> input;
  if (!options.scriptPath) input.emplace();
  size_t lineNumber = 0;
  while (true) {
    std::optional<std::string> line;
    if (options.scriptPath) {
      if (lineNumber < script.size()) line = script[lineNumber];
    } else {
      line = nextLine(*input, *run);
    }
    if (!line) break;
    ++lineNumber;
    run->step();
    if (run->execute(*line, lineNumber) == ZRLSimRun::Result::quit) break;
    run->step();
  }
  run->finish();
  return kZRLSimExitSuccess;
}
