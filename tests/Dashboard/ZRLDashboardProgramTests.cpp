// zrl-dashboard as a program: its printed lines, its exit statuses, and its
// event streams read by the plug-in's own client over the project's network
// layer (the end-to-end tests drive it with the plug-in in zrl-sim, and
// kill it and start it again).
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "LDEventSource/LDEventSource.h"
#include "tests/Dashboard/DashboardTestSupport.h"

using json = nlohmann::json;

namespace {

// Pushes {"n": n} and answers the count of streams it was handed to.
int push(const DashboardProcess& dashboard, const std::string& appId, int n) {
  const auto answer =
      dashboardAPI(dashboard, "POST", "/api/previews?appId=" + appId, json{{"n", n}}.dump());
  if (answer.status != 200) return -1;
  return json::parse(answer.body)["delivered"].get<int>();
}

// The "n" of every message that a client received, in order, and whether it
// has been told that its stream is open.
class Received {
 public:
  static std::shared_ptr<Received> listen(LDEventSource& source) {
    auto received = std::make_shared<Received>();
    source.onMessage([received](const LDEventPtr& event) {
      std::lock_guard lock(received->mutex_);
      const auto data = json::parse(event->data().value_or(""), nullptr, false);
      received->numbers_.push_back(data.is_object() ? data.value("n", -1) : -1);
      received->changed_.notify_all();
    });
    source.onOpen([received](const LDEventPtr&) {
      std::lock_guard lock(received->mutex_);
      ++received->opens_;
      received->changed_.notify_all();
    });
    return received;
  }
  bool waitForOpens(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return opens_ >= count; });
  }
  bool waitForCount(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return numbers_.size() >= count; });
  }
  // Sorted: the client calls its handlers on a concurrent queue, so calls
  // for successive events may finish in any order.
  std::vector<int> numbers() {
    std::lock_guard lock(mutex_);
    std::vector<int> sorted = numbers_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> numbers_;
  int opens_ = 0;
};

std::shared_ptr<LDEventSource> streamClient(const DashboardProcess& dashboard,
                                            const std::string& appId) {
  NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(dashboard.authority());
  auto source = LDEventSource::eventSourceWithURL(
      NSURL::URLWithString(dashboard.origin() + "/v1/api/sse-ui-config?appId=" + appId),
      std::nullopt);
  source->setRetryInterval(0.05);
  source->setRandomUniform([](uint32_t bound) { return bound / 2; });
  return source;
}

TEST(ZRLDashboardProgram, AnswersHelpAndRefusesWrongCommandLines) {
  ChildProcess help({ZRL_DASHBOARD_PATH, "--help"});
  EXPECT_EQ(help.readLine(), "usage: zrl-dashboard [--port N] [--data DIR]");
  EXPECT_EQ(help.wait(), 0);
  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"--port", "70000"}, {"--port"}, {"--bogus"}, {"--port", "8x"}}) {
    std::vector<std::string> argv{ZRL_DASHBOARD_PATH};
    argv.insert(argv.end(), wrong.begin(), wrong.end());
    ChildProcess child(argv);
    EXPECT_EQ(child.wait(), 2) << wrong[0];
    EXPECT_NE(child.errorOutput().find("zrl-dashboard: "), std::string::npos);
  }
  TemporaryDirectory folder;
  const std::string file = folder.path() + "/file";
  { std::ofstream(file) << "x"; }
  ChildProcess blocked({ZRL_DASHBOARD_PATH, "--port", "0", "--data", file + "/data"});
  EXPECT_EQ(blocked.wait(), 1);
  EXPECT_NE(blocked.errorOutput().find(file), std::string::npos) << blocked.errorOutput();
}

TEST(ZRLDashboardProgram, StreamsPreviewsToThePluginsClientAndEndsCleanlyOnSignals) {
  for (const int signalNumber : {SIGTERM, SIGINT}) {
    TemporaryDirectory folder;
    DashboardProcess dashboard(ZRL_DASHBOARD_PATH, folder.path());
    ASSERT_TRUE(dashboard.ready()) << dashboard.errors();
    EXPECT_EQ(dashboard.lines()[0], "ca: " + folder.path() + "/ca.pem");
    EXPECT_EQ(dashboard.lines()[1], "listening: " + dashboard.origin());

    // A client gets its app's previews, not another app's. (The end-to-end
    // restart checks the replay to a client that comes back with the last
    // id it saw, and the server's tests the replay on the wire.)
    auto client = streamClient(dashboard, "app");
    auto received = Received::listen(*client);
    client->open();
    ASSERT_TRUE(received->waitForOpens(1));
    EXPECT_EQ(push(dashboard, "app", 1), 1);
    EXPECT_EQ(push(dashboard, "other", 99), 0);
    EXPECT_EQ(push(dashboard, "app", 2), 1);
    ASSERT_TRUE(received->waitForCount(2));
    EXPECT_EQ(received->numbers(), (std::vector<int>{1, 2}));
    client->close();
    dashboard.process().signal(signalNumber);
    EXPECT_EQ(dashboard.process().wait(), 0) << dashboard.errors();
  }
}

}  // namespace
