#pragma once
// `zrl-sim run`: the plug-in in the stand-in host on a simulated app that a
// person (or a script) drives with commands, touches and snapshots.
// ZRLSimRun owns the host, the plug-in that the host's loader found (or
// none) and the scene; a front end (the command loop of ZRLSimRunMain, or a
// window) feeds it command lines and touches, steps the main queue and draws
// the screen it renders.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/UIButton.h"
#include "Platform/UIKit/UIImage.h"
#include "Tools/zrl-sim/ZRLSimScene.h"

class ZRLSimTrace;
class ZorlanPlugin;
class ZorlanPluginInspection;

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

// The certificate authority that the run trusts: --ca-file, else
// DIR/ca.pem of --dashboard-data DIR, else, unless ZRL_CA_FILE names one,
// the ca.pem of the dashboard's default data folder when there is one
// ($XDG_DATA_HOME/zrl-dashboard, else ~/.local/share/zrl-dashboard).
// Absent: the platform's default (ZRL_CA_FILE, else the system's).
std::optional<std::string> ZRLSimCertificateAuthority(const ZRLSimRunOptions& options);

class ZRLSimRun {
 public:
  enum class Result {
    done,     // the command ran
    refused,  // unknown command or bad argument; an error line was written
    failed,   // the command could not do its work (a snapshot not written)
    quit,     // `quit`: the run should end
  };

  // Loads the scene, configures the host, shows the first screen and has
  // the host's loader look for the plug-in ("plug-in: ..." on standard
  // error); initialises the plug-in found, running the main queue until the
  // floating button stands. Without a plug-in the app runs on without a
  // floating button or preview stream. Null on failure, with an exit status
  // (2: bad scene, CA file or option; 1: the plug-in found did not come up)
  // and a message. Call on the thread that runs the main queue, once per
  // process.
  static std::unique_ptr<ZRLSimRun> start(const ZRLSimRunOptions& options, int* status,
                                          std::string* error);
  ~ZRLSimRun();
  ZRLSimRun(const ZRLSimRun&) = delete;
  ZRLSimRun& operator=(const ZRLSimRun&) = delete;

  // Runs one command line (see `zrl-sim --help`); empty lines and lines
  // starting with '#' do nothing. Errors name the line by number and text
  // on standard error. (The commands are in ZRLSimCommands.cpp.)
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
  struct Line;
  explicit ZRLSimRun(ZRLSimScene scene);

  void changed() { changes_->fetch_add(1); }
  // Counts a new preview card as a change: the builders put it into the
  // key window in a block of their own on the main queue.
  void noticeCard();
  // Runs the main queue until the condition holds or the time-out passes,
  // noticing cards and ticking the front end meanwhile.
  bool runMainQueue(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

  // The plug-in's floating control as its overlay window shows it, found
  // in the application's windows by its classes and titles: the round
  // button and the two action buttons. Absent without a plug-in, or before
  // the control stands.
  struct FloatingControl {
    UIViewPtr button;
    UIButtonPtr selectScreen;
    UIButtonPtr testDevice;

    bool menuOpen() const { return !selectScreen->isHidden(); }
    // The toggle offers the removal once the device is a test device.
    bool isTestDevice() const;
    bool isSelectScreenGreen() const;
  };
  static std::optional<FloatingControl> floatingControl();
  bool onScreen(CGPoint point) const;
  CGPoint clamped(CGPoint point) const;  // onto the screen; not finite: 0

  // The commands, each with its arguments already counted.
  Result showScreen(const Line& line);
  Result changeActivation(const Line& line);  // background, foreground
  Result tap(const Line& line);
  Result drag(const Line& line);
  Result wait(const Line& line);
  Result dump(const Line& line);
  Result snapshot(const Line& line);
  Result quit(const Line& line);

  ZRLSimScene scene_;
  std::unique_ptr<ZRLSimTrace> trace_;
  std::shared_ptr<UIWindowScene> windowScene_;
  std::shared_ptr<UIWindow> appWindow_;
  std::shared_ptr<ZorlanPlugin> plugin_;  // null: none was found
  std::shared_ptr<ZorlanPluginInspection> inspection_;
  std::function<void()> waitTick_;
  // Shared with the blocks that count the answers to requests, which may
  // run after the run has ended.
  std::shared_ptr<std::atomic<uint64_t>> changes_ = std::make_shared<std::atomic<uint64_t>>(0);
  uint64_t requestsStarted_ = 0;  // by taps (main thread)
  bool touching_ = false;         // a finger is on the glass
  std::weak_ptr<UIView> lastCard_;
};

// The command loop: reads commands from the script, or standard input, one
// a line, until `quit` or the end. Returns the exit status (0 after `quit`
// or the end of the input, even when some commands were refused; 2 for bad
// usage, scene, script or CA file; 1 when the plug-in found does not start).
int ZRLSimRunMain(const ZRLSimRunOptions& options);
