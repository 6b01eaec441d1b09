// zrl-sim: runs the plug-in in the stand-in host on a simulated app whose
// screens a scene file describes.

#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "Tools/zrl-sim/ZRLSimCapture.h"

namespace {

constexpr const char* kUsage = R"(usage: zrl-sim COMMAND [OPTIONS]
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

Exit status:
  0  success
  1  the capture or writing its files failed (no files are left behind)
  2  bad usage, or a bad scene file or screen name (no files are written)
)";

int usageError(const std::string& message) {
  std::cerr << "zrl-sim: " << message << "\n(zrl-sim --help shows the usage)" << std::endl;
  return kZRLSimExitUsage;
}

// Reads "--name value" pairs; every option of every command takes a value.
bool readOptions(const std::vector<std::string_view>& arguments,
                 const std::function<bool(std::string_view, std::string_view)>& take,
                 std::string& error) {
  for (size_t i = 0; i < arguments.size(); i += 2) {
    const std::string_view name = arguments[i];
    if (i + 1 == arguments.size()) {
      error = std::string(name).starts_with("--") ? std::string(name) + " needs a value"
                                                  : "unexpected argument " + std::string(name);
      return false;
    }
    if (!take(name, arguments[i + 1])) {
      error = "unknown option " + std::string(name);
      return false;
    }
  }
  return true;
}

int capture(const std::vector<std::string_view>& arguments) {
  ZRLSimCaptureOptions options;
  std::string error;
  const bool read = readOptions(
      arguments,
      [&](std::string_view name, std::string_view value) {
        if (name == "--scene") {
          options.scenePath = value;
        } else if (name == "--screen") {
          options.screenName = std::string(value);
        } else if (name == "--out") {
          options.outputFolder = value;
        } else {
          return false;
        }
        return true;
      },
      error);
  if (!read) return usageError("capture: " + error);
  if (options.scenePath.empty()) return usageError("capture: --scene FILE is required");
  if (options.outputFolder.empty()) return usageError("capture: --out DIR is required");
  return ZRLSimRunCapture(options);
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
  return usageError("unknown command " + std::string(command));
}
