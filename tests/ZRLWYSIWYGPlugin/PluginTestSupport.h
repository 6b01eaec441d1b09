#pragma once
// What the plug-in's tests share: a host controller that records every
// request that the plug-in hands to the host's HTTP operations and answers
// each with a scripted reply on a host thread of its own, and a fixture
// that makes it the shared controller.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/Foundation/NSThread.h"
#include "ZRLRTAPlugin/ZRLRTAPlugin.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#include "ZorlanSDK/ZRLController.h"

struct RecordedRequest {
  std::string method;
  std::string url;
  std::optional<nlohmann::json> body;
  std::optional<ZRLHeaderFields> headerFields;
};

struct ScriptedReply {
  long statusCode = 200;  // 0: no answer at all
  NSErrorPtr error;
};

class RecordingController : public ZRLController {
 public:
  RecordingController()
      : replies_(dispatch_queue_create("test.host.replies", DISPATCH_QUEUE_SERIAL)) {}

  void setReply(ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    reply_ = std::move(reply);
  }
  void setDeviceFactsOverride(std::optional<nlohmann::json> facts) {
    std::lock_guard lock(mutex_);
    factsOverride_ = std::move(facts);
  }

  std::vector<RecordedRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
  }
  // Waits until every reply handed out so far has reached its handler.
  void waitForReplies() {
    dispatch_sync(replies_, [] {});
  }

  bool isReactNative() override {
    ++reactNativeQuestions;
    return ZRLController::isReactNative();
  }
  std::atomic<int> reactNativeQuestions{0};

  std::shared_ptr<ZRLDeviceInfo> deviceInfo() override {
    {
      std::lock_guard lock(mutex_);
      if (factsOverride_) return std::make_shared<ZRLDeviceInfo>(*factsOverride_);
    }
    return ZRLController::deviceInfo();
  }

  void postDataToURL(const std::string& url, const nlohmann::json& body,
                     const std::optional<ZRLHeaderFields>& headerFields,
                     ZRLHTTPCompletionHandler completionHandler) override {
    record({"POST", url, body, headerFields}, std::move(completionHandler));
  }
  void makeDeleteRequestToURLPath(const std::string& path,
                                  const std::optional<ZRLHeaderFields>& headerFields,
                                  ZRLHTTPCompletionHandler completionHandler) override {
    record({"DELETE", path, std::nullopt, headerFields}, std::move(completionHandler));
  }

 private:
  void record(RecordedRequest request, ZRLHTTPCompletionHandler handler) {
    // The reply is queued before a waiter can see the request, so that
    // waitForReplies() after waitForRequests() covers it.
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    dispatch_async(replies_, [reply = reply_, handler = std::move(handler)] {
      NSHTTPURLResponsePtr response;  // none for status 0
      if (reply.statusCode != 0)
        response = std::make_shared<NSHTTPURLResponse>(NSURL::URLWithString("https://127.0.0.1/"),
                                                       reply.statusCode, NSHTTPHeaderFields());
      handler(std::nullopt, response, reply.error);
    });
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<RecordedRequest> requests_;
  ScriptedReply reply_;
  std::optional<nlohmann::json> factsOverride_;
  dispatch_queue_t replies_;
};

// Adds or removes the device as a test device through the plug-in (by
// default a new one); what the completion reported, false when it reported
// nothing within 20 seconds.
inline bool testDevice(bool add, const std::shared_ptr<ZRLWYSIWYGPlugin>& plugin =
                                     std::make_shared<ZRLWYSIWYGPlugin>()) {
  auto result = std::make_shared<std::promise<bool>>();
  auto completion = [result](bool accepted) { result->set_value(accepted); };
  add ? plugin->addAsTestDevice(completion) : plugin->removeTestDevice(completion);
  auto answer = result->get_future();
  const bool answered = answer.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  EXPECT_TRUE(answered);
  return answered && answer.get();
}

// The controller (by default the recording one) as the shared one for
// application "app-1", device "ABC-123" and model "x86_64"; the log level
// that the test names; pauses that return at once (recorded in slept_,
// running duringPause_); preview builders that have been given nothing.
// Everything is put back at the end. The fixture may stand on another one
// (a local server's, say).
template <class Controller = RecordingController, class Base = ::testing::Test>
class PluginHostTest : public Base {
 protected:
  explicit PluginHostTest(uintptr_t level = 3) : level_(level) {}

  void SetUp() override {
    Base::SetUp();
    controller_->setApplicationIdentifier("app-1");
    controller_->setDeviceID("ABC-123");
    controller_->setHardwareModel("x86_64");
    ZRLController::setSharedController(controller_);
    previousLevel_ = LOG_LEVEL.exchange(level_);
    previousSleep_ = NSThread::setSleepHandler([this](double seconds) {
      slept_.push_back(seconds);
      if (duringPause_) duringPause_();
    });
    ZRLCoachMarkHelper::sharedHelper()->resetConfigurations();
    ZRLTooltipBuilder::sharedBuilder()->resetConfigurations();
    ZRLNudgeHelper::sharedHelper()->resetConfigurations();
    ZRLInapp::sharedInstance()->resetConfigurations();
  }
  void TearDown() override {
    NSThread::setSleepHandler(previousSleep_);
    LOG_LEVEL = previousLevel_;
    ZRLController::setSharedController(nullptr);
    Base::TearDown();
  }

  std::shared_ptr<Controller> controller_ = std::make_shared<Controller>();
  NSLogCapture log_;
  std::vector<double> slept_;
  std::function<void()> duringPause_;

 private:
  uintptr_t level_;
  uintptr_t previousLevel_ = 0;
  NSThread::SleepHandler previousSleep_;
};
using PluginTest = PluginHostTest<>;
