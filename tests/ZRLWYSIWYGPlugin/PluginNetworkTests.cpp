// The plug-in's failed requests through the host's real HTTP operations to
// an HTTPS server on 127.0.0.1 with a certificate made for the test (the
// dashboard program's tests take the ones that succeed).

#include <future>
#include <mutex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Foundation/NSLog.h"
#include "Tools/ZRLLocalServer/ZRLLocalServer.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#include "tests/Platform/NetTestSupport.h"

using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace {

class PluginNetworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto certificate = ZRLLocalCertificate::generate(folder_.path());
    ASSERT_TRUE(certificate);
    server_ = std::make_unique<ZRLLocalServer>(ZRLLocalServer::Options{.certificate = certificate});
    ASSERT_TRUE(server_->start());

    controller_ = std::make_shared<ZRLController>();
    controller_->setApplicationIdentifier("app 1");
    controller_->setDeviceID("ABC-123");
    controller_->setHardwareModel("x86_64");
    controller_->setServerURL(server_->baseURL());
    controller_->setCertificateAuthorityFile(certificate->certificateFile());
    ZRLController::setSharedController(controller_);
    ZRLDashboard::setHost("127.0.0.1:" + std::to_string(server_->port()));
    previousLevel_ = LOG_LEVEL.exchange(3);
  }
  void TearDown() override {
    LOG_LEVEL = previousLevel_;
    ZRLController::setSharedController(nullptr);
    server_.reset();
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

  TemporaryDirectory folder_;
  std::unique_ptr<ZRLLocalServer> server_;
  std::shared_ptr<ZRLController> controller_;
  std::shared_ptr<ZRLWYSIWYGPlugin> plugin_ = std::make_shared<ZRLWYSIWYGPlugin>();
  NSLogCapture log_;
  uintptr_t previousLevel_ = 0;
};

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
