#pragma once
// `zrl-sim capture`: shows one screen of a scene in the stand-in host with
// the plug-in, tells the plug-in its name, captures it as "Select Screen"
// does (without the pause) and writes what the upload would carry.

#include <optional>
#include <string>

struct ZRLSimCaptureOptions {
  std::string scenePath;
  std::optional<std::string> screenName;
  std::string outputFolder;
};

// Exit statuses of the simulator's commands.
inline constexpr int kZRLSimExitSuccess = 0;
inline constexpr int kZRLSimExitFailure = 1;
inline constexpr int kZRLSimExitUsage = 2;

// Runs the capture; messages go to standard error, a summary line to
// standard output. Returns an exit status: 0 when layout.json,
// screenshot.png and body.json were written, 2 for a bad scene or screen
// name (nothing written), 1 when capturing or writing failed (nothing left
// behind).
int ZRLSimRunCapture(const ZRLSimCaptureOptions& options);
