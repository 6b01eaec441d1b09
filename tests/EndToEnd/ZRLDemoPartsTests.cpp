// The demo's parts on their own: its child processes (lines, input, exit,
// process groups, the launcher), its API client against a real
// zrl-dashboard, and its command line.
#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "Tools/zrl-demo/ZRLDemoAPI.h"
#include "Tools/zrl-demo/ZRLDemoChild.h"
#include "tests/Tools/ToolTestSupport.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Stream = ZRLDemoChild::Stream;

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
  const auto deadline = [] { return ZRLDemoWaiter::Clock::now() + kToolPatience; };
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
  ZRLDemoWaiter started;
  started.add(stubborn.get());
  ASSERT_EQ(started.waitUntil([&] { return !stubborn->lines(Stream::output).empty(); }, deadline()),
            ZRLDemoWaiter::Outcome::done);
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
  ASSERT_TRUE(child->waitForExit(kToolPatience));
  EXPECT_EQ(child->status(), 0);
  EXPECT_THAT(child->lines(Stream::output), ElementsAre(std::to_string(::getpid())));

  // Started for a parent that is not its parent (one that died meanwhile):
  // the program never runs.
  ChildProcess orphan({ZRL_DEMO_PATH, "--exec-child", "1", "/bin/sh", "-c", "echo ran"});
  EXPECT_EQ(orphan.wait(), 1);
  EXPECT_EQ(orphan.unreadOutput(), "");
}

// The fixture's own server is one that takes a request and never answers.
using ZRLDemoAPITest = LocalServerFixture;

TEST_F(ZRLDemoAPITest, CallsTheDashboardWithItsTokenAndNamesFailures) {
  TemporaryDirectory folder;
  DashboardProcess dashboard(ZRL_DASHBOARD_PATH, folder.path());
  ASSERT_TRUE(dashboard.ready()) << dashboard.errors();
  // (The end-to-end tests make the calls that succeed.)
  std::string error;
  ZRLDemoAPI wrongToken(dashboard.origin(), "wrong", dashboard.authority());
  EXPECT_FALSE(wrongToken.getJSON("/api/captures?appId=demo", &error));
  EXPECT_THAT(error, HasSubstr("GET /api/captures?appId=demo -> 401"));
  // Verification stays on: another authority is not trusted.
  ZRLDemoAPI untrusted(dashboard.origin(), dashboard.token(), "/dev/null");
  EXPECT_FALSE(untrusted.getJSON("/api/captures?appId=demo", &error));
  EXPECT_THAT(error, HasSubstr("GET /api/captures?appId=demo -> failed: "));

  // A server that takes the request and never answers: the call fails once
  // its time-out has passed.
  server.route("GET", "/api/captures",
               [this](const ZRLLocalRequest&, ZRLLocalResponder& r) { hand(r.raw()); });
  ZRLDemoAPI slow("http://127.0.0.1:" + std::to_string(server.port()), "t", "/dev/null",
                  std::chrono::seconds(1));
  EXPECT_FALSE(slow.getJSON("/api/captures?appId=demo", &error));
  EXPECT_THAT(error, HasSubstr("GET /api/captures?appId=demo -> failed: "));
}

TEST(ZRLDemoProgram, AnswersHelpAndRefusesWrongCommandLines) {
  ChildProcess help({ZRL_DEMO_PATH, "--help"});
  EXPECT_THAT(help.readLine(), testing::Optional(HasSubstr("usage: zrl-demo")));
  EXPECT_EQ(help.wait(), 0);
  expectRefused({ZRL_DEMO_PATH}, {{{"--port", "70000"}, "--port"},
                                  {{"--timeout", "0"}, "--timeout"},
                                  {{"--bogus"}, "--bogus"},
                                  {{"--screens", "One"}, "--screens"},
                                  {{"--scene"}, "--scene"},
                                  {{"--scene", "/nonexistent.json"}, "/nonexistent.json"}});
}
