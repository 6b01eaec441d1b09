// zrl-dashboard as a program: its printed lines, its exit statuses, its
// event streams read by the plug-in's own client over the project's network
// layer, and what survives SIGKILL.
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "LDEventSource/LDEventSource.h"
#include "ZRLRTAPlugin/ZRLCoachMarkHelper.h"
#include "ZRLWYSIWYGPlugin/ZRLEventSource.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#include "ZorlanSDK/ZorlanSDK.h"
#include "tests/Dashboard/DashboardTestSupport.h"

using json = nlohmann::json;

namespace {

HTTPAnswer api(const DashboardProcess& dashboard, const std::string& method,
               const std::string& target, const std::optional<std::string>& body = std::nullopt) {
  return dashboardAPI(dashboard, method, target, body);
}

// Pushes {"n": n} and answers the count of streams it was handed to.
int push(const DashboardProcess& dashboard, const std::string& appId, int n) {
  const auto answer = api(dashboard, "POST", "/api/previews?appId=" + appId, json{{"n", n}}.dump());
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
    ASSERT_TRUE(dashboard.ready()) << dashboard.process().errorOutput();
    EXPECT_EQ(dashboard.lines()[0], "ca: " + folder.path() + "/ca.pem");
    EXPECT_EQ(dashboard.lines()[1], "listening: " + dashboard.origin());
    EXPECT_TRUE(std::filesystem::exists(dashboard.authority()));

    auto first = streamClient(dashboard, "app");
    auto second = streamClient(dashboard, "app");
    auto firstReceived = Received::listen(*first);
    auto secondReceived = Received::listen(*second);
    first->open();
    second->open();
    ASSERT_TRUE(firstReceived->waitForOpens(1));
    ASSERT_TRUE(secondReceived->waitForOpens(1));
    EXPECT_EQ(push(dashboard, "app", 1), 2);
    EXPECT_EQ(push(dashboard, "other", 99), 0);
    EXPECT_EQ(push(dashboard, "app", 2), 2);
    ASSERT_TRUE(firstReceived->waitForCount(2));
    ASSERT_TRUE(secondReceived->waitForCount(2));
    EXPECT_EQ(firstReceived->numbers(), (std::vector<int>{1, 2}));
    EXPECT_EQ(secondReceived->numbers(), (std::vector<int>{1, 2}));

    // A client that comes with the id of the first preview (id 1) gets the
    // second (id 3) by replay, then the live third, each once; one that has
    // seen the second gets only the third.
    auto late = streamClient(dashboard, "app");
    late->setLastEventID(signalNumber == SIGTERM ? "1" : "3");
    auto lateReceived = Received::listen(*late);
    late->open();
    ASSERT_TRUE(lateReceived->waitForOpens(1));
    EXPECT_EQ(push(dashboard, "app", 3), 3);
    ASSERT_TRUE(lateReceived->waitForCount(signalNumber == SIGTERM ? 2 : 1));
    const std::vector<int> expected =
        signalNumber == SIGTERM ? std::vector<int>{2, 3} : std::vector<int>{3};
    EXPECT_EQ(lateReceived->numbers(), expected);

    for (auto* source : {first.get(), second.get(), late.get()})
      source->close();
    dashboard.process().signal(signalNumber);
    EXPECT_EQ(dashboard.process().wait(), 0) << dashboard.process().errorOutput();
  }
}

TEST(ZRLDashboardProgram, LosesNothingAnsweredWhenKilledAndRestarted) {
  TemporaryDirectory folder;
  auto dashboard = std::make_unique<DashboardProcess>(ZRL_DASHBOARD_PATH, folder.path());
  ASSERT_TRUE(dashboard->ready()) << dashboard->process().errorOutput();
  const std::string port = dashboard->port();
  const std::string upload =
      std::string(R"({"screen":{"image":")") + kTestPNGBase64 +
      R"(","orientation":"portrait"},"layout":[{"id":"v"}],"device_info":{"width":4}})";
  ASSERT_EQ(httpsRequest(dashboard->origin() + "/v1/api/layout?appId=app", dashboard->authority(),
                         "POST", {}, upload)
                .status,
            200);
  ASSERT_EQ(httpsRequest(dashboard->origin() + "/v2/frontendapi/ios/test-devices?appId=app",
                         dashboard->authority(), "POST",
                         {"zrl_ios_key: 7C4D19E2A05B3F86D1E7420C9B5A6F13"},
                         R"({"id":"D1","model":"iPhone15,2"})")
                .status,
            200);

  auto client = streamClient(*dashboard, "app");
  auto received = Received::listen(*client);
  client->open();
  ASSERT_TRUE(received->waitForOpens(1));
  for (int n = 1; n <= 3; ++n)
    ASSERT_EQ(push(*dashboard, "app", n), 1);
  ASSERT_TRUE(received->waitForCount(3));

  dashboard->process().signal(SIGKILL);
  EXPECT_EQ(dashboard->process().wait(), 128 + SIGKILL);
  dashboard = std::make_unique<DashboardProcess>(ZRL_DASHBOARD_PATH, folder.path(), port);
  ASSERT_TRUE(dashboard->ready()) << dashboard->process().errorOutput();

  // Pushed while the client may still be away: it gets it by replay when it
  // comes back with its last id; then a live one.
  ASSERT_GE(push(*dashboard, "app", 4), 0);
  ASSERT_TRUE(received->waitForOpens(2));
  ASSERT_TRUE(received->waitForCount(4));
  ASSERT_EQ(push(*dashboard, "app", 5), 1);
  ASSERT_TRUE(received->waitForCount(5));
  EXPECT_EQ(received->numbers(), (std::vector<int>{1, 2, 3, 4, 5}));
  client->close();

  const auto captures = json::parse(api(*dashboard, "GET", "/api/captures?appId=app").body);
  ASSERT_EQ(captures.size(), 1u);
  const auto png =
      api(*dashboard, "GET",
          "/api/captures/" + std::to_string(captures[0]["id"].get<int>()) + "/screenshot.png");
  EXPECT_EQ(png.body.substr(0, 4), "\x89PNG");
  const auto devices = json::parse(api(*dashboard, "GET", "/api/test-devices?appId=app").body);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0]["model"], "iPhone15,2");
}

// The plug-in itself, through the host's HTTP operations and its preview
// channel, against the real dashboard.
TEST(ZRLDashboardProgram, TakesThePluginsRequestsAndFeedsItsPreviewChannel) {
  TemporaryDirectory folder;
  DashboardProcess dashboard(ZRL_DASHBOARD_PATH, folder.path());
  ASSERT_TRUE(dashboard.ready()) << dashboard.process().errorOutput();
  auto controller = std::make_shared<ZRLController>();
  controller->setApplicationIdentifier("app 1");
  controller->setDeviceID("ABC-123");
  controller->setHardwareModel("iPhone15,2");
  controller->setServerURL(dashboard.origin());
  controller->setCertificateAuthorityFile(dashboard.authority());
  controller->setDeviceFacts({{"os", "iOS"}});
  controller->setScreenSize(4, 2);
  ZRLController::setSharedController(controller);
  ZRLDashboard::setHost("127.0.0.1:" + dashboard.port());
  NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(dashboard.authority());
  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  const auto accepted = [](auto call) {
    auto result = std::make_shared<std::promise<bool>>();
    auto future = result->get_future();
    call([result](bool ok) { result->set_value(ok); });
    return future.wait_for(kPatience) == std::future_status::ready && future.get();
  };

  EXPECT_TRUE(accepted([&](auto done) { plugin->addAsTestDevice(done); }));
  EXPECT_EQ(json::parse(api(dashboard, "GET", "/api/test-devices?appId=app%201").body)[0]["id"],
            "ABC-123");

  std::string screenshot = json::parse(std::string("\"") + kTestPNGBase64 + "\"");
  const json layout =
      json::array({{{"id", "ZRL:A:0"},
                    {"naf", false},
                    {"view", "A"},
                    {"views", json::array()},
                    {"bounds", {{"top", 0}, {"left", 0}, {"right", 4}, {"bottom", 2}}}}});
  plugin->sendToServerLayoutInfo(layout, "Home", screenshot);
  json captures;
  EXPECT_TRUE(eventually([&] {
    captures = json::parse(api(dashboard, "GET", "/api/captures?appId=app%201").body);
    return !captures.empty();
  }));
  ASSERT_EQ(captures.size(), 1u);
  const auto capture = json::parse(
      api(dashboard, "GET", "/api/captures/" + std::to_string(captures[0]["id"].get<int>())).body);
  EXPECT_EQ(capture["screen"], "Home");
  EXPECT_EQ(capture["layout"], layout);
  EXPECT_EQ(capture["image"], screenshot);
  EXPECT_EQ(capture["device_info"]["os"], "iOS");
  EXPECT_EQ(capture["device_info"]["width"], 4);

  // The channel's stream is open once a push reaches it.
  auto channel = std::make_shared<ZRLEventSource>();
  channel->connect();
  ZRLCoachMarkHelper::sharedHelper()->resetConfigurations();
  const json coachMark = {{"ui", {{"display_type", "coach_mark"}, {"view_id", "ZRL:A:0"}}}};
  ASSERT_TRUE(eventually([&] {
    const auto answer = api(dashboard, "POST", "/api/previews?appId=app%201", coachMark.dump());
    return answer.status == 200 && json::parse(answer.body)["delivered"] == 1;
  }));
  ASSERT_TRUE(ZRLCoachMarkHelper::sharedHelper()->waitForConfigurations(1, kPatience));
  EXPECT_EQ(ZRLCoachMarkHelper::sharedHelper()->configurations().back(), coachMark);
  // Closing is asynchronous: wait until the dashboard has seen the stream
  // go, so that the client's connection is gone before the process ends.
  channel.reset();
  EXPECT_TRUE(eventually([&] {
    const auto answer = api(dashboard, "POST", "/api/previews?appId=app%201", "{}");
    return answer.status == 200 && json::parse(answer.body)["delivered"] == 0;
  }));

  EXPECT_TRUE(accepted([&](auto done) { plugin->removeTestDevice(done); }));
  EXPECT_EQ(api(dashboard, "GET", "/api/test-devices?appId=app%201").body, "[]");
  ZRLController::setSharedController(nullptr);
}

}  // namespace
