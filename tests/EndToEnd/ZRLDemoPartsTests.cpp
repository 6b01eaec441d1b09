// The demo's parts on their own: the lines it reads from its children, its
// report, the previews it pushes, its child processes (lines, input, exit,
// process groups, the launcher) and its API client against a real
// zrl-dashboard.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Tools/zrl-demo/ZRLDemoAPI.h"
#include "Tools/zrl-demo/ZRLDemoChild.h"
#include "Tools/zrl-demo/ZRLDemoLines.h"
#include "Tools/zrl-demo/ZRLDemoReport.h"
#include "Tools/zrl-demo/ZRLDemoRun.h"
#include "tests/EndToEnd/EndToEndSupport.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Stream = ZRLDemoChild::Stream;

TEST(ZRLDemoLines, ReadsTheDashboardsAddressAndTheSimulatorsLines) {
  ZRLDemoDashboardAddress address;
  EXPECT_FALSE(address.take("ca: /data/ca.pem"));
  EXPECT_FALSE(address.take("listening: https://127.0.0.1:notaport"));
  EXPECT_FALSE(address.take("listening: https://127.0.0.1:41234"));
  EXPECT_FALSE(address.take("open: https://127.0.0.1:41234/"));  // no token
  EXPECT_TRUE(address.take("open: https://127.0.0.1:41234/?token=abc"));
  EXPECT_EQ(address.authorityFile, "/data/ca.pem");
  EXPECT_EQ(address.origin, "https://127.0.0.1:41234");
  EXPECT_EQ(address.port, 41234);
  EXPECT_EQ(address.token, "abc");
  EXPECT_EQ(address.openLine, "open: https://127.0.0.1:41234/?token=abc");

  using Kind = ZRLDemoSimLine::Kind;
  const auto upload = ZRLDemoSimLine::parse("request: POST /v1/api/layout?appId=a%20b -> 200");
  EXPECT_EQ(upload.kind, Kind::request);
  EXPECT_EQ(upload.method, "POST");
  EXPECT_EQ(upload.target, "/v1/api/layout?appId=a%20b");
  EXPECT_EQ(upload.path(), "/v1/api/layout");
  EXPECT_EQ(upload.outcome, "200");
  const auto failed = ZRLDemoSimLine::parse("request: DELETE /v2/x/y?appId=a -> error -1004");
  EXPECT_EQ(failed.kind, Kind::request);
  EXPECT_EQ(failed.outcome, "error -1004");
  EXPECT_EQ(ZRLDemoSimLine::parse("stream: open /v1/api/sse-ui-config?appId=a").target,
            "/v1/api/sse-ui-config?appId=a");
  EXPECT_EQ(ZRLDemoSimLine::parse("stream: closed").kind, Kind::streamClosed);
  EXPECT_EQ(ZRLDemoSimLine::parse("stream: error -1005").outcome, "-1005");
  const auto built = ZRLDemoSimLine::parse(R"(builder: coach_mark {"ui":{"title":"a b"}})");
  EXPECT_EQ(built.kind, Kind::builder);
  EXPECT_EQ(built.displayType, "coach_mark");
  EXPECT_EQ(built.config["ui"]["title"], "a b");
  EXPECT_EQ(ZRLDemoSimLine::parse("builder: in_app null").config, nullptr);
  for (const char* other : {"builder: coach_mark {not json", "request: GET", "requests: x",
                            "zrl-sim: line 3: unknown command", ""}) {
    EXPECT_EQ(ZRLDemoSimLine::parse(other).kind, Kind::other) << other;
  }
}

TEST(ZRLDemoReport, CountsRequestsListsBuildersAndNamesFailedSteps) {
  ZRLDemoReport report;
  EXPECT_FALSE(report.succeeded());  // nothing done is no success
  report.take(ZRLDemoSimLine::parse("stream: open /v1/api/sse-ui-config?appId=a"));
  report.take(ZRLDemoSimLine::parse("request: POST /v1/api/layout?appId=a -> 200"));
  report.take(ZRLDemoSimLine::parse("request: POST /v1/api/layout?appId=a -> 200"));
  report.take(ZRLDemoSimLine::parse("builder: inline {}"));
  report.take(ZRLDemoSimLine::parse("something else"));
  report.addStep("first", true);
  EXPECT_TRUE(report.succeeded());
  report.addStep("second", false, "it did not happen");
  EXPECT_FALSE(report.succeeded());
  report.addNote("the port was taken");
  const std::string text = report.text();
  EXPECT_THAT(text, HasSubstr("POST /v1/api/layout?appId=a -> 200 (2 times)"));
  EXPECT_THAT(text, HasSubstr("GET /v1/api/sse-ui-config?appId=a -> 200"));
  EXPECT_THAT(text, HasSubstr("builders that ran: inline\n"));
  EXPECT_THAT(text, HasSubstr("steps: 1 of 2 succeeded"));
  EXPECT_THAT(text, HasSubstr("FAILED: second: it did not happen"));
  EXPECT_THAT(text, HasSubstr("note: the port was taken"));
  EXPECT_THAT(report.builders(), ElementsAre("inline"));
}

TEST(ZRLDemoRun, PreviewsReachEachBuilderAndAimAtAButton) {
  for (const std::string& type : ZRLDemoDisplayTypes()) {
    const auto preview = ZRLDemoRun::previewFor(type, "7");
    EXPECT_EQ(preview["ui"]["display_type"], type);
    EXPECT_EQ(preview["ui"]["view_id"], "7");
    EXPECT_TRUE(preview["ui"]["title"].is_string());
  }
  const auto layout = nlohmann::json::parse(R"([
    {"id": "0", "view": "UIView", "views": [
      {"id": "0/1", "view": "UILabel", "views": []},
      {"id": "0/2", "view": "UIButton", "views": []}]}])");
  EXPECT_EQ(ZRLDemoRun::targetViewId(layout), "0/2");
  EXPECT_EQ(ZRLDemoRun::targetViewId(nlohmann::json::parse(R"([{"id": 4, "view": "UIView"}])")),
            "4");
  EXPECT_EQ(ZRLDemoRun::targetViewId(nlohmann::json::parse("[[[]], 3, null]")), "");
  EXPECT_EQ(ZRLDemoAPI::encode("com.a b/c~"), "com.a%20b%2Fc~");
}

TEST(ZRLDemoChild, ReadsLinesWritesInputReportsStatusAndStopsItsGroup) {
  std::string error;
  auto child = ZRLDemoChild::spawn(
      "sh",
      {"/bin/sh", "-c",
       "echo out; echo err >&2; read line; echo \"got $line\"; printf tail; exit 3"},
      std::nullopt, &error);
  ASSERT_TRUE(child) << error;
  ZRLDemoWaiter waiter;
  waiter.add(child.get());
  const auto deadline = [] { return ZRLDemoWaiter::Clock::now() + kEndToEndPatience; };
  ASSERT_EQ(waiter.waitUntil([&] { return !child->lines(Stream::error).empty(); }, deadline()),
            ZRLDemoWaiter::Outcome::done);
  EXPECT_TRUE(child->writeLine("hello"));
  EXPECT_EQ(waiter.waitUntil([] { return false; }, deadline(), child.get()),
            ZRLDemoWaiter::Outcome::childEnded);
  EXPECT_THAT(child->lines(Stream::output), ElementsAre("out", "got hello", "tail"));
  EXPECT_THAT(child->lines(Stream::error), ElementsAre("err"));
  EXPECT_EQ(child->status(), 3);
  EXPECT_FALSE(child->writeLine("nobody reads this"));

  // A child that ignores its quit line and SIGTERM is killed, with what it
  // started in its group.
  auto stubborn =
      ZRLDemoChild::spawn("stubborn", {"/bin/sh", "-c", "trap '' TERM; sleep 600 & echo $!; wait"},
                          std::nullopt, &error);
  ASSERT_TRUE(stubborn) << error;
  ASSERT_GE(waitForLine(*stubborn, Stream::output, [](const auto&) { return true; }), 0);
  const pid_t sleeper = std::stoi(stubborn->lines(Stream::output).front());
  EXPECT_EQ(stubborn->stop(std::chrono::milliseconds(200), "quit"), 128 + SIGKILL);
  EXPECT_TRUE(waitUntilGone(sleeper));

  auto missing = ZRLDemoChild::spawn("missing", {"/nonexistent/program"}, std::nullopt, &error);
  EXPECT_FALSE(missing);
  EXPECT_THAT(error, HasSubstr("/nonexistent/program"));
}

TEST(ZRLDemoChild, TheLauncherRunsTheProgramOnlyForItsLivingParent) {
  std::string error;
  auto child = ZRLDemoChild::spawn("sh", {"/bin/sh", "-c", "echo $PPID"}, ZRL_DEMO_PATH, &error);
  ASSERT_TRUE(child) << error;
  ASSERT_TRUE(child->waitForExit(kEndToEndPatience));
  EXPECT_EQ(child->status(), 0);
  EXPECT_THAT(child->lines(Stream::output), ElementsAre(std::to_string(::getpid())));

  // Started for a parent that is not its parent (one that died meanwhile):
  // the program never runs.
  ChildProcess orphan({ZRL_DEMO_PATH, "--exec-child", "1", "/bin/sh", "-c", "echo ran"});
  EXPECT_EQ(orphan.wait(), 1);
  EXPECT_EQ(orphan.unreadOutput(), "");
}

TEST(ZRLDemoAPI, CallsTheDashboardWithItsTokenAndNamesFailures) {
  TemporaryFolder folder;
  Dashboard dashboard(folder.path());
  ASSERT_TRUE(dashboard.ready()) << dashboard.errors();
  ZRLDemoAPI api(dashboard.address().origin, dashboard.address().token,
                 dashboard.address().authorityFile);
  std::string error;
  const auto captures = api.getJSON("/api/captures?appId=demo", &error);
  ASSERT_TRUE(captures) << error;
  EXPECT_EQ(*captures, nlohmann::json::array());
  const auto pushed =
      api.postJSON("/api/previews?appId=demo", {{"ui", {{"display_type", "x"}}}}, &error);
  ASSERT_TRUE(pushed) << error;
  EXPECT_EQ((*pushed)["delivered"], 0);

  const auto missing = api.getJSON("/api/captures", &error);  // no appId
  EXPECT_FALSE(missing);
  EXPECT_THAT(error, HasSubstr("GET /api/captures -> 400"));
  ZRLDemoAPI wrongToken(dashboard.address().origin, "wrong", dashboard.address().authorityFile);
  EXPECT_FALSE(wrongToken.getJSON("/api/captures?appId=demo", &error));
  EXPECT_THAT(error, HasSubstr("-> 401"));
  // Verification stays on: another authority is not trusted.
  ZRLDemoAPI untrusted(dashboard.address().origin, dashboard.address().token, "/dev/null");
  EXPECT_FALSE(untrusted.getJSON("/api/captures?appId=demo", &error));
  EXPECT_THAT(error, HasSubstr("failed"));
}

TEST(ZRLDemoProgram, AnswersHelpRefusesWrongCommandLinesAndStopsWhatItStartedOnFailure) {
  ChildProcess help({ZRL_DEMO_PATH, "--help"});
  EXPECT_THAT(help.readLine(), testing::Optional(HasSubstr("usage: zrl-demo")));
  EXPECT_EQ(help.wait(), 0);
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--port", "70000"},
                                                {"--timeout", "0"},
                                                {"--bogus"},
                                                {"--screens", "One"},
                                                {"--scene"},
                                                {"--scene", "/nonexistent.json"}}) {
    std::vector<std::string> argv{ZRL_DEMO_PATH};
    argv.insert(argv.end(), wrong.begin(), wrong.end());
    ChildProcess child(argv);
    EXPECT_EQ(child.wait(), 2) << wrong[0];
    EXPECT_THAT(child.errorOutput(), HasSubstr("zrl-demo: ")) << wrong[0];
  }

  // A simulator that cannot start: the report names the step, the status
  // is 1, and the dashboard that was started is stopped.
  TemporaryFolder folder;
  ChildProcess demo({"/usr/bin/env", "ZRL_DEMO_SIM=/bin/false", ZRL_DEMO_PATH, "--once",
                     "--no-window", "--port", "0", "--out", folder.path()});
  EXPECT_EQ(demo.wait(std::chrono::seconds(90)), 1) << demo.errorOutput();
  const std::string output = demo.unreadOutput();
  EXPECT_THAT(output, HasSubstr("zrl-demo report"));
  EXPECT_THAT(output, HasSubstr("FAILED: start zrl-sim"));
  EXPECT_THAT(output, HasSubstr("zrl-demo: stopped everything it started"));
  EXPECT_TRUE(std::filesystem::exists(folder.path() + "/dashboard/dashboard.sqlite"));
  EXPECT_TRUE(processesMentioning(folder.path()).empty());
}
