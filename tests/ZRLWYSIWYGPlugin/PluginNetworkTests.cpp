// The plug-in through the host's real HTTP operations and its own event
// stream, against an HTTPS dashboard on 127.0.0.1 with a certificate made
// for the test: failed requests are logged as failures (the dashboard
// program's tests take the ones that succeed), and pushed previews reach
// their builders once.

#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "tests/Platform/NetTestSupport.h"
#include "tests/ZRLWYSIWYGPlugin/PluginTestSupport.h"

using namespace std::chrono_literals;

namespace {

// The fixture's own server is the dashboard, with TLS; its preview streams
// are handed to the test. The host is the real controller.
class PluginNetworkTest : public PluginHostTest<ZRLController, LocalServerFixture> {
 protected:
  void SetUp() override {
    PluginHostTest::SetUp();
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
    controller_->setApplicationIdentifier("app/1");
    controller_->setServerURL(server_->baseURL());
    controller_->setCertificateAuthorityFile(certificate->certificateFile());
  }
  void TearDown() override {
    PluginHostTest::TearDown();
    NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(std::nullopt);
    server_.reset();
  }

  TemporaryDirectory folder_;
  std::unique_ptr<ZRLLocalServer> server_;
  std::shared_ptr<ZRLWYSIWYGPlugin> plugin_ = std::make_shared<ZRLWYSIWYGPlugin>();
};

TEST_F(PluginNetworkTest, RefusalsAndTimeOutsAreLoggedAsFailures) {
  server_->route("POST", "/v2/frontendapi/ios/test-devices",
                 [](const ZRLLocalRequest&, ZRLLocalResponder& r) { r.respond(201); });
  // A server that accepts the request and never answers.
  server_->route("DELETE", "/v2/frontendapi/ios/test-devices/ABC-123",
                 [this](const ZRLLocalRequest&, ZRLLocalResponder& r) { hand(r.raw()); });

  EXPECT_FALSE(testDevice(true, plugin_));
  EXPECT_TRUE(log_.waitFor("Error adding test device: (null)", 20s));

  // Only the request to the stalled server gets the short time-out: any
  // other would race it against a TLS handshake on a busy machine.
  controller_->setRequestTimeout(0.3);
  EXPECT_FALSE(testDevice(false, plugin_));
  EXPECT_TRUE(
      log_.waitFor("Error removing test device: Error Domain=NSURLErrorDomain Code=-1001", 20s));
}

TEST_F(PluginNetworkTest, APushedPreviewReachesItsBuilderOnceWhateverTheTaps) {
  plugin_->initialize(nlohmann::json::object());
  auto first = stream(0);
  ASSERT_TRUE(first);
  auto request = server_->waitForRequest(0, 10s);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->target(), "/v1/api/sse-ui-config?appId=app%2F1");

  const nlohmann::json coach = {{"ui", {{"display_type", "coach_mark"}}},
                                {"title", "Hi \u2028 there"}};
  ASSERT_TRUE(first->write("id: 41\ndata: " + coach.dump() + "\n\n"));
  ASSERT_TRUE(ZRLCoachMarkHelper::sharedHelper()->waitForConfigurations(1, 10s));
  EXPECT_EQ(ZRLCoachMarkHelper::sharedHelper()->configurations(), std::vector{coach});

  // Each tap replaces the stream: one stays open, resuming from the last ID.
  constexpr size_t kTaps = 3;
  for (size_t i = 0; i < kTaps; ++i) {
    plugin_->selectScreenTapped();
    ASSERT_TRUE(stream(i + 1)) << i;
    EXPECT_TRUE(stream(i)->waitUntilClosed(10s)) << i;
  }
  auto last = stream(kTaps);
  std::vector<std::optional<std::string>> lastIDs;
  for (const auto& arrived : server_->requests()) {
    if (arrived.path() == "/v1/api/sse-ui-config")
      lastIDs.push_back(arrived.header("Last-Event-ID"));
  }
  EXPECT_EQ(lastIDs, (std::vector<std::optional<std::string>>{std::nullopt, "41", "41", "41"}));

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

  // A destroyed channel closes its stream.
  auto channel = std::make_unique<ZRLEventSource>();
  channel->connect();
  ASSERT_TRUE(channel->client());
  const auto open = stream(kTaps + 1);
  channel.reset();
  EXPECT_TRUE(open->waitUntilClosed(10s));
}

}  // namespace
