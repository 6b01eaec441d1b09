// The plug-in object on the recording host: the upload's body and address,
// the test-device requests and their log lines, the routing of screen
// changes, "Select Screen", and the preview handler's choice of builder.

#include <future>
#include <thread>

#include <gmock/gmock.h>

#include "tests/ZRLWYSIWYGPlugin/PluginTestSupport.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using json = nlohmann::json;

namespace {

constexpr const char* kLayoutURL = "https://dashboard.test:8443/v1/api/layout?appId=";

class PluginCoreTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ZRLDashboard::setHost("dashboard.test:8443");
  }

  // Sends one upload and returns the request that reached the host.
  RecordedRequest upload(std::optional<json> layout, std::optional<std::string> name,
                         std::optional<std::string> screenshot = "x") {
    const size_t before = controller_->requests().size();
    std::make_shared<ZRLWYSIWYGPlugin>()->sendToServerLayoutInfo(std::move(layout), std::move(name),
                                                                 std::move(screenshot));
    EXPECT_TRUE(controller_->waitForRequests(before + 1));
    controller_->waitForReplies();
    return controller_->requests().at(before);
  }

  // Hands one message to the preview handler.
  static void handlePreview(std::optional<std::string> data) {
    auto event = std::make_shared<LDEvent>();
    event->setReadyState(LDEventReadyStateOpen);
    event->setData(std::move(data));
    ZRLEventSource::handleMessage(event);
  }
};

TEST_F(PluginCoreTest, UploadBodyCarriesScreenLayoutAndDeviceFactsAndFailuresAreLogged) {
  controller_->setDeviceFactsOverride(
      json{{"os", "iOS"}, {"width", 1}, {"dimensions", {{"width", 375}, {"height", 812}}}});
  const json layout = json::array({{{"id", "root"}, {"views", 1}}});
  const RecordedRequest named = upload(layout, "Checkout", "iVBORw0KGgo=\r\nAAAA");
  EXPECT_EQ(named.method + " " + named.url, std::string("POST ") + kLayoutURL + "app-1");
  EXPECT_EQ(named.headerFields, std::nullopt);
  ASSERT_TRUE(named.body);
  EXPECT_EQ(*named.body, json::parse(R"({"layout": [{"id": "root", "views": 1}], "screen":
      {"image": "iVBORw0KGgo=\r\nAAAA", "orientation": "portrait", "navigation": "Checkout"},
      "device_info": {"os": "iOS", "width": 375, "height": 812}})"));
  EXPECT_TRUE((*named.body)["device_info"]["width"].is_number_unsigned());

  // No screen name: no "navigation"; an empty name is kept.
  EXPECT_EQ(upload(json::array(), std::nullopt).body->at("screen"),
            (json{{"image", "x"}, {"orientation", "portrait"}}));
  EXPECT_EQ(upload(json::array(), "").body->at("screen").at("navigation"), "");
  // Fractions are dropped, missing dimensions give 0, odd values count as
  // missing.
  for (const auto& [facts, sent] : std::vector<std::pair<json, json>>{
           {{{"dimensions", {{"width", 414.9}, {"height", -3}}}}, {{"width", 414}, {"height", 0}}},
           {{{"model", "m"}}, {{"model", "m"}, {"width", 0}, {"height", 0}}},
           {"not an object", {{"width", 0}, {"height", 0}}}}) {
    controller_->setDeviceFactsOverride(facts);
    EXPECT_EQ(upload(json::array(), "").body->at("device_info"), sent) << facts;
  }

  // Without a screenshot or a layout the upload still goes, without those keys.
  const RecordedRequest bare = upload(std::nullopt, "Home", std::nullopt);
  EXPECT_EQ(bare.body->at("screen"), (json{{"orientation", "portrait"}, {"navigation", "Home"}}));
  EXPECT_FALSE(bare.body->contains("layout"));
  EXPECT_TRUE(log_.lines().empty()) << "success is silent";

  // Failures are logged when errors are on.
  controller_->setReply({.statusCode = 201, .error = nullptr});
  upload(std::nullopt, "s");
  controller_->setReply(
      {.statusCode = 0,
       .error = NSError::errorWithDomain("NSURLErrorDomain", -1001, "The request timed out.")});
  upload(std::nullopt, "s");
  LOG_LEVEL = 4;
  upload(std::nullopt, "s");
  const std::string where =
      R"( -\[ZRLWYSIWYGPlugin sendToServerLayoutInfo:withScreenName:andInfo:\]_block_invoke_2:[0-9]+)";
  EXPECT_THAT(
      log_.lines(),
      ElementsAre(MatchesRegex(R"(<ZRL ERROR> Error while sending wysiwyg data: \(null\))" + where),
                  MatchesRegex(R"(<ZRL ERROR> Error while sending wysiwyg data: Error )"
                               R"(Domain=NSURLErrorDomain Code=-1001 "The request timed out.")" +
                               where)));
}

TEST_F(PluginCoreTest, IdentifiersInAddressesArePercentEncoded) {
  std::string slashes;
  for (size_t i = 0; i < (size_t{1} << 20); ++i)
    slashes += "%2F";
  const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
      {"my app/x?y=1&z#\xC3\xA9", "my%20app%2Fx%3Fy%3D1%26z%23%C3%A9"},
      {std::nullopt, "(null)"},
      {"", ""},
      {std::string(size_t{1} << 20, '/'), slashes}};
  for (const auto& [identifier, encoded] : cases) {
    controller_->setApplicationIdentifier(identifier);
    EXPECT_EQ(upload(std::nullopt, std::nullopt).url, kLayoutURL + encoded);
  }
  controller_->setApplicationIdentifier("Az09-._~");
  controller_->setDeviceID("../../admin?x");
  EXPECT_TRUE(testDevice(false));
  EXPECT_EQ(controller_->requests().back().url,
            "/v2/frontendapi/ios/test-devices/..%2F..%2Fadmin%3Fx?appId=Az09-._~");
}

TEST_F(PluginCoreTest, TestDeviceRequestsCarryTheKeyAndReportTheOutcome) {
  EXPECT_TRUE(testDevice(true));
  const RecordedRequest add = controller_->requests().back();
  EXPECT_EQ(add.method + " " + add.url, "POST /v2/frontendapi/ios/test-devices?appId=app-1");
  EXPECT_EQ(add.body, (json{{"id", "ABC-123"}, {"model", "x86_64"}}));
  EXPECT_EQ(add.headerFields,
            (ZRLHeaderFields{{"zrl_ios_key", "7C4D19E2A05B3F86D1E7420C9B5A6F13"}}));
  EXPECT_TRUE(testDevice(false));
  const RecordedRequest remove = controller_->requests().back();
  EXPECT_EQ(remove.method + " " + remove.url,
            "DELETE /v2/frontendapi/ios/test-devices/ABC-123?appId=app-1");
  EXPECT_EQ(remove.body, std::nullopt);
  EXPECT_EQ(remove.headerFields, add.headerFields);

  // Success lines are written at every level; failures only up to 3. A
  // dashboard that no longer knows the device answers a removal with 404:
  // the device is not a test device there, as asked. An add stays a failure.
  LOG_LEVEL = 100;
  EXPECT_TRUE(testDevice(true));
  controller_->setReply({.statusCode = 201, .error = nullptr});
  EXPECT_FALSE(testDevice(true));
  EXPECT_FALSE(testDevice(false));
  LOG_LEVEL = 3;
  EXPECT_FALSE(testDevice(true));
  EXPECT_FALSE(testDevice(false));
  controller_->setReply({.statusCode = 404, .error = nullptr});
  EXPECT_TRUE(testDevice(false));
  EXPECT_FALSE(testDevice(true));
  const std::string add2 = R"( -\[ZRLWYSIWYGPlugin addAsTestDevice\]_block_invoke_2:[0-9]+)";
  const std::string remove1 = R"( -\[ZRLWYSIWYGPlugin removeTestDevice\]_block_invoke:[0-9]+)";
  EXPECT_THAT(
      log_.lines(),
      ElementsAre(MatchesRegex("<ZRL INFO> Added as test device" + add2),
                  MatchesRegex("<ZRL INFO> Removed test device" + remove1),
                  HasSubstr("Added as test device"),
                  MatchesRegex(R"(<ZRL ERROR> Error adding test device: \(null\))" + add2),
                  MatchesRegex(R"(<ZRL ERROR> Error removing test device: \(null\))" + remove1),
                  HasSubstr("<ZRL INFO> Removed test device"),
                  HasSubstr("Error adding test device")));
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
  const std::string error = ": Error Domain=ZRLWYSIWYGPluginErrorDomain Code=";
  const std::string noDevice = error + "1 \"The device identifier is missing.\"";
  EXPECT_THAT(log_.lines(), ElementsAre(HasSubstr("Error adding test device" + noDevice),
                                        HasSubstr("Error removing test device" + noDevice),
                                        HasSubstr("Error removing test device" + noDevice),
                                        HasSubstr("Error adding test device" + error +
                                                  "2 \"The hardware model is missing.\""),
                                        HasSubstr("Removed test device")));
}

TEST_F(PluginCoreTest, InitialisationMakesTheSharedInstanceAndRoutesScreenChanges) {
  EXPECT_EQ(ZRLWYSIWYGPlugin::sharedInstance(), ZRLWYSIWYGPlugin::sharedInstance());
  LOG_LEVEL = 100;
  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  plugin->initialize(json("not a dictionary"));
  EXPECT_EQ(ZRLWYSIWYGPlugin::sharedInstance(), plugin);
  EXPECT_THAT(
      log_.lines(),
      ElementsAre(MatchesRegex(
          R"(<ZRL INFO> WYSIWYG Plugin \(113\) - Initialized -\[ZRLWYSIWYGPlugin initialize:\]:[0-9]+)")));

  EXPECT_EQ(plugin->currActivity(), std::nullopt);
  for (const auto& [type, name] : std::vector<std::pair<unsigned long, std::string>>{
           {1, "Home"}, {1, "Cart"}, {0, "BACKGROUND"}, {7, "Other"}})
    controller_->postEvent(std::make_shared<ZRLEvent>(type, name));
  controller_->waitUntilEventsDelivered();
  EXPECT_EQ(plugin->currActivity(), "Cart");
  controller_->postEvent(std::make_shared<ZRLEvent>(1, std::nullopt));
  controller_->waitUntilEventsDelivered();
  EXPECT_EQ(plugin->currActivity(), std::nullopt);
}

TEST_F(PluginCoreTest, SelectScreenPausesThenUploadsTheScreenOfTheLatestChange) {
  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  plugin->initialize(json::object());

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
  plugin->initialize(json::object());
  std::promise<void> named;
  std::jthread host([&](const std::stop_token& stop) {
    for (int i = 0; !stop.stop_requested(); ++i) {
      plugin->onEvent(std::make_shared<ZRLEvent>(1, "Screen" + std::to_string(i % 7)));
      if (i == 0) named.set_value();
    }
  });
  named.get_future().wait();
  constexpr size_t kTaps = 50;
  for (size_t i = 0; i < kTaps; ++i) {
    plugin->selectScreenTapped();
    plugin->initialize(json::object());  // replaces the shared reference meanwhile
  }
  host.request_stop();
  ASSERT_TRUE(controller_->waitForRequests(kTaps));
  controller_->waitForReplies();
  for (const auto& request : controller_->requests()) {
    EXPECT_THAT(request.body->at("screen").at("navigation").get<std::string>(),
                MatchesRegex("Screen[0-6]"));
  }
}

// The preview handler: a message's data, parsed as JSON, goes whole to the
// builder of its "ui" / "display_type"; anything else to the in-app one.
TEST_F(PluginCoreTest, EachPreviewDisplayTypeReachesItsBuilderWithTheWholeMessage) {
  LOG_LEVEL = 2;
  const json coach = {{"ui", {{"display_type", "coach_mark"}}}, {"id", 1}};
  const json inlineAction = {{"ui", {{"display_type", "inline"}}}};
  const json nudge = {{"ui", {{"display_type", "passive_nudge"}, {"text", "hi"}}}};
  // Other text, letter case, empty, missing, or of the wrong kind.
  const auto others = json::parse(R"([{"ui": {"display_type": "Coach_Mark"}},
      {"ui": {"display_type": ""}}, {"ui": {"display_type": "banner"}}, {"ui": {}}, {"other": 1},
      {"ui": {"display_type": 3}}, {"ui": "coach_mark"}])")
                          .get<std::vector<json>>();
  for (const json& message : {coach, inlineAction, nudge})
    handlePreview(message.dump());
  for (const json& other : others)
    handlePreview(other.dump());
  EXPECT_EQ(log_.count("<ZRL INFO> Preview for coach_mark -[ZRLEventSource connect]_block_invoke:"),
            1U);
  EXPECT_EQ(log_.count("<ZRL INFO> Preview for (null) -[ZRLEventSource connect]_block_invoke:"),
            4U);
  EXPECT_EQ(log_.count("Preview for Coach_Mark"), 1U);
  EXPECT_EQ(log_.count("Received message"), 0U) << "debug lines are off at level 2";

  // Data that is no JSON object reaches no builder, and says so.
  LOG_LEVEL = 1;
  log_.clear();
  for (const char* data : {"not json", "[1,2]", "\"coach_mark\""})
    handlePreview(data);
  handlePreview(std::nullopt);
  EXPECT_EQ(log_.count("Preview for"), 0U);
  EXPECT_EQ(ZRLCoachMarkHelper::sharedHelper()->configurations(), std::vector{coach});
  EXPECT_EQ(ZRLTooltipBuilder::sharedBuilder()->configurations(), std::vector{inlineAction});
  EXPECT_EQ(ZRLNudgeHelper::sharedHelper()->configurations(), std::vector{nudge});
  EXPECT_EQ(ZRLInapp::sharedInstance()->configurations(), others);
  const std::string where = R"( -\[ZRLEventSource connect\]_block_invoke:[0-9]+)";
  EXPECT_THAT(
      log_.lines(),
      ElementsAre(MatchesRegex("<ZRL DEBUG> Received message with data not json" + where),
                  MatchesRegex("<ZRL ERROR> Ignoring preview message that is not a JSON object: "
                               "not json" +
                               where),
                  HasSubstr("Received message with data [1,2]"),
                  HasSubstr("Ignoring preview message that is not a JSON object: [1,2]"),
                  HasSubstr("Received message with data \"coach_mark\""),
                  HasSubstr("not a JSON object: \"coach_mark\""),
                  MatchesRegex(R"(<ZRL DEBUG> Received message with data \(null\))" + where)));
  log_.clear();
  LOG_LEVEL = 4;
  handlePreview("not json");
  EXPECT_TRUE(log_.lines().empty());
}

}  // namespace
