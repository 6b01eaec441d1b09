// The batch handler of the event-stream client: every record of the stream,
// as views, in the order and under the types in which the listeners get
// them, without record objects, and nothing after close().

#include <span>

#include <gtest/gtest.h>

#include "LDEventSource/LDEventSource.h"
#include "tests/Platform/NetTestSupport.h"

namespace {

std::string show(const std::optional<std::string_view>& text) {
  return text ? std::string(*text) : "null";
}

// One call for one type as a line: the type, the record's fields and, for
// an end, the error's code.
std::string describe(std::string_view type, const LDEventView& record) {
  std::string line(type);
  line.append("(").append(std::to_string(record.readyState));
  line.append(",").append(show(record.id)).append(",").append(show(record.event));
  line.append(",").append(show(record.data));
  if (record.error) line.append(",error ").append(std::to_string(record.error->code()));
  return line + ")";
}

bool endsWithError(const LineLog::Lines& lines) {
  return !lines.empty() && lines.back().starts_with("error(2");
}

class LDEventSourceBatch : public LocalServerFixture {
 protected:
  void TearDown() override {
    if (source) source->close();
  }
  // A client that answers each request with the body, and waits the longest
  // the back-off allows before reconnecting: one connection per test.
  void serve(const std::string& body) {
    server.route("GET", "/events", [body](auto&, auto& r) {
      r.respond(200, kEventStreamHeaders, "retry: 100000\n\n" + body);
    });
    source = LDEventSource::eventSourceWithURL(NSURL::URLWithString(server.URL("/events")),
                                               std::nullopt);
    source->setRandomUniform([](uint32_t bound) { return bound - 1; });
  }

  std::shared_ptr<LDEventSource> source;
};

TEST_F(LDEventSourceBatch, SeesEveryRecordUnderTheListenersTypesInStreamOrder) {
  serve(
      "id: 7\nevent: update\ndata: a\ndata: b\n\n: a comment\ndata: plain\n\n"
      "event: message\ndata: twice\n\n");
  // A serial queue: on the concurrent one, the calls of different pieces
  // may overlap.
  source->setListenerQueue(dispatch_queue_create("LDEventSourceBatch", DISPATCH_QUEUE_SERIAL));
  auto fromListeners = std::make_shared<LineLog>();
  for (const std::string type : {"readyState", "open", "message", "error", "update"}) {
    source->addEventListener(type, [fromListeners, type](const LDEventPtr& record) {
      fromListeners->add(describe(type, LDEventView::of(*record)));
    });
  }
  auto fromBatches = std::make_shared<LineLog>();
  auto closed = std::make_shared<std::atomic<bool>>(false);
  auto piecesAfterClose = std::make_shared<std::atomic<int>>(0);
  source->setBatchHandler([=](std::span<const LDEventDelivery> records) {
    if (closed->load()) ++*piecesAfterClose;
    for (const LDEventDelivery& delivery : records) {
      for (const std::string_view type : delivery.typeNames())
        fromBatches->add(describe(type, delivery.record));
    }
  });
  source->open();

  const LineLog::Lines expected = {
      "readyState(0,null,null,null)",    "readyState(1,null,null,null)",
      "open(1,null,null,null)",          "message(1,null,null,null)",
      "message(1,7,update,a\nb)",        "update(1,7,update,a\nb)",
      "message(1,null,null,plain)",      "message(1,null,message,twice)",
      "message(1,null,message,twice)",   "readyState(2,null,null,null,error 2)",
      "error(2,null,null,null,error 2)",
  };
  ASSERT_TRUE(fromBatches->waitUntil(endsWithError));
  EXPECT_EQ(fromBatches->lines(), expected);
  ASSERT_TRUE(fromListeners->waitUntil(endsWithError));
  EXPECT_EQ(fromListeners->lines(), expected);

  source->close();
  closed->store(true);
  // Dropped by close(): the next connection's records do not reach it.
  auto reopened = std::make_shared<LineLog>();
  source->onMessage([reopened](const LDEventPtr& record) { reopened->add(show(record->data())); });
  source->open();
  // The retry block, two records and one named "message", which comes twice.
  ASSERT_TRUE(reopened->waitUntil([](const auto& lines) { return lines.size() == 5; }));
  EXPECT_EQ(*piecesAfterClose, 0);
}

// Numbered records as fast as the socket takes them, to a client with no
// listener: the handler sees each, in order, and no record is ever in
// flight, since none is made.
TEST_F(LDEventSourceBatch, MakesNoRecordsWithoutListenersAndReadsEveryPiece) {
  constexpr size_t kRecords = 20000;
  std::string body;
  for (size_t i = 0; i < kRecords; ++i)
    body += "id: " + std::to_string(i) + "\ndata: " + std::string(90, 'x') + "\n\n";
  serve(body);
  struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;
    size_t pieces = 0;
    bool inOrder = true;
    bool recordsMade = false;
  };
  auto seen = std::make_shared<Seen>();
  std::weak_ptr<LDEventSource> weak = source;
  source->setBatchHandler([seen, weak](std::span<const LDEventDelivery> records) {
    const auto self = weak.lock();
    std::lock_guard lock(seen->mutex);
    ++seen->pieces;
    if (self && self->recordsInFlight() != 0) seen->recordsMade = true;
    for (const LDEventDelivery& delivery : records) {
      if (!delivery.record.data) continue;  // the retry block, the states
      if (show(delivery.record.id) != std::to_string(seen->next++) ||
          delivery.record.data->size() != 90 || delivery.typeCount != 1) {
        seen->inOrder = false;
      }
    }
    seen->changed.notify_all();
  });
  source->open();
  std::unique_lock lock(seen->mutex);
  ASSERT_TRUE(seen->changed.wait_for(lock, kPatience, [&] { return seen->next == kRecords; }));
  EXPECT_TRUE(seen->inOrder);
  EXPECT_FALSE(seen->recordsMade);
  EXPECT_GT(seen->pieces, 3U);  // states, and the body in more than one piece
  EXPECT_EQ(source->recordsInFlight(), 0U);
}

}  // namespace
