// What the network layer keeps per open transfer, and the behaviour that
// depends on it: idle limits served by one shared timer, header fields whose
// name index is made only for many fields.

#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/Platform/NetTestSupport.h"

namespace {

const std::string kTimedOut = "-1001";
const std::string kCancelled = "-999";

std::string codeOf(const NSErrorPtr& error) {
  return error ? std::to_string(error->code()) : "ok";
}

// A task with a completion handler whose result can be waited for.
struct Pending {
  NSURLSessionDataTaskPtr task;
  std::shared_future<TaskResult> result;

  bool ended() const { return result.wait_for(0s) == std::future_status::ready; }
  std::string outcome() const {
    if (result.wait_for(kPatience) != std::future_status::ready) return "no end";
    return codeOf(result.get().error);
  }
};

Pending start(const NSURLSessionPtr& session, const std::string& url, double timeout) {
  auto promise = std::make_shared<std::promise<TaskResult>>();
  Pending pending;
  pending.result = promise->get_future().share();
  pending.task = session->dataTaskWithRequest(
      requestFor(url, timeout),
      [promise](const std::optional<NSData>& data, const NSHTTPURLResponsePtr& response,
                const NSErrorPtr& error) {
        promise->set_value({data, response, error, true});
      });
  pending.task->resume();
  return pending;
}

class NetMemory : public LocalServerFixture {
 protected:
  void SetUp() override {
    LocalServerFixture::SetUp();
    // Answers nothing at all, head included, until the test ends.
    server.route("GET", "/stall",
                 [this](const ZRLLocalRequest&, ZRLLocalResponder& r) { hand(r.raw()); });
    server.route("GET", "/whole", [](auto&, auto& r) { r.respond(200, {}, "whole"); });
  }
  void TearDown() override { session->invalidateAndCancel(); }

  NSURLSessionPtr session = NSURLSession::sessionWithConfiguration(
      NSURLSessionConfiguration::ephemeralSessionConfiguration(), nullptr, nullptr);
};

TEST_F(NetMemory, EachTransferKeepsItsOwnIdleLimitUnderTheSharedTimer) {
  // A task that ends before its limit leaves no check behind that could
  // touch it once its deadline passes ("shorter" below, started after it
  // ended with the same limit, outlasts it). The limit is generous, so that
  // a busy machine never turns the answer into a time-out.
  const Pending answered = start(session, server.URL("/whole"), 3);
  EXPECT_EQ(answered.outcome(), "ok");

  const Pending patient = start(session, server.URL("/stall"), 600);
  const Pending shortest = start(session, server.URL("/stall"), 0.5);
  const Pending shorter = start(session, server.URL("/stall"), 3);

  // Each of the short ones runs out its own limit; the long one is left
  // alone by their time-outs and goes on until it is cancelled.
  EXPECT_EQ(shortest.outcome(), kTimedOut);
  EXPECT_EQ(shorter.outcome(), kTimedOut);
  EXPECT_FALSE(patient.ended());
  EXPECT_EQ(patient.task->state(), NSURLSessionTaskState::Running);
  patient.task->cancel();
  EXPECT_EQ(patient.outcome(), kCancelled);

  // A task suspended before its limit runs out does not time out while it
  // is held; resumed, its limit runs again.
  const Pending held = start(session, server.URL("/stall"), 0.5);
  held.task->suspend();
  const Pending marker = start(session, server.URL("/stall"), 1.5);
  EXPECT_EQ(marker.outcome(), kTimedOut);
  // The held task has waited longer than its limit by now; whether its
  // suspension reached the network first is up to the threads, so only its
  // eventual end is certain.
  held.task->resume();
  EXPECT_EQ(held.outcome(), kTimedOut);
}

TEST(NetHeaderFields, CopiesOfAnIndexedSetAreIndependentAndKeepFindingEveryName) {
  NSHTTPHeaderFields original;
  constexpr int kCount = 24;  // past the point where the names are indexed
  for (int i = 0; i < kCount; ++i)
    original.setValue(numbered("v", i), numbered("X-Field-", i));

  NSHTTPHeaderFields copy = original;
  copy.setValue("changed", "x-field-3");
  copy.remove("X-FIELD-0");
  copy.addValue("more", "X-Field-5");
  EXPECT_EQ(original.valueForField("X-Field-3"), "v3");
  EXPECT_EQ(original.valueForField("x-field-0"), "v0");
  EXPECT_EQ(original.valueForField("X-Field-5"), "v5");
  EXPECT_EQ(copy.valueForField("X-FIELD-3"), "changed");
  EXPECT_FALSE(copy.valueForField("X-Field-0"));
  EXPECT_EQ(copy.valueForField("x-field-5"), "v5, more");
  // Every position after the removed field is still found by its name.
  for (int i = 1; i < kCount; ++i)
    EXPECT_TRUE(copy.valueForField("x-field-" + std::to_string(i))) << i;
  ASSERT_EQ(copy.fields().size(), size_t{kCount - 1});
  EXPECT_EQ(copy.fields().front().first, "X-Field-1");

  // Assigned over a set of its own, then emptied and filled again.
  NSHTTPHeaderFields assigned;
  assigned.setValue("1", "Only");
  assigned = copy;
  EXPECT_FALSE(assigned.valueForField("Only"));
  for (int i = 1; i < kCount; ++i)
    assigned.remove("X-Field-" + std::to_string(i));
  EXPECT_TRUE(assigned.empty());
  assigned.setValue("again", "X-Field-1");
  EXPECT_EQ(assigned.valueForField("x-field-1"), "again");
  EXPECT_EQ(copy.valueForField("X-Field-1"), "v1");

  // Moved, the fields go with the index.
  NSHTTPHeaderFields moved = std::move(copy);
  EXPECT_EQ(moved.valueForField("x-field-23"), "v23");

  // Setting a name again in another case replaces the value in its place
  // and keeps the first spelling; removing one keeps the order of the rest.
  // The same below and past the size from which the names are indexed.
  for (const int size : {4, 40}) {
    NSHTTPHeaderFields edited;
    for (int i = 0; i < size; ++i)
      edited.setValue(std::to_string(i), numbered("h", i));
    edited.remove("H1");
    edited.setValue("two", "H2");
    ASSERT_EQ(edited.fields().size(), static_cast<size_t>(size - 1)) << size;
    EXPECT_EQ(edited.fields()[1], (std::pair<std::string, std::string>{"h2", "two"}));
    EXPECT_EQ(edited.valueForField("H0"), "0");
    EXPECT_FALSE(edited.valueForField("h1"));
  }
}

}  // namespace
