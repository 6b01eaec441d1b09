#pragma once
// `zrl-sim run`: the plug-in in the stand-in host on a simulated app that a
// person (or a script) drives with commands, touches and snapshots.
// ZRLSimRun owns the host, the plug-in and the scene; a front end (the
// command loop of ZRLSimRunMain, or a window) feeds it command lines and
// touches, steps the main queue and draws the screen it renders.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/UIImage.h"

// How deep the configuration of a "builder:" line is written: objects and
// arrays nested deeper are written as the string "(cut: nested too deep)".
inline constexpr size_t kZRLSimBuilderLineDepth = 64;

struct ZRLSimRunOptions {
  std::string scenePath;
  std::optional<std::string> defaultsPath;  // the user-defaults file
  std::optional<std::string> scriptPath;    // absent: standard input
  // host[:port] of the dashboard for the plug-in's absolute addresses;
  // absent: the plug-in's default (ZRL_DASHBOARD_HOST or the build's).
  std::optional<std::string> dashboardHost;
  // Where the host sends paths; absent: "https://" + the dashboard host.
  std::optional<std::string> serverURL;
  // The certificate authority to trust; --dashboard-data DIR means
  // DIR/ca.pem. Both absent: ZRL_CA_FILE, else the default dashboard data
  // folder's ca.pem when there is one, else the system's authorities.
  std::optional<std::string> caFile;
  std::optional<std::string> dashboardData;
  std::string appId = "zrl-sim";
  std::string deviceId = "zrl-sim-device";
  std::string model = "zrl-sim";
  std::optional<unsigned long> logLevel;  // absent: the host's (ZRL_LOG_LEVEL, else 2)
  std::optional<double> safeTop;          // absent: the simulated screen's 47
};

class ZRLSimRun {
 public:
  enum class Result {
    done,     // the command ran
    refused,  // unknown command or bad argument; an error line was written
    failed,   // the command could not do its work (a snapshot not written)
    quit,     // `quit`: the run should end
  };

  // Loads the scene, configures the host, shows the first screen and
  // initialises the plug-in, running the main queue until the floating
  // button stands. Null on failure, with an exit status (2: bad scene, CA
  // file or option; 1: the plug-in did not come up) and a message. Call
  // on the thread that runs the main queue, once per process.
  static std::unique_ptr<ZRLSimRun> start(const ZRLSimRunOptions& options, int* status,
                                          std::string* error);
  ~ZRLSimRun();
  ZRLSimRun(const ZRLSimRun&) = delete;
  ZRLSimRun& operator=(const ZRLSimRun&) = delete;

  // Runs one command line (see `zrl-sim --help`); empty lines and lines
  // starting with '#' do nothing. Errors name the line by number and text
  // on standard error.
  Result execute(std::string_view line, size_t lineNumber);

  // One finger, in screen points, routed through the application's
  // windows as `tap` and `drag` route it. A point off the screen is clamped
  // to its edge. touchDown returns whether a window took the touch.
  bool touchDown(CGPoint point);
  void touchMove(CGPoint point);
  void touchUp(CGPoint point);
  void touchCancel(CGPoint point);

  // The screen as a person sees it: every visible window composited by
  // level over black, at one pixel per point; what `snapshot` writes.
  UIImagePtr render(CGFloat scale = 1) const;
  CGSize screenSize() const;
  // Counts the changes that may alter what render() shows: commands,
  // touches, answers to requests (a refused test-device request puts the
  // button back), and preview cards, seen by step() and while commands
  // wait. A front end redraws when it differs from the last it drew; the
  // docking animation's course is in UIView::lastAnimation().
  uint64_t changeCount() const;
  // Runs the main-queue blocks that are ready, without blocking.
  void step();
  // Called over and over while a command runs the main queue for a while
  // (`wait`, the end of the run), so that a front end stays live.
  void setWaitTick(std::function<void()> tick);

  // Ends the run: waits (at most 30 s, running the main queue) until every
  // request that the commands started has been answered and every host
  // event has been delivered, so that none of their lines is lost.
  void finish();

 private:
  struct State;
  struct Line;
  explicit ZRLSimRun(std::shared_ptr<State> state);

  // The commands, each with its arguments already counted.
  Result showScreen(const Line& line);
  Result changeActivation(const Line& line);  // background, foreground
  Result tap(const Line& line);
  Result drag(const Line& line);
  Result wait(const Line& line);
  Result dump(const Line& line);
  Result snapshot(const Line& line);
  Result quit(const Line& line);

  std::shared_ptr<State> state_;
};

// The command loop: reads commands from the script, or standard input, one
// a line, until `quit` or the end. Returns the exit status (0 after `quit`
// or the end of the input, even when some commands were refused; 2 for bad
// usage, scene, script or CA file; 1 when the plug-in does not start).
int ZRLSimRunMain(const ZRLSimRunOptions& options);
