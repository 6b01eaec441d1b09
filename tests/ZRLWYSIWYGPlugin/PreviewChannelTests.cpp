// The preview channel: messages pushed on the dashboard's stream reach the
// UI plug-in's builder for their display type, once.

#include <mutex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSThread.h"
#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "ZRLRTAPlugin/ZRLRTAPlugin.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#include "tests/Platform/NetTestSupport.h"

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace {

void resetBuilders() {
  ZRLCoachMarkHelper::sharedHelper()->resetConfigurations();
  ZRLTooltipBuilder::sharedBuilder()->resetConfigurations();
  ZRLNudgeHelper::sharedHelper()->resetConfigurations();
  ZRLInapp::sharedInstance()->resetConfigurations();
}

size_t builtCount() {
  return ZRLCoachMarkHelper::sharedHelper()->configurations().size() +
         ZRLTooltipBuilder::sharedBuilder()->configurations().size() +
         ZRLNudgeHelper::sharedHelper()->configurations().size() +
         ZRLInapp::sharedInstance()->configurations().size();
}

LDEventPtr message(std::optional<std::string> data) {
  auto event = std::make_shared<LDEvent>();
  event->setReadyState(LDEventReadyStateOpen);
  event->setData(std::move(data));
  return event;
}

class PreviewHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBuilders();
    previousLevel_ = LOG_LEVEL.exchange(2);
  }
  void TearDown() override { LOG_LEVEL = previousLevel_; }
  NSLogCapture log_;
  uintptr_t previousLevel_ = 0;
};

TEST_F(PreviewHandlerTest, EachDisplayTypeReachesItsBuilderWithTheWholeMessage) {
  const nlohmann::json coach = {{"ui", {{"display_type", "coach_mark"}}}, {"id", 1}};
  const nlohmann::json inlineAction = {{"ui", {{"display_type", "inline"}}}};
  const nlohmann::json nudge = {{"ui", {{"display_type", "passive_nudge"}, {"text", "hi"}}}};
  ZRLEventSource::handleMessage(message(coach.dump()));
  ZRLEventSource::handleMessage(message(inlineAction.dump()));
  ZRLEventSource::handleMessage(message(nudge.dump()));
  EXPECT_EQ(ZRLCoachMarkHelper::sharedHelper()->configurations(), std::vector{coach});
  EXPECT_EQ(ZRLTooltipBuilder::sharedBuilder()->configurations(), std::vector{inlineAction});
  EXPECT_EQ(ZRLNudgeHelper::sharedHelper()->configurations(), std::vector{nudge});

  // Anything else goes to the in-app builder, whole: other text, letter
  // case, empty, missing, or of the wrong kind.
  const std::vector<nlohmann::json> others = {{{"ui", {{"display_type", "Coach_Mark"}}}},
                                              {{"ui", {{"display_type", ""}}}},
                                              {{"ui", {{"display_type", "banner"}}}},
                                              {{"ui", nlohmann::json::object()}},
                                              {{"other", 1}},
                                              {{"ui", {{"display_type", 3}}}},
                                              {{"ui", "coach_mark"}}};
  for (const auto& other : others)
    ZRLEventSource::handleMessage(message(other.dump()));
  EXPECT_EQ(ZRLInapp::sharedInstance()->configurations(), others);
  EXPECT_EQ(log_.count("<ZRL INFO> Preview for coach_mark -[ZRLEventSource connect]_block_invoke:"),
            1U);
  EXPECT_EQ(log_.count("<ZRL INFO> Preview for (null) -[ZRLEventSource connect]_block_invoke:"),
            4U);
  EXPECT_EQ(log_.count("Preview for Coach_Mark"), 1U);
  EXPECT_EQ(log_.count("Received message"), 0U) << "debug lines are off at level 2";
}

TEST_F(PreviewHandlerTest, UnusableMessagesReachNoBuilder) {
  LOG_LEVEL = 1;
  ZRLEventSource::handleMessage(message(std::nullopt));
  ZRLEventSource::handleMessage(message("not json"));
  ZRLEventSource::handleMessage(message("[1,2]"));
  ZRLEventSource::handleMessage(message("\"coach_mark\""));
  EXPECT_EQ(builtCount(), 0U);
  EXPECT_EQ(log_.count("Preview for"), 0U);
  EXPECT_THAT(
      log_.lines(),
      ElementsAre(
          MatchesRegex(
              R"(<ZRL DEBUG> Received message with data \(null\) -\[ZRLEventSource connect\]_block_invoke:[0-9]+)"),
          HasSubstr("<ZRL DEBUG> Received message with data not json"),
          MatchesRegex(
              R"(<ZRL ERROR> Ignoring preview message that is not a JSON object: not json -\[ZRLEventSource connect\]_block_invoke:[0-9]+)"),
          HasSubstr("Received message with data [1,2]"),
          HasSubstr("Ignoring preview message that is not a JSON object: [1,2]"),
          HasSubstr("Received message with data \"coach_mark\""),
          HasSubstr("Ignoring preview message that is not a JSON object: \"coach_mark\"")));

  log_.clear();
  LOG_LEVEL = 4;
  ZRLEventSource::handleMessage(message("not json"));
  EXPECT_TRUE(log_.lines().empty());
}

// A dashboard on 127.0.0.1 whose preview streams are handed to the test;
// the fixture's plain server is left unstarted.
class PreviewStreamTest : public LocalServerFixture {
 protected:
  void SetUp() override {
    resetBuilders();
    auto certificate = ZRLLocalCertificate::generate(folder_.path());
    ASSERT_TRUE(certificate);
    NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(certificate->certificateFile());
    server_ = std::make_unique<ZRLLocalServer>(ZRLLocalServer::Options{.certificate = certificate});
    server_->route("GET", "/v1/api/sse-ui-config",
                   [this](const ZRLLocalRequest&, ZRLLocalResponder& r) {
                     hand(r.stream(200, {{"Content-Type", "text/event-stream"}}));
                   });
    ASSERT_TRUE(server_->start());
    ZRLDashboard::setHost("127.0.0.1:" + std::to_string(server_->port()));
    controller_ = std::make_shared<ZRLController>();
    controller_->setApplicationIdentifier("app/1");
    ZRLController::setSharedController(controller_);
    previousSleep_ = NSThread::setSleepHandler([](double) {});
    previousLevel_ = LOG_LEVEL.exchange(2);
  }
  void TearDown() override {
    LOG_LEVEL = previousLevel_;
    NSThread::setSleepHandler(previousSleep_);
    ZRLController::setSharedController(nullptr);
    NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(std::nullopt);
    server_.reset();
  }

  TemporaryDirectory folder_;
  std::unique_ptr<ZRLLocalServer> server_;
  std::shared_ptr<ZRLController> controller_;
  NSThread::SleepHandler previousSleep_;
  uintptr_t previousLevel_ = 0;
  NSLogCapture log_;
};

TEST_F(PreviewStreamTest, APushedPreviewReachesItsBuilderOnceWhateverTheTaps) {
  auto plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  plugin->initialize(nlohmann::json::object());
  auto first = stream(0);
  ASSERT_TRUE(first);
  auto request = server_->waitForRequest(0, 10s);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->target(), "/v1/api/sse-ui-config?appId=app%2F1");
  EXPECT_FALSE(request->header("Last-Event-ID"));

  const nlohmann::json coach = {{"ui", {{"display_type", "coach_mark"}}},
                                {"title", "Hi \u2028 there"}};
  ASSERT_TRUE(first->write("id: 41\ndata: " + coach.dump() + "\n\n"));
  ASSERT_TRUE(ZRLCoachMarkHelper::sharedHelper()->waitForConfigurations(1, 10s));
  EXPECT_EQ(ZRLCoachMarkHelper::sharedHelper()->configurations(), std::vector{coach});

  // Each tap replaces the stream: one stays open, resuming from the last ID.
  constexpr size_t kTaps = 3;
  for (size_t i = 0; i < kTaps; ++i) {
    plugin->selectScreenTapped();
    ASSERT_TRUE(stream(i + 1)) << i;
    EXPECT_TRUE(stream(i)->waitUntilClosed(10s)) << i;
  }
  auto last = stream(kTaps);
  size_t streamRequests = 0;
  for (const auto& arrived : server_->requests()) {
    if (arrived.path() != "/v1/api/sse-ui-config") continue;
    ++streamRequests;
    if (streamRequests > 1) {
      EXPECT_EQ(arrived.header("Last-Event-ID"), "41");
    }
  }
  EXPECT_EQ(streamRequests, kTaps + 1);

  const nlohmann::json nudge = {{"ui", {{"display_type", "passive_nudge"}}}};
  ASSERT_TRUE(last->write(": keep-alive\n\ndata: " + nudge.dump() + "\n\n"));
  ASSERT_TRUE(ZRLNudgeHelper::sharedHelper()->waitForConfigurations(1, 10s));
  // The uploads that the taps made meanwhile also reached this server; the
  // preview itself was built once.
  ASSERT_TRUE(last->write("data: " + coach.dump() + "\n\n"));
  ASSERT_TRUE(ZRLCoachMarkHelper::sharedHelper()->waitForConfigurations(2, 10s));
  EXPECT_EQ(ZRLNudgeHelper::sharedHelper()->configurations().size(), 1U);
  EXPECT_EQ(ZRLInapp::sharedInstance()->configurations().size(), 0U);
  EXPECT_EQ(log_.count("Preview for passive_nudge"), 1U);
}

TEST_F(PreviewStreamTest, ADestroyedChannelClosesItsStream) {
  std::shared_ptr<ZRLLocalStream> open;
  {
    ZRLEventSource channel;
    channel.connect();
    open = stream(0);
    ASSERT_TRUE(open);
    ASSERT_TRUE(channel.client());
  }
  EXPECT_TRUE(open->waitUntilClosed(10s));
}

}  // namespace
