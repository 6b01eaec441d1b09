#pragma once
// What the URL session and local server tests share: a temporary folder, a
// delegate that records every notification in order, and a way to wait for a
// condition with a time-out.

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Net/NSURLSession.h"

using namespace std::chrono_literals;

inline constexpr auto kPatience = std::chrono::seconds(20);

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

// Records the notifications of a session in the order in which they run.
class RecordingDelegate : public NSURLSessionDataDelegate {
 public:
  struct Event {
    enum class Kind { Response, Data, End, Invalid } kind;
    uint64_t task = 0;
    long status = 0;
    std::string data;
    NSErrorPtr error;
    bool onDelegateQueue = false;
  };

  // The disposition to answer with; null keeps the handler for the test.
  std::optional<NSURLSessionResponseDisposition> disposition =
      NSURLSessionResponseDisposition::Allow;
  // Called on the delegate queue for each piece of the body.
  std::function<void(const NSURLSessionDataTaskPtr&, const NSData&)> onData;
  // The queue that the notifications must run on, when the test knows it.
  dispatch_queue_t expectedQueue;
  // Off: body pieces are recorded without their bytes.
  bool keepsData = true;

  void didReceiveResponse(
      const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
      const NSHTTPURLResponsePtr& response,
      std::function<void(NSURLSessionResponseDisposition)> completionHandler) override {
    add({Event::Kind::Response,
         task->taskIdentifier(),
         response->statusCode(),
         {},
         nullptr,
         onQueue(session)},
        response);
    if (disposition) {
      completionHandler(*disposition);
    } else {
      std::lock_guard lock(mutex_);
      heldHandler_ = std::move(completionHandler);
      changed_.notify_all();
    }
  }
  void didReceiveData(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                      const NSData& data) override {
    add({Event::Kind::Data, task->taskIdentifier(), 0, keepsData ? data : NSData(), nullptr,
         onQueue(session)});
    if (onData) onData(task, data);
  }
  void didCompleteWithError(const NSURLSessionPtr& session, const NSURLSessionDataTaskPtr& task,
                            const NSErrorPtr& error) override {
    add({Event::Kind::End, task->taskIdentifier(), 0, {}, error, onQueue(session)});
  }
  void didBecomeInvalidWithError(const NSURLSessionPtr& session, const NSErrorPtr& error) override {
    add({Event::Kind::Invalid, 0, 0, {}, error, onQueue(session)});
  }

  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  NSHTTPURLResponsePtr lastResponse() const {
    std::lock_guard lock(mutex_);
    return response_;
  }
  // The body pieces of a task, joined.
  std::string body(uint64_t task) const {
    std::lock_guard lock(mutex_);
    std::string body;
    for (const Event& event : events_) {
      if (event.kind == Event::Kind::Data && event.task == task) body += event.data;
    }
    return body;
  }
  size_t count(Event::Kind kind) const {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const Event& event : events_)
      n += event.kind == kind ? 1 : 0;
    return n;
  }
  bool waitFor(Event::Kind kind, size_t n = 1, std::chrono::milliseconds timeout = kPatience) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      size_t seen = 0;
      for (const Event& event : events_)
        seen += event.kind == kind ? 1 : 0;
      return seen >= n;
    });
  }
  // The end of a task: waits for it and returns its error (null on success).
  std::optional<NSErrorPtr> waitForEnd(uint64_t task,
                                       std::chrono::milliseconds timeout = kPatience) {
    std::unique_lock lock(mutex_);
    std::optional<NSErrorPtr> error;
    changed_.wait_for(lock, timeout, [&] {
      for (const Event& event : events_) {
        if (event.kind == Event::Kind::End && event.task == task) error = event.error;
      }
      return error.has_value();
    });
    return error;
  }
  std::function<void(NSURLSessionResponseDisposition)> waitForHeldHandler() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return heldHandler_ != nullptr; });
    return heldHandler_;
  }

 private:
  bool onQueue(const NSURLSessionPtr& session) const {
    const dispatch_queue_t& queue = expectedQueue ? expectedQueue : session->delegateQueue();
    return queue->isCurrent();
  }
  void add(Event event, NSHTTPURLResponsePtr response = nullptr) {
    std::lock_guard lock(mutex_);
    if (response) response_ = std::move(response);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
  NSHTTPURLResponsePtr response_;
  std::function<void(NSURLSessionResponseDisposition)> heldHandler_;
};

// Checks the rules of one task's notifications: at most one head, before
// any body; exactly one end, after everything else of the task.
inline std::string orderProblems(const std::vector<RecordingDelegate::Event>& events,
                                 uint64_t task) {
  using Kind = RecordingDelegate::Event::Kind;
  int responses = 0;
  int ends = 0;
  for (const auto& event : events) {
    if (event.task != task || event.kind == Kind::Invalid) continue;
    if (!event.onDelegateQueue) return "a notification ran off the delegate queue";
    if (ends > 0) return "a notification came after the end";
    if (event.kind == Kind::Response && ++responses > 1) return "a second head";
    if (event.kind == Kind::Data && responses == 0) return "body before the head";
    if (event.kind == Kind::End) ++ends;
  }
  return ends == 1 ? "" : "no end";
}

// Runs a block on the queue and waits for it: everything posted to the queue
// before has run by then.
inline bool drain(const dispatch_queue_t& queue) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  queue->async([done] { done->set_value(); });
  return future.wait_for(kPatience) == std::future_status::ready;
}

struct TaskResult {
  std::optional<NSData> data;
  NSHTTPURLResponsePtr response;
  NSErrorPtr error;
};

// Runs a task with a completion handler and waits for it.
inline std::optional<TaskResult> load(const NSURLSessionPtr& session, const NSURLRequest& request) {
  auto result = std::make_shared<std::promise<TaskResult>>();
  auto future = result->get_future();
  session
      ->dataTaskWithRequest(
          request,
          [result](const std::optional<NSData>& data, const NSHTTPURLResponsePtr& response,
                   const NSErrorPtr& error) {
            result->set_value({data, response, error});
          })
      ->resume();
  if (future.wait_for(kPatience) != std::future_status::ready) return std::nullopt;
  return future.get();
}

inline NSMutableURLRequest requestFor(const std::string& url, double timeout = 20) {
  return NSMutableURLRequest(NSURL::URLWithString(url),
                             NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData, timeout);
}
