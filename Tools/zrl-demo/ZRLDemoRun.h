#pragma once
// ZRLDemoRun is the demo itself: it starts zrl-dashboard and zrl-sim as
// children, drives the simulated device through a short script (two screens
// captured with "Select Screen", the device registered as a test device, one
// preview of each display type pushed through the dashboard's API and a
// snapshot after each), checks the dashboard's records, prints the report,
// and then either stops everything or keeps serving until interrupted.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Tools/zrl-demo/ZRLDemoAPI.h"
#include "Tools/zrl-demo/ZRLDemoChild.h"
#include "Tools/zrl-demo/ZRLDemoLines.h"
#include "Tools/zrl-demo/ZRLDemoReport.h"

struct ZRLDemoOptions {
  std::string dashboardProgram;
  std::string simulatorProgram;
  std::string scene;
  std::vector<std::string> screens;    // the two screens to capture
  std::string dataDirectory;           // the dashboard's data, kept between runs
  std::string outputDirectory;         // snapshots and the device's user defaults
  std::optional<unsigned short> port;  // none: the dashboard's default, else a free one
  std::string appId = "com.zorlan.demo";
  std::string deviceId = "5E1F2A3B-4C5D-4E6F-8A9B-0C1D2E3F4A5B";
  bool once = false;                    // stop after the report
  bool window = false;                  // zrl-sim --window
  bool verbose = false;                 // echo the children's lines while the script runs
  std::chrono::seconds timeout{30};     // the patience of each wait
  std::optional<std::string> launcher;  // this program, to start children through
};

// The display types pushed, in order, as the simulator's builders name them.
inline const std::vector<std::string>& ZRLDemoDisplayTypes() {
  static const std::vector<std::string> types{"coach_mark", "inline", "passive_nudge", "in_app"};
  return types;
}

class ZRLDemoRun {
 public:
  // `signalDescriptor`: a signalfd for SIGINT, SIGTERM and SIGHUP.
  ZRLDemoRun(ZRLDemoOptions options, int signalDescriptor);
  ~ZRLDemoRun();
  ZRLDemoRun(const ZRLDemoRun&) = delete;
  ZRLDemoRun& operator=(const ZRLDemoRun&) = delete;

  // The whole demo; the exit status (see zrl-demo --help).
  int run();

  // The preview configuration pushed for a display type, aimed at the view
  // `viewId` when one is known.
  static nlohmann::json previewFor(const std::string& displayType, const std::string& viewId);
  // The identifier of the first button in a capture's layout (else of the
  // first view with one), for previews to point at.
  static std::string targetViewId(const nlohmann::json& layout);

 private:
  // The run (ZRLDemoRun.cpp): the steps up to the report, stopping at the
  // first that fails; the children started, served and stopped.
  bool runScript();
  bool startDashboard();
  bool startSimulator();
  // Until a signal (true) or the end of the dashboard (false).
  bool serve();
  void stopAll();
  // Records the failure as the step's.
  bool fail(const std::string& step, const std::string& detail);
  bool waitFor(const std::string& step, const std::string& what, const std::function<bool()>& done,
               const ZRLDemoChild* watched);
  void onLine(const ZRLDemoChild& child, ZRLDemoChild::Stream stream, const std::string& line);
  bool interrupted() const { return waiter_.interruption() != 0; }

  // The steps (ZRLDemoSteps.cpp) and the commands through which they drive
  // the simulator; each failure is recorded as the step's.
  bool captureScreen(const std::string& screen);
  bool addTestDevice();
  bool checkRecords();
  bool showFirstScreen();
  bool pushPreview(const std::string& displayType, int number);
  bool command(const std::string& step, const std::string& line);
  std::optional<nlohmann::json> dump(const std::string& step);
  bool openMenu(const std::string& step, nlohmann::json* state);
  bool tapCenterOf(const std::string& step, const nlohmann::json& frame);
  // Taps a menu button and waits for the POST to `path` that it makes
  // (`awaited` and `answered` name it in the failures); true once the
  // dashboard answered it 200.
  bool tapAndAwaitPost(const std::string& step, const nlohmann::json& button,
                       const std::string& path, const std::string& awaited,
                       const std::string& answered);
  // Waits for a line of the simulator's standard error from `from` on
  // that `accept` takes; the line, or null after recording the failure.
  std::optional<ZRLDemoSimLine> waitForSimLine(
      const std::string& step, size_t from, const std::string& what,
      const std::function<bool(const ZRLDemoSimLine&)>& accept);
  size_t simErrorLines() const;

  ZRLDemoOptions options_;
  ZRLDemoWaiter waiter_;
  ZRLDemoReport report_;
  std::unique_ptr<ZRLDemoChild> dashboard_;
  std::unique_ptr<ZRLDemoChild> simulator_;
  ZRLDemoDashboardAddress address_;
  std::unique_ptr<ZRLDemoAPI> api_;
  bool echo_ = false;
  long previousCaptureId_ = 0;
  std::string targetViewId_;
  double screenHeight_ = 0;  // of the first screen's capture; 0: unknown
  std::string defaultsFile_;
};
