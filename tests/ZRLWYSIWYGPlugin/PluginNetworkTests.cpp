// The plug-in's requests through the host's real HTTP operations to an
// HTTPS server on 127.0.0.1 with a certificate made for the test.

#include <stdlib.h>

#include <filesystem>
#include <future>
#include <mutex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Foundation/NSLog.h"
#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"

using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace {

class PluginNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string folder =
        (std::filesystem::temp_directory_path() / "zrl-plugin-net-XXXXXX").string();
    ASSERT_NE(mkdtemp(folder.data()), nullptr);
    folder_ = folder;
    auto certificate = ZRLLocalCertificate::generate(folder_);
    ASSERT_TRUE(certificate);
    server_ = std::make_unique<ZRLLocalServer>(ZRLLocalServer::Options{.certificate = certificate});
    ASSERT_TRUE(server_->start());

    controller_ = std::make_shared<ZRLController>();
    controller_->setApplicationIdentifier("app 1");
    controller_->setDeviceID("ABC-123");
    controller_->setHardwareModel("x86_64");
    controller_->setServerURL(server_->baseURL());
    controller_->setCertificateAuthorityFile(certificate->certificateFile());
    controller_->setDeviceFacts({{"os", "iOS"}});
    controller_->setScreenSize(390.5, 844);
    ZRLController::setSharedController(controller_);
    ZRLDashboard::setHost("127.0.0.1:" + std::to_string(server_->port()));
    previousLevel_ = LOG_LEVEL.exchange(3);
  }
  void TearDown() override {
    LOG_LEVEL = previousLevel_;
    ZRLController::setSharedController(nullptr);
    server_.reset();
    std::filesystem::remove_all(folder_);
  }

  std::future<bool> add() {
    auto result = std::make_shared<std::promise<bool>>();
    plugin_->addAsTestDevice([result](bool accepted) { result->set_value(accepted); });
    return result->get_future();
  }
  std::future<bool> remove() {
    auto result = std::make_shared<std::promise<bool>>();
    plugin_->removeTestDevice([result](bool accepted) { result->set_value(accepted); });
    return result->get_future();
  }

  std::filesystem::path folder_;
  std::unique_ptr<ZRLLocalServer> server_;
  std::shared_ptr<ZRLController> controller_;
  std::shared_ptr<ZRLWYSIWYGPlugin> plugin_ = std::make_shared<ZRLWYSIWYGPlugin>();
  NSLogCapture log_;
  uintptr_t previousLevel_ = 0;
};

TEST_F(PluginNetworkTest, UploadAndTestDeviceRequestsArriveAtTheServer) {
  server_->setFallback([](const ZRLLocalRequest&, ZRLLocalResponder& responder) {
    responder.respond(200, {{"Content-Type", "application/json"}}, "{}");
  });

  plugin_->sendToServerLayoutInfo(nlohmann::json::array({{{"id", "root"}}}), "Home", "aGk=");
  auto upload = server_->waitForRequest(0, 20s);
  ASSERT_TRUE(upload);
  EXPECT_EQ(upload->method(), "POST");
  EXPECT_EQ(upload->target(), "/v1/api/layout?appId=app%201");
  EXPECT_FALSE(upload->header("zrl_ios_key"));
  EXPECT_EQ(upload->header("Content-Type"), "application/json");
  const auto body = nlohmann::json::parse(upload->body());
  EXPECT_EQ(
      body["screen"],
      (nlohmann::json{{"image", "aGk="}, {"orientation", "portrait"}, {"navigation", "Home"}}));
  EXPECT_EQ(body["layout"], nlohmann::json::array({{{"id", "root"}}}));
  EXPECT_EQ(body["device_info"]["os"], "iOS");
  EXPECT_EQ(body["device_info"]["width"], 390);
  EXPECT_EQ(body["device_info"]["height"], 844);

  ASSERT_EQ(add().wait_for(20s), std::future_status::ready);
  auto added = server_->waitForRequest(1, 20s);
  ASSERT_TRUE(added);
  EXPECT_EQ(added->method(), "POST");
  EXPECT_EQ(added->target(), "/v2/frontendapi/ios/test-devices?appId=app%201");
  EXPECT_EQ(added->header("zrl_ios_key"), "7C4D19E2A05B3F86D1E7420C9B5A6F13");
  EXPECT_EQ(nlohmann::json::parse(added->body()),
            (nlohmann::json{{"id", "ABC-123"}, {"model", "x86_64"}}));

  auto removed = remove();
  ASSERT_EQ(removed.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(removed.get());
  auto deleted = server_->waitForRequest(2, 20s);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->method(), "DELETE");
  EXPECT_EQ(deleted->target(), "/v2/frontendapi/ios/test-devices/ABC-123?appId=app%201");
  EXPECT_EQ(deleted->header("zrl_ios_key"), "7C4D19E2A05B3F86D1E7420C9B5A6F13");
  EXPECT_TRUE(deleted->body().empty());

  EXPECT_TRUE(log_.waitFor("Added as test device", 20s));
  EXPECT_TRUE(log_.waitFor("Removed test device", 20s));
  EXPECT_EQ(log_.count("ERROR"), 0U);
}

TEST_F(PluginNetworkTest, RefusalsTimeOutsAndUntrustedServersAreLoggedAsFailures) {
  server_->route(
      "POST", "/v2/frontendapi/ios/test-devices",
      [](const ZRLLocalRequest&, ZRLLocalResponder& responder) { responder.respond(201); });
  // A server that accepts the request and never answers.
  std::mutex stalledMutex;
  std::shared_ptr<ZRLLocalStream> stalled;
  server_->route("DELETE", "/v2/frontendapi/ios/test-devices/ABC-123",
                 [&](const ZRLLocalRequest&, ZRLLocalResponder& responder) {
                   std::lock_guard lock(stalledMutex);
                   stalled = responder.raw();
                 });

  auto refused = add();
  ASSERT_EQ(refused.wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(refused.get());
  EXPECT_TRUE(log_.waitFor("Error adding test device: (null)", 20s));

  // Only the request to the stalled server gets the short time-out: any
  // other would race it against a TLS handshake on a busy machine.
  controller_->setRequestTimeout(0.3);
  auto timedOut = remove();
  ASSERT_EQ(timedOut.wait_for(20s), std::future_status::ready);
  EXPECT_FALSE(timedOut.get());
  EXPECT_TRUE(
      log_.waitFor("Error removing test device: Error Domain=NSURLErrorDomain Code=-1001", 20s));
  controller_->setRequestTimeout(60);

  // Without the test's certificate the server is not trusted.
  controller_->setCertificateAuthorityFile(std::nullopt);
  plugin_->sendToServerLayoutInfo(std::nullopt, std::nullopt, std::nullopt);
  EXPECT_TRUE(log_.waitFor(
      "Error while sending wysiwyg data: Error Domain=NSURLErrorDomain Code=-12", 20s));
  EXPECT_THAT(log_.lines().back(), HasSubstr("_block_invoke_2:"));
  std::lock_guard lock(stalledMutex);
  stalled.reset();
}

}  // namespace
