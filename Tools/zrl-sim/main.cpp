// zrl-sim: runs the plug-in in the stand-in host on a simulated app whose
// screens a scene file describes.

#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Net/NSURL.h"
#include "Tools/zrl-sim/ZRLSimCapture.h"
#include "Tools/zrl-sim/ZRLSimRun.h"
#include "Tools/zrl-sim/ZRLSimWindowLoop.h"

namespace {

constexpr const char* kUsage = R"usage(usage: zrl-sim capture --scene FILE [--screen NAME] --out DIR
       zrl-sim run --scene FILE [--defaults FILE] [--script FILE] [--window] [OPTIONS]
       zrl-sim --help

Runs the plug-in in the stand-in host on a simulated app whose screens a
scene file (JSON) describes.

Commands:
  capture --scene FILE [--screen NAME] --out DIR
      Shows the screen NAME of the scene (by default its "initial" one),
      tells the plug-in its name, captures it as "Select Screen" does
      (without the pause) and writes into DIR (made when missing):
        layout.json     the layout exactly as the upload carries it
        screenshot.png  the screenshot that the upload carries
        body.json       the whole upload body
      Exit status: 0 success; 1 the capture or writing its files failed,
      or no plug-in was found (no files are left behind); 2 bad usage, or
      a bad scene file or screen name (no files are written).

  run --scene FILE [OPTIONS]
      Starts the host and the plug-in on the scene's "initial" screen (the
      floating button appears, the preview stream opens), then runs
      commands, one a line, from the script or from standard input. Without
      a plug-in the app runs without the button and the stream, and dump
      shows "button": null.
      --defaults FILE     the user-defaults file, where the test-device flag
                          is kept across runs (default: $ZRL_USER_DEFAULTS,
                          else ZRLWYSIWYGPlugin/zrl-sim.defaults.json under
                          $XDG_CONFIG_HOME or ~/.config)
      --script FILE       read commands from FILE instead of standard input
      --dashboard HOST:PORT
                          the dashboard of the plug-in's uploads and preview
                          stream (default: $ZRL_DASHBOARD_HOST, else the
                          build's default)
      --server URL        where the host sends its requests (the test-device
                          ones); default https:// and the dashboard's host
      --ca-file FILE      the certificate authority to trust
      --dashboard-data DIR
                          trust DIR/ca.pem, the authority of a zrl-dashboard
                          run with --data DIR. Without either: $ZRL_CA_FILE,
                          else the default dashboard folder's ca.pem when it
                          exists, else the system's authorities
      --app-id ID         the application identifier (default zrl-sim)
      --device-id ID      the device identifier (default zrl-sim-device)
      --model NAME        the hardware model (default zrl-sim)
      --log-level N       the host's log level: errors at 3 and below, debug
                          lines at 1 and below (default $ZRL_LOG_LEVEL, else 2)
      --safe-top POINTS   the screen's top safe-area inset (default 47)
      --window            show the device in a desktop window, at the
                          screen's scale (less when the display is too
                          small). The mouse is the finger: press, drag and
                          release make the touches that tap and drag make.
                          Commands from the script or standard input keep
                          working beside it. The end of the commands leaves
                          the window open; quit, or the window's close
                          button, ends the run (exit status 0). Without a
                          display it says so and exits with status 2.

      Commands (coordinates are points, fractions allowed, and must lie on
      the screen: 0 to its width, 0 to its height; blank lines and lines
      starting with # are skipped):
        screen NAME           show the scene's screen NAME; the host posts
                              the screen-change event (type 1)
        background            the host posts the type-0 event "BACKGROUND"
        foreground            the host posts the type-0 event "FOREGROUND"
        tap X Y               a touch down and up at (X, Y); on a preview
                              it dismisses it, as on a device
        drag X1 Y1 X2 Y2 [STEPS] [cancel]
                              a touch from the first point to the second in
                              STEPS moves (default 10), lifted, or cancelled
        wait SECONDS          run the main queue for that long
        dump                  one JSON line on standard output: "screen",
                              "button" (center, frame), "menuOpen",
                              "selectScreen" and "testDevice" (frame, hidden,
                              title, color), "isTestDevice", and "preview":
                              null, or the preview on screen with exactly
                              "display_type", "view_id", "title", "text"
                              (strings as shown, or null), "target",
                              "spotlight" (each a rectangle or null) and
                              "card" (the card, or a nudge's banner); a
                              rectangle is {"top", "left", "bottom",
                              "right"} in whole window points, like the
                              layout's "bounds" (docs/PREVIEWS.md)
        snapshot FILE         write a PNG of the screen as a person sees it,
                              every window by level, the preview and the
                              overlay included
        quit                  end the run (so does the end of the input)
      An unknown command or a bad argument writes an error naming the line
      (number and text) on standard error, and the run goes on. At the end
      the run waits up to 30 s for answers to the requests its taps started.

      Standard error also carries one line for each of these, as they happen:
        plug-in: loaded PATH (version N)       at the start: the plug-in that
        plug-in: none (WHY)                    the host loaded, or why none
        request: METHOD PATH?QUERY -> STATUS   (or -> error CODE, the
                                                transport error's code)
        stream: open PATH?QUERY                the preview stream opened
        stream: closed | stream: error CODE    the preview stream ended
        builder: DISPLAYTYPE JSON              a preview builder was called
                                               with that configuration
                                               (objects and arrays nested
                                               deeper than 64 levels are
                                               written as the string
                                               "(cut: nested too deep)")
      Exit status: 0 after quit or the end of the input (also when some
      commands were refused); 1 when the plug-in cannot start; 2 for bad
      usage, an unreadable or bad scene, script or CA file.

Scene file:
  { "screen": {"width": 375, "height": 667, "scale": 2},
    "reactNative": false,
    "screens": { "Login": VIEW, ... },
    "initial": "Login" }
  VIEW = { "class": "UIView" | "UILabel" | "UIButton" | "UIImageView" |
                    "UITableViewCell" | "UICollectionViewCell",
           "frame": [x, y, w, h], "name": "...", "boundsOrigin": [x, y],
           "tag": 0, "nativeID": "...", "hidden": false, "ignored": false,
           "backgroundColor": "#rrggbb", "cornerRadius": 0, "zPosition": 0,
           "text": "...", "textColor": "#rrggbb", "fontSize": 17,
           "subviews": [VIEW, ...] }
  Every key but "class" and "frame" is optional.

Plug-in: the host loads libZRLWYSIWYGPlugin.so.1 at the start, from the
folder $ZRL_PLUGIN_PATH when it is set (and only there), else by the usual
library search; one with another interface version, or a library that is
not the plug-in, is refused.

Exit status: as each command says above; 2 for an unknown command.
)usage";

int usageError(const std::string& message) {
  std::cerr << "zrl-sim: " << message << "\n(zrl-sim --help shows the usage)" << std::endl;
  return kZRLSimExitUsage;
}

// An option of a command: whether a value follows its name, and what takes
// the value (or notes the flag). A setter answers why a value is bad, or
// nothing.
struct Option {
  std::string_view name;
  bool needsValue;
  std::function<std::string(std::string_view)> set;
};

// Reads a command's options. Options without a value are taken out first,
// wherever a name may stand (a word starting with "--" takes the next word
// as its value); the rest must be "--name value" pairs. The first unknown
// name or missing value ends the reading with its message in `error`; a bad
// value goes on, and the last one's message is in `bad`.
bool readOptions(const std::vector<std::string_view>& given, const std::vector<Option>& options,
                 std::string& error, std::string& bad) {
  const auto find = [&](std::string_view name, bool needsValue) -> const Option* {
    for (const Option& option : options) {
      if (option.name == name && option.needsValue == needsValue) return &option;
    }
    return nullptr;
  };
  std::vector<std::string_view> arguments;
  for (size_t i = 0; i < given.size(); ++i) {
    if (const Option* flag = find(given[i], false)) {
      flag->set({});
      continue;
    }
    arguments.push_back(given[i]);
    if (given[i].starts_with("--") && i + 1 < given.size()) arguments.push_back(given[++i]);
  }
  for (size_t i = 0; i < arguments.size(); i += 2) {
    const std::string_view name = arguments[i];
    if (i + 1 == arguments.size()) {
      error = name.starts_with("--") ? std::string(name) + " needs a value"
                                     : "unexpected argument " + std::string(name);
      return false;
    }
    const Option* option = find(name, true);
    if (option == nullptr) {
      error = "unknown option " + std::string(name);
      return false;
    }
    if (std::string complaint = option->set(arguments[i + 1]); !complaint.empty())
      bad = std::move(complaint);
  }
  return true;
}

// A setter that stores the value as it is.
template <typename Target>
std::function<std::string(std::string_view)> store(Target& target) {
  return [&target](std::string_view value) {
    target = std::string(value);
    return std::string();
  };
}

int capture(const std::vector<std::string_view>& arguments) {
  ZRLSimCaptureOptions options;
  std::string error;
  std::string bad;
  const bool read = readOptions(arguments,
                                {{"--scene", true, store(options.scenePath)},
                                 {"--screen", true, store(options.screenName)},
                                 {"--out", true, store(options.outputFolder)}},
                                error, bad);
  if (!read) return usageError("capture: " + error);
  if (options.scenePath.empty()) return usageError("capture: --scene FILE is required");
  if (options.outputFolder.empty()) return usageError("capture: --out DIR is required");
  return ZRLSimRunCapture(options);
}

std::optional<double> number(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [next, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || next != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

int run(const std::vector<std::string_view>& arguments) {
  ZRLSimRunOptions options;
  bool window = false;
  const auto logLevel = [&](std::string_view value) {
    const auto level = number(value);
    if (!level || *level < 0 || *level != std::trunc(*level) || *level > 1e9)
      return "--log-level needs a whole number, not \"" + std::string(value) + "\"";
    options.logLevel = static_cast<unsigned long>(*level);
    return std::string();
  };
  const auto safeTop = [&](std::string_view value) {
    const auto top = number(value);
    if (!top || *top < 0)
      return "--safe-top needs a number of points, not \"" + std::string(value) + "\"";
    options.safeTop = *top;
    return std::string();
  };
  const auto flag = [](bool& target) {
    return [&target](std::string_view) {
      target = true;
      return std::string();
    };
  };
  std::string error;
  std::string bad;
  const bool read = readOptions(arguments,
                                {{"--scene", true, store(options.scenePath)},
                                 {"--defaults", true, store(options.defaultsPath)},
                                 {"--script", true, store(options.scriptPath)},
                                 {"--dashboard", true, store(options.dashboardHost)},
                                 {"--server", true, store(options.serverURL)},
                                 {"--ca-file", true, store(options.caFile)},
                                 {"--dashboard-data", true, store(options.dashboardData)},
                                 {"--app-id", true, store(options.appId)},
                                 {"--device-id", true, store(options.deviceId)},
                                 {"--model", true, store(options.model)},
                                 {"--log-level", true, logLevel},
                                 {"--safe-top", true, safeTop},
                                 {"--window", false, flag(window)}},
                                error, bad);
  if (!read) return usageError("run: " + error);
  if (!bad.empty()) return usageError("run: " + bad);
  if (options.scenePath.empty()) return usageError("run: --scene FILE is required");
  if (options.dashboardHost && options.dashboardHost->empty()) {
    return usageError("run: --dashboard needs HOST:PORT");
  }
  if (options.serverURL && !NSURL::URLWithString(*options.serverURL)) {
    return usageError("run: --server needs an http or https URL, not \"" + *options.serverURL +
                      "\"");
  }
  if (options.appId.empty() || options.deviceId.empty() || options.model.empty()) {
    return usageError("run: --app-id, --device-id and --model must not be empty");
  }
  if (options.caFile && options.dashboardData) {
    return usageError("run: give --ca-file or --dashboard-data, not both");
  }
  return window ? ZRLSimWindowLoop::main(options) : ZRLSimRunMain(options);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  for (const std::string_view argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return kZRLSimExitSuccess;
    }
  }
  if (arguments.empty()) return usageError("a command is required");
  const std::string_view command = arguments.front();
  arguments.erase(arguments.begin());
  if (command == "capture") return capture(arguments);
  if (command == "run") return run(arguments);
  return usageError("unknown command " + std::string(command));
}
