#pragma once
// What the network tests share: a temporary folder, waits with a time-out,
// a task run to its completion handler, and a local server whose routes can
// hand their stream handles to the test thread.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Net/NSURLSession.h"
#include "Tools/ZRLLocalServer/ZRLLocalServer.h"

using namespace std::chrono_literals;

inline constexpr auto kPatience = std::chrono::seconds(20);
inline const ZRLLocalHeaders kEventStreamHeaders = {{"Content-Type", "text/event-stream"}};

// A folder of its own under the system's temporary folder, removed at the end.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zrl-net-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Waits until the condition holds, looking again every millisecond; for
// states that nothing signals (a weak reference expiring).
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Lines noted from any thread, and waits for them.
class LineLog {
 public:
  using Lines = std::vector<std::string>;
  void add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    changed_.notify_all();
  }
  Lines lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  static size_t count(const Lines& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
  }
  size_t count(const std::string& line) const { return count(lines(), line); }
  // Waits until the line has been noted n times.
  bool waitFor(const std::string& line, size_t n = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return count(lines_, line) >= n; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Lines lines_;
};

// Runs a block on the queue and waits for it: everything posted to the queue
// before has run by then.
inline bool drain(const dispatch_queue_t& queue) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  queue->async([done] { done->set_value(); });
  return future.wait_for(kPatience) == std::future_status::ready;
}

inline NSMutableURLRequest requestFor(const std::string& url, double timeout = 20) {
  return NSMutableURLRequest(NSURL::URLWithString(url),
                             NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData, timeout);
}

// A session without a delegate that trusts the authority in the file, or
// the system's without one.
inline NSURLSessionPtr trusting(const std::optional<std::string>& authority = std::nullopt) {
  auto configuration = NSURLSessionConfiguration::ephemeralSessionConfiguration();
  configuration.setTLSCertificateAuthorityFile(authority);
  return NSURLSession::sessionWithConfiguration(configuration, nullptr, nullptr);
}

struct TaskResult {
  std::optional<NSData> data;
  NSHTTPURLResponsePtr response;
  NSErrorPtr error;  // a test error when the handler was not called in time
  bool onDelegateQueue = false;
};

// Runs a task with a completion handler and waits for its call.
inline TaskResult load(const NSURLSessionPtr& session, const NSURLRequest& request,
                       std::chrono::milliseconds patience = kPatience) {
  auto result = std::make_shared<std::promise<TaskResult>>();
  auto future = result->get_future();
  auto handler = [result, queue = session->delegateQueue()](const std::optional<NSData>& data,
                                                            const NSHTTPURLResponsePtr& response,
                                                            const NSErrorPtr& error) {
    result->set_value({data, response, error, queue->isCurrent()});
  };
  session->dataTaskWithRequest(request, handler)->resume();
  if (future.wait_for(patience) == std::future_status::ready) return future.get();
  return {std::nullopt, nullptr, NSError::errorWithDomain("test", 0, "no answer in time")};
}

// A running local server that answers what no route takes 200 with the
// body; throws, which fails the test, when it cannot start.
class AnsweringServer : public ZRLLocalServer {
 public:
  explicit AnsweringServer(const std::string& body, Options options = {})
      : ZRLLocalServer(std::move(options)) {
    setFallback([body](const ZRLLocalRequest&, ZRLLocalResponder& r) { r.respond(200, {}, body); });
    std::string problem;
    if (!start(&problem)) throw std::runtime_error("the server did not start: " + problem);
  }
};

// A running local server. Streaming routes give their streams to hand(), and
// the test thread takes the i-th one handed out with stream(i).
class LocalServerFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()); }

  void hand(std::shared_ptr<ZRLLocalStream> stream) {
    std::lock_guard lock(mutex_);
    streams_.push_back(std::move(stream));
    handed_.notify_all();
  }
  size_t handedCount() {
    std::lock_guard lock(mutex_);
    return streams_.size();
  }
  // The i-th handle (from 0), once it has been handed out; throws on time-out,
  // which fails the test.
  std::shared_ptr<ZRLLocalStream> stream(size_t i) {
    std::unique_lock lock(mutex_);
    if (!handed_.wait_for(lock, kPatience, [&] { return streams_.size() > i; }))
      throw std::runtime_error("no stream " + std::to_string(i) + " handed out in time");
    return streams_[i];
  }

  std::mutex mutex_;
  std::condition_variable handed_;
  std::vector<std::shared_ptr<ZRLLocalStream>> streams_;  // outlive the server's handlers
  ZRLLocalServer server;
};
