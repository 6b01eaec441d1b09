// The whole loop as a person and a script run it: the zrl-demo program
// itself (screens captured with "Select Screen", the device registered, a
// preview of each display type pushed through the API; its report, its
// Ctrl-C and its death leaving nothing running), and a zrl-sim device
// against a real zrl-dashboard that is killed and started again in the
// middle.
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Tools/zrl-demo/ZRLDemoAPI.h"
#include "Tools/zrl-demo/ZRLDemoLines.h"
#include "tests/Tools/zrl-sim/SimTestSupport.h"

using ::testing::HasSubstr;
using ::testing::Not;
using json = nlohmann::json;
using Kind = ZRLDemoSimLine::Kind;

namespace {

const std::string kApp = "e2e app";  // percent-encoded on the way
const std::string kDevice = "E2E-DEVICE-1";

// The live processes whose command line mentions `text`.
inline std::vector<pid_t> processesMentioning(const std::string& text) {
  std::vector<pid_t> found;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream file(entry.path() / "cmdline", std::ios::binary);
    const std::string command{std::istreambuf_iterator<char>(file),
                              std::istreambuf_iterator<char>()};
    std::ifstream stat(entry.path() / "stat");
    std::string state;
    std::getline(stat, state);
    const size_t close = state.rfind(')');
    const bool zombie =
        close != std::string::npos && close + 2 < state.size() && state[close + 2] == 'Z';
    if (!zombie && command.find(text) != std::string::npos) found.push_back(std::stoi(name));
  }
  return found;
}

// The complete lines of a text.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end = 0; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  return lines;
}

// A zrl-sim device connected to a dashboard, driven through its standard
// input; its standard error read as the demo reads it.
class Device : public SimProcess {
 public:
  Device(const DashboardProcess& dashboard, const std::string& folder)
      : SimProcess({"--scene", sampleScene("login"), "--dashboard", dashboard.host(), "--ca-file",
                    dashboard.authority(), "--app-id", kApp, "--device-id", kDevice, "--defaults",
                    folder + "/defaults.json"}) {}

  size_t errorLines() const { return linesOf(errors()).size(); }

  // The first line of standard error from `from` on of one of the kinds
  // that `accept` takes (all of them when it is empty).
  std::optional<ZRLDemoSimLine> waitFor(
      const std::vector<Kind>& kinds, size_t from,
      const std::function<bool(const ZRLDemoSimLine&)>& accept = {}) {
    std::optional<ZRLDemoSimLine> found;
    process().waitForErrors([&](const std::string& errors) {
      const auto lines = linesOf(errors);
      for (size_t i = from; i < lines.size() && !found; ++i) {
        auto line = ZRLDemoSimLine::parse(lines[i]);
        if (std::ranges::find(kinds, line.kind) != kinds.end() && (!accept || accept(line)))
          found = std::move(line);
      }
      return found.has_value();
    });
    return found;
  }
  // Shows the screen and presses "Select Screen"; true once the upload was
  // answered 200.
  bool capture(const std::string& screen) {
    send("screen " + screen);
    json state = dump();
    if (!state.value("menuOpen", false)) {
      tapMiddleOf(state["button"]["frame"]);
      state = dump();
    }
    EXPECT_TRUE(state.value("menuOpen", false)) << state;
    EXPECT_EQ(state["screen"], screen);
    const size_t from = errorLines();
    tapMiddleOf(state["selectScreen"]["frame"]);
    const auto upload = waitFor({Kind::request}, from, [](const ZRLDemoSimLine& line) {
      return line.method == "POST" && line.path() == "/v1/api/layout";
    });
    return upload && upload->outcome == "200";
  }
};

ZRLDemoAPI apiOf(const DashboardProcess& dashboard) {
  return {dashboard.origin(), dashboard.token(), dashboard.authority()};
}

// Pushes {"ui": {"display_type": type, "n": n}}; the number of streams it
// was handed to, -1 on failure.
int push(const ZRLDemoAPI& api, const std::string& type, int n) {
  std::string error;
  const auto answer = api.postJSON("/api/previews?appId=" + ZRLDemoAPI::encode(kApp),
                                   {{"ui", {{"display_type", type}, {"n", n}}}}, &error);
  EXPECT_TRUE(answer) << error;
  return answer ? answer->value("delivered", -1) : -1;
}

// The "n" of each builder call the device printed, with its display type.
std::vector<std::pair<std::string, int>> builderCalls(const Device& device) {
  std::vector<std::pair<std::string, int>> calls;
  for (const auto& text : linesOf(device.errors())) {
    const auto line = ZRLDemoSimLine::parse(text);
    if (line.kind == Kind::builder)
      calls.emplace_back(line.displayType, line.config["ui"].value("n", -1));
  }
  return calls;
}

}  // namespace

TEST(ZRLEndToEnd, ARestartedDashboardGetsTheDeviceBackAndAPreviewPushedMeanwhileArrivesOnce) {
  TemporaryDirectory folder;
  const std::string data = folder.path() + "/data";
  auto dashboard = std::make_unique<DashboardProcess>(ZRL_DASHBOARD_PATH, data);
  ASSERT_TRUE(dashboard->ready()) << dashboard->errors();
  const std::string port = dashboard->port();
  Device device(*dashboard, folder.path());
  ASSERT_TRUE(device.waitFor({Kind::streamOpen}, 0)) << device.errors();
  ASSERT_TRUE(device.capture("Login")) << device.errors();
  size_t from = device.errorLines();
  EXPECT_EQ(push(apiOf(*dashboard), "coach_mark", 1), 1);
  ASSERT_TRUE(device.waitFor({Kind::builder}, from)) << device.errors();

  // Killed, its stream dropped, started again on the same port and data,
  // and a preview pushed at once: the device has not reconnected yet (its
  // back-off lasts seconds), so the preview reaches it through the replay
  // of what it missed. Should a reconnection win the race (a slow start on
  // a busy machine), that preview arrives live and the restart is done
  // again with the next number: each arrives once either way.
  int delivered = -1;
  size_t restarted = 0;
  std::vector<std::pair<std::string, int>> expected{{"coach_mark", 1}};
  for (int attempt = 0; attempt < 3 && delivered != 0; ++attempt) {
    from = device.errorLines();
    dashboard->process().signal(SIGKILL);
    ASSERT_TRUE(dashboard->process().wait());
    ASSERT_TRUE(device.waitFor({Kind::streamError, Kind::streamClosed}, from)) << device.errors();
    restarted = device.errorLines();
    dashboard = std::make_unique<DashboardProcess>(ZRL_DASHBOARD_PATH, data, port);
    ASSERT_TRUE(dashboard->ready()) << dashboard->errors();
    expected.emplace_back("inline", 10 + attempt);
    delivered = push(apiOf(*dashboard), "inline", expected.back().second);
  }
  EXPECT_EQ(delivered, 0);
  ASSERT_TRUE(device.waitFor({Kind::streamOpen}, restarted)) << device.errors();
  ASSERT_TRUE(device.waitFor({Kind::builder}, restarted, [&](const ZRLDemoSimLine& line) {
    return line.displayType == "inline" &&
           line.config["ui"].value("n", -1) == expected.back().second;
  })) << device.errors();

  // The loop goes on with the new dashboard: what was answered before the
  // kill is still there, a capture and another preview arrive, each once.
  ASSERT_TRUE(device.capture("Cart")) << device.errors();
  const ZRLDemoAPI api = apiOf(*dashboard);
  std::string error;
  const auto captures = api.getJSON("/api/captures?appId=" + ZRLDemoAPI::encode(kApp), &error);
  ASSERT_TRUE(captures) << error;
  ASSERT_EQ(captures->size(), 2u) << *captures;
  EXPECT_EQ((*captures)[1]["screen"], "Login");
  from = device.errorLines();
  EXPECT_EQ(push(api, "passive_nudge", 3), 1);
  ASSERT_TRUE(device.waitFor({Kind::builder}, from)) << device.errors();
  expected.emplace_back("passive_nudge", 3);
  EXPECT_EQ(builderCalls(device), expected);
}

TEST(ZRLDemoProgram, RunsTheWholeLoopOnceAndStopsEverythingItStarted) {
  TemporaryDirectory folder;
  ChildProcess demo({"/usr/bin/env", "ZRL_DEMO_ONCE=1", ZRL_DEMO_PATH, "--no-window", "--port", "0",
                     "--out", folder.path()});
  EXPECT_EQ(demo.wait(std::chrono::seconds(120)), 0) << demo.unreadOutput() << demo.errorOutput();
  const std::string report = demo.unreadOutput();
  EXPECT_THAT(report, HasSubstr("builders that ran: coach_mark, inline, passive_nudge, in_app\n"));
  EXPECT_THAT(report, HasSubstr("POST /v1/api/layout?appId=com.zorlan.demo -> 200 (2 times)"));
  EXPECT_THAT(report, HasSubstr(" Login at "));
  EXPECT_THAT(report, HasSubstr(" Cart at "));
  EXPECT_THAT(report, HasSubstr("\nopen: https://127.0.0.1:"));
  for (const char* name :
       {"01-coach_mark.png", "02-inline.png", "03-passive_nudge.png", "04-in_app.png"}) {
    EXPECT_TRUE(readFile(folder.path() + "/snapshots/" + name).starts_with("\x89PNG\r\n\x1a\n"))
        << name;
    EXPECT_THAT(report, HasSubstr(folder.path() + "/snapshots/" + name));
  }
  EXPECT_TRUE(processesMentioning(folder.path()).empty());

  // A second run keeps the dashboard's data: it reports only its own
  // captures, and the device registers again from a fresh start.
  ChildProcess again({"/usr/bin/env", "ZRL_DEMO_ONCE=1", ZRL_DEMO_PATH, "--no-window", "--port",
                      "0", "--out", folder.path()});
  EXPECT_EQ(again.wait(std::chrono::seconds(120)), 0) << again.unreadOutput();
  EXPECT_THAT(again.unreadOutput(), HasSubstr("#3 Login at "));
  EXPECT_THAT(again.unreadOutput(), Not(HasSubstr("#1 Login at ")));
}

TEST(ZRLDemoProgram, KeepsServingUntilInterruptedAndItsChildrenDieWithIt) {
  for (const int ending : {SIGINT, SIGKILL}) {
    TemporaryDirectory folder;
    ChildProcess demo({ZRL_DEMO_PATH, "--no-window", "--port", "0", "--out", folder.path()});
    std::optional<std::string> line;
    while ((line = demo.readLine(std::chrono::seconds(120))) && !line->starts_with("open: ")) {
    }
    ASSERT_TRUE(line) << demo.errorOutput();
    ASSERT_TRUE((line = demo.readLine()));
    EXPECT_THAT(*line, HasSubstr("keeps serving"));
    // The dashboard (--data FOLDER/dashboard) and the device (--defaults
    // FOLDER/device-defaults.json); the demo itself names FOLDER alone.
    const std::vector<pid_t> children = processesMentioning(folder.path() + "/d");
    EXPECT_EQ(children.size(), 2u);
    demo.signal(ending);
    EXPECT_EQ(demo.wait(), ending == SIGINT ? 0 : 128 + SIGKILL);
    if (ending == SIGINT) {
      EXPECT_THAT(demo.unreadOutput(), HasSubstr("stopped everything"));
    }
    // Without the demo to stop them, the kernel ends them.
    for (const pid_t child : children)
      EXPECT_TRUE(waitUntilGone(child)) << child;
  }
}

TEST(ZRLDemoProgram, FailsAStepWhoseAnswerIsOddOrInterruptedAndStopsEverything) {
  // A simulator that cannot start, and a dump without the menu's flag: the
  // report names the step, the status is 1, and what was started is stopped.
  TemporaryDirectory folder;
  for (const auto& [sim, failed] : std::vector<std::pair<std::string, std::string>>{
           {"/bin/false", "start zrl-sim"},
           {ZRL_FAKE_SIM_PATH,
            "show Login and press Select Screen: the simulator's dump has no "
            "\"menuOpen\" flag"}}) {
    ChildProcess demo({"/usr/bin/env", "ZRL_DEMO_SIM=" + sim, R"(FAKE_SIM_DUMP={"menuOpen":"yes"})",
                       ZRL_DEMO_PATH, "--once", "--no-window", "--port", "0", "--out",
                       folder.path()});
    EXPECT_EQ(demo.wait(std::chrono::seconds(90)), 1) << demo.errorOutput();
    const std::string report = demo.unreadOutput();
    EXPECT_THAT(report, HasSubstr("FAILED: " + failed));
    EXPECT_THAT(report, HasSubstr("zrl-demo: stopped everything it started"));
    EXPECT_TRUE(std::filesystem::exists(folder.path() + "/dashboard/dashboard.sqlite"));
    EXPECT_TRUE(processesMentioning(folder.path()).empty());
  }

  // Ctrl-C while a step waits: the step says so, and both programs stop.
  ChildProcess silent({"/usr/bin/env", std::string("ZRL_DEMO_SIM=") + ZRL_FAKE_SIM_PATH,
                       ZRL_DEMO_PATH, "--no-window", "--verbose", "--timeout", "600", "--port", "0",
                       "--out", folder.path()});
  std::optional<std::string> line;
  while ((line = silent.readLine(std::chrono::seconds(90))) && *line != "sim: dump asked") {
  }
  ASSERT_TRUE(line) << silent.errorOutput();
  EXPECT_EQ(processesMentioning(folder.path() + "/d").size(), 2u);
  silent.signal(SIGINT);
  EXPECT_EQ(silent.wait(), 1);
  EXPECT_THAT(silent.unreadOutput(),
              HasSubstr("interrupted (signal 2) while waiting until the simulator's dump"));
  EXPECT_THAT(silent.unreadOutput(), HasSubstr("stopped everything it started"));
  EXPECT_TRUE(processesMentioning(folder.path() + "/d").empty());
}
