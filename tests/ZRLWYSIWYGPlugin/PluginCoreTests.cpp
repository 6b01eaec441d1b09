#include <atomic>
#include <future>
#include <regex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSThread.h"
#include "RecordingController.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::MatchesRegex;

namespace {

class PluginCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    controller_ = std::make_shared<RecordingController>();
    controller_->setApplicationIdentifier("app-1");
    controller_->setDeviceID("ABC-123");
    controller_->setHardwareModel("x86_64");
    ZRLController::setSharedController(controller_);
    ZRLDashboard::setHost("dashboard.test:8443");
    previousLevel_ = LOG_LEVEL.exchange(3);
    previousSleep_ = NSThread::setSleepHandler([this](double seconds) {
      slept_.push_back(seconds);
      if (duringPause_) duringPause_();
    });
  }
  void TearDown() override {
    NSThread::setSleepHandler(previousSleep_);
    LOG_LEVEL = previousLevel_;
    ZRLController::setSharedController(nullptr);
  }

  // Sends one upload and returns the request that reached the host.
  RecordedRequest upload(std::optional<nlohmann::json> layout, std::optional<std::string> name,
                         std::optional<std::string> screenshot) {
    const size_t before = controller_->requests().size();
    auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
    plugin->sendToServerLayoutInfo(std::move(layout), std::move(name), std::move(screenshot));
    EXPECT_TRUE(controller_->waitForRequests(before + 1));
    controller_->waitForReplies();
    return controller_->requests().at(before);
  }

  // Runs a test-device operation and returns what its completion reported.
  bool testDevice(bool add) {
    std::promise<bool> result;
    auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
    auto completion = [&](bool accepted) { result.set_value(accepted); };
    add ? plugin->addAsTestDevice(completion) : plugin->removeTestDevice(completion);
    auto future = result.get_future();
    EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
    return future.get();
  }

  std::shared_ptr<RecordingController> controller_;
  NSLogCapture log_;
  std::vector<double> slept_;
  std::function<void()> duringPause_;
  uintptr_t previousLevel_ = 0;
  NSThread::SleepHandler previousSleep_;
};

TEST_F(PluginCoreTest, UploadBodyCarriesScreenLayoutAndDeviceFacts) {
  controller_->setDeviceFactsOverride(nlohmann::json{
      {"os", "iOS"}, {"width", 1}, {"dimensions", {{"width", 375}, {"height", 812}}}});
  const nlohmann::json layout = nlohmann::json::array({{{"id", "root"}, {"views", 1}}});
  const RecordedRequest named = upload(layout, "Checkout", "iVBORw0KGgo=\r\nAAAA");
  EXPECT_EQ(named.method, "POST");
  EXPECT_EQ(named.url, "https://dashboard.test:8443/v1/api/layout?appId=app-1");
  EXPECT_EQ(named.headerFields, std::nullopt);
  ASSERT_TRUE(named.body);
  EXPECT_EQ(*named.body,
            (nlohmann::json{{"screen",
                             {{"image", "iVBORw0KGgo=\r\nAAAA"},
                              {"orientation", "portrait"},
                              {"navigation", "Checkout"}}},
                            {"layout", layout},
                            {"device_info", {{"os", "iOS"}, {"width", 375}, {"height", 812}}}}));
  EXPECT_TRUE((*named.body)["device_info"]["width"].is_number_unsigned());

  // No screen name: no "navigation"; an empty name is kept. Fractions are
  // dropped, missing dimensions give 0, odd values count as missing.
  controller_->setDeviceFactsOverride(
      nlohmann::json{{"dimensions", {{"width", 414.9}, {"height", -3}}}});
  const RecordedRequest unnamed = upload(nlohmann::json::array(), std::nullopt, "x");
  EXPECT_EQ(unnamed.body->at("screen"),
            (nlohmann::json{{"image", "x"}, {"orientation", "portrait"}}));
  EXPECT_EQ(unnamed.body->at("device_info"), (nlohmann::json{{"width", 414}, {"height", 0}}));
  controller_->setDeviceFactsOverride(nlohmann::json{{"model", "m"}});
  const RecordedRequest empty = upload(nlohmann::json::array(), "", "x");
  EXPECT_EQ(empty.body->at("screen").at("navigation"), "");
  EXPECT_EQ(empty.body->at("device_info"),
            (nlohmann::json{{"model", "m"}, {"width", 0}, {"height", 0}}));
  controller_->setDeviceFactsOverride(nlohmann::json("not an object"));
  EXPECT_EQ(upload(nlohmann::json::array(), "", "x").body->at("device_info"),
            (nlohmann::json{{"width", 0}, {"height", 0}}));

  // Without a screenshot or a layout the upload still goes, without those keys.
  const RecordedRequest bare = upload(std::nullopt, "Home", std::nullopt);
  EXPECT_EQ(bare.body->at("screen"),
            (nlohmann::json{{"orientation", "portrait"}, {"navigation", "Home"}}));
  EXPECT_FALSE(bare.body->contains("layout"));
  EXPECT_TRUE(log_.lines().empty()) << "success is silent";
}

TEST_F(PluginCoreTest, IdentifiersInAddressesArePercentEncoded) {
  controller_->setApplicationIdentifier("my app/x?y=1&z#\xC3\xA9");
  EXPECT_EQ(upload(std::nullopt, std::nullopt, "x").url,
            "https://dashboard.test:8443/v1/api/layout?appId=my%20app%2Fx%3Fy%3D1%26z%23%C3%A9");
  controller_->setApplicationIdentifier(std::nullopt);
  EXPECT_EQ(upload(std::nullopt, std::nullopt, "x").url,
            "https://dashboard.test:8443/v1/api/layout?appId=(null)");
  constexpr size_t kHuge = size_t{1} << 20;
  controller_->setApplicationIdentifier(std::string(kHuge, '/'));
  EXPECT_EQ(upload(std::nullopt, std::nullopt, "x").url.size(),
            std::string("https://dashboard.test:8443/v1/api/layout?appId=").size() + 3 * kHuge);
  controller_->setApplicationIdentifier("");
  EXPECT_EQ(upload(std::nullopt, std::nullopt, "x").url,
            "https://dashboard.test:8443/v1/api/layout?appId=");
  controller_->setApplicationIdentifier("Az09-._~");
  controller_->setDeviceID("../../admin?x");
  EXPECT_TRUE(testDevice(false));
  EXPECT_EQ(controller_->requests().back().url,
            "/v2/frontendapi/ios/test-devices/..%2F..%2Fadmin%3Fx?appId=Az09-._~");
}

TEST_F(PluginCoreTest, UploadFailuresAreLoggedWhenErrorsAreOn) {
  controller_->setReply({.statusCode = 201, .error = nullptr});
  upload(std::nullopt, "s", "x");
  ASSERT_EQ(log_.lines().size(), 1U);
  EXPECT_THAT(
      log_.lines()[0],
      MatchesRegex(
          R"(<ZRL ERROR> Error while sending wysiwyg data: \(null\) )"
          R"(-\[ZRLWYSIWYGPlugin sendToServerLayoutInfo:withScreenName:andInfo:\]_block_invoke_2:[0-9]+)"));

  log_.clear();
  controller_->setReply(
      {.statusCode = 0,
       .error = NSError::errorWithDomain("NSURLErrorDomain", -1001, "The request timed out.")});
  upload(std::nullopt, "s", "x");
  EXPECT_THAT(log_.lines(),
              ElementsAre(::testing::HasSubstr(
                  "Error while sending wysiwyg data: Error Domain=NSURLErrorDomain Code=-1001 "
                  "\"The request timed out.\" -[ZRLWYSIWYGPlugin")));

  log_.clear();
  LOG_LEVEL = 4;
  upload(std::nullopt, "s", "x");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(PluginCoreTest, TestDeviceRequestsCarryTheKeyAndReportTheOutcome) {
  EXPECT_TRUE(testDevice(true));
  RecordedRequest add = controller_->requests().back();
  EXPECT_EQ(add.method, "POST");
  EXPECT_EQ(add.url, "/v2/frontendapi/ios/test-devices?appId=app-1");
  EXPECT_EQ(add.body, (nlohmann::json{{"id", "ABC-123"}, {"model", "x86_64"}}));
  EXPECT_EQ(add.headerFields,
            (ZRLHeaderFields{{"zrl_ios_key", "7C4D19E2A05B3F86D1E7420C9B5A6F13"}}));

  EXPECT_TRUE(testDevice(false));
  RecordedRequest remove = controller_->requests().back();
  EXPECT_EQ(remove.method, "DELETE");
  EXPECT_EQ(remove.url, "/v2/frontendapi/ios/test-devices/ABC-123?appId=app-1");
  EXPECT_EQ(remove.body, std::nullopt);
  EXPECT_EQ(remove.headerFields, add.headerFields);
  EXPECT_THAT(
      log_.lines(),
      ElementsAre(
          MatchesRegex(
              R"(<ZRL INFO> Added as test device -\[ZRLWYSIWYGPlugin addAsTestDevice\]_block_invoke_2:[0-9]+)"),
          MatchesRegex(
              R"(<ZRL INFO> Removed test device -\[ZRLWYSIWYGPlugin removeTestDevice\]_block_invoke:[0-9]+)")));

  // Success lines are written at every level; failures only up to 3.
  log_.clear();
  LOG_LEVEL = 100;
  EXPECT_TRUE(testDevice(true));
  EXPECT_EQ(log_.count("Added as test device"), 1U);
  controller_->setReply({.statusCode = 201, .error = nullptr});
  EXPECT_FALSE(testDevice(true));
  EXPECT_FALSE(testDevice(false));
  EXPECT_EQ(log_.lines().size(), 1U);
  LOG_LEVEL = 3;
  EXPECT_FALSE(testDevice(true));
  EXPECT_FALSE(testDevice(false));
  EXPECT_THAT(
      log_.lines(),
      ElementsAre(
          ::testing::_,
          MatchesRegex(
              R"(<ZRL ERROR> Error adding test device: \(null\) -\[ZRLWYSIWYGPlugin addAsTestDevice\]_block_invoke_2:[0-9]+)"),
          MatchesRegex(
              R"(<ZRL ERROR> Error removing test device: \(null\) -\[ZRLWYSIWYGPlugin removeTestDevice\]_block_invoke:[0-9]+)")));

  // A dashboard that no longer knows the device answers a removal with 404:
  // the device is not a test device there, as asked. An add stays a failure.
  log_.clear();
  controller_->setReply({.statusCode = 404, .error = nullptr});
  EXPECT_TRUE(testDevice(false));
  EXPECT_FALSE(testDevice(true));
  EXPECT_THAT(log_.lines(), ElementsAre(::testing::HasSubstr("<ZRL INFO> Removed test device"),
                                        ::testing::HasSubstr("Error adding test device")));
}

TEST_F(PluginCoreTest, MissingDeviceFactsStopTheRequestWithAnError) {
  controller_->setDeviceID(std::nullopt);
  EXPECT_FALSE(testDevice(true));
  EXPECT_FALSE(testDevice(false));
  controller_->setDeviceID("");
  EXPECT_FALSE(testDevice(false));
  controller_->setDeviceID("ABC-123");
  controller_->setHardwareModel(std::nullopt);
  EXPECT_FALSE(testDevice(true));
  EXPECT_TRUE(testDevice(false)) << "removing needs no hardware model";
  EXPECT_EQ(controller_->requests().size(), 1U);
  EXPECT_THAT(
      log_.lines(),
      ElementsAre(
          ::testing::HasSubstr("Error adding test device: Error Domain=ZRLWYSIWYGPluginErrorDomain "
                               "Code=1 \"The device identifier is missing.\""),
          ::testing::HasSubstr(
              "Error removing test device: Error Domain=ZRLWYSIWYGPluginErrorDomain "
              "Code=1 \"The device identifier is missing.\""),
          ::testing::HasSubstr(
              "Error removing test device: Error Domain=ZRLWYSIWYGPluginErrorDomain Code=1"),
          ::testing::HasSubstr("Error adding test device: Error Domain=ZRLWYSIWYGPluginErrorDomain "
                               "Code=2 \"The hardware model is missing.\""),
          ::testing::HasSubstr("Removed test device")));
}

TEST_F(PluginCoreTest, InitialisationMakesTheSharedInstanceAndRoutesScreenChanges) {
  auto first = ZRLWYSIWYGPlugin::sharedInstance();
  EXPECT_EQ(first, ZRLWYSIWYGPlugin::sharedInstance());

  LOG_LEVEL = 100;
  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  plugin->initialize(nlohmann::json("not a dictionary"));
  EXPECT_EQ(ZRLWYSIWYGPlugin::sharedInstance(), plugin);
  EXPECT_NE(ZRLWYSIWYGPlugin::sharedInstance(), first);
  EXPECT_THAT(
      log_.lines(),
      ElementsAre(MatchesRegex(
          R"(<ZRL INFO> WYSIWYG Plugin \(113\) - Initialized -\[ZRLWYSIWYGPlugin initialize:\]:[0-9]+)")));

  EXPECT_EQ(plugin->currActivity(), std::nullopt);
  controller_->postEvent(std::make_shared<ZRLEvent>(1, "Home"));
  controller_->postEvent(std::make_shared<ZRLEvent>(1, "Cart"));
  controller_->postEvent(std::make_shared<ZRLEvent>(0, "BACKGROUND"));
  controller_->postEvent(std::make_shared<ZRLEvent>(7, "Other"));
  controller_->waitUntilEventsDelivered();
  EXPECT_EQ(plugin->currActivity(), "Cart");
  controller_->postEvent(std::make_shared<ZRLEvent>(1, std::nullopt));
  controller_->waitUntilEventsDelivered();
  EXPECT_EQ(plugin->currActivity(), std::nullopt);
}

TEST_F(PluginCoreTest, SelectScreenPausesThenUploadsTheScreenOfTheLatestChange) {
  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  plugin->initialize(nlohmann::json::object());

  // Before any screen change: no "navigation".
  plugin->selectScreenTapped();
  ASSERT_TRUE(controller_->waitForRequests(1));
  EXPECT_FALSE(controller_->requests()[0].body->at("screen").contains("navigation"));
  EXPECT_EQ(slept_, std::vector<double>{1.0});

  // A change that arrives during the pause is the one that is uploaded.
  controller_->postEvent(std::make_shared<ZRLEvent>(1, "Before"));
  controller_->waitUntilEventsDelivered();
  duringPause_ = [&] {
    controller_->postEvent(std::make_shared<ZRLEvent>(1, "During"));
    controller_->waitUntilEventsDelivered();
  };
  plugin->selectScreenTapped();
  ASSERT_TRUE(controller_->waitForRequests(2));
  EXPECT_EQ(controller_->requests()[1].body->at("screen").at("navigation"), "During");

  // A plug-in that was never initialised still pauses, captures and uploads.
  duringPause_ = nullptr;
  std::make_shared<ZRLWYSIWYGPlugin>()->selectScreenTapped();
  ASSERT_TRUE(controller_->waitForRequests(3));
  EXPECT_EQ(slept_.size(), 3U);
  controller_->waitForReplies();
}

TEST_F(PluginCoreTest, ScreenChangesFromAHostThreadDuringSelectScreenAreSafe) {
  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  plugin->initialize(nlohmann::json::object());
  std::atomic<bool> stop{false};
  std::thread host([&] {
    for (int i = 0; !stop; ++i) {
      plugin->onEvent(std::make_shared<ZRLEvent>(1, "Screen" + std::to_string(i % 7)));
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!plugin->currActivity() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  if (!plugin->currActivity()) {
    stop = true;
    host.join();
    FAIL() << "no screen name from the host thread within 30 s";
  }
  constexpr size_t kTaps = 50;
  for (size_t i = 0; i < kTaps; ++i) {
    plugin->selectScreenTapped();
    plugin->initialize(nlohmann::json::object());  // replaces the shared reference meanwhile
  }
  stop = true;
  host.join();
  ASSERT_TRUE(controller_->waitForRequests(kTaps));
  controller_->waitForReplies();
  for (const auto& request : controller_->requests()) {
    EXPECT_THAT(request.body->at("screen").at("navigation").get<std::string>(),
                MatchesRegex("Screen[0-6]"));
  }
}

}  // namespace
