#include <gtest/gtest.h>

#include "LDEventSource/LDEvent.h"
#include "LDEventSource/LDEventStringAccumulator.h"
#include "LDEventSource/NSString+LDEventSource.h"
#include "Platform/Foundation/NSString.h"

using Lines = std::vector<std::string>;

TEST(LDEvent, DescribesItselfAndCopiesEveryField) {
  LDEvent record;
  EXPECT_EQ(record.description(),
            "<LDEvent: readyState: CONNECTING, id: (null); event: (null); data: (null)>");
  record.setReadyState(LDEventReadyStateClosed);
  record.setId("7");
  record.setEvent("update");
  record.setData("a\nb");
  record.setError(NSError::errorWithDomain("d", 1));
  const auto copy = record.copy();
  EXPECT_EQ(NSStringWithFormat("%@", std::shared_ptr<const LDEvent>(copy)),
            "<LDEvent: readyState: CLOSED, id: 7; event: update; data: a\nb>");
  EXPECT_EQ(copy->error(), record.error());
  record.setReadyState(3);
  EXPECT_EQ(record.description(),
            "<LDEvent: readyState: (null), id: 7; event: update; data: a\nb>");
}

TEST(NSStringLDEventSource, LinesPrefixesAndTerminators) {
  EXPECT_EQ(lines(""), std::nullopt);
  EXPECT_EQ(lines("a\r\nb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(lines("a\vb\fc\u0085d\u2028e\u2029f\rg\n"),
            (Lines{"a", "b", "c", "d", "e", "f", "g", ""}));
  // Other characters whose bytes look alike are not newlines.
  EXPECT_EQ(lines("\u00c5\u2027\u202a"), (Lines{"\u00c5\u2027\u202a"}));
  for (const char* text : {":comment", "retry: 5000", "data: x", "event:e", "id:"})
    EXPECT_TRUE(hasEventPrefix(text)) << text;
  for (const char* text : {" data: x", "Data: x", "\ndata: x", "data x", "retry", ""})
    EXPECT_FALSE(hasEventPrefix(text)) << text;
  EXPECT_TRUE(hasEventTerminator("data: a\n\n"));
  EXPECT_FALSE(hasEventTerminator("data: a\r\n\r\n"));
}

TEST(LDEventStringAccumulator, GathersTextUntilTwoLineFeeds) {
  LDEventStringAccumulator accumulator;
  accumulator.accumulateEventStringWithString("");
  accumulator.accumulateEventStringWithString(std::nullopt);
  EXPECT_EQ(accumulator.eventString(), std::nullopt);
  accumulator.accumulateEventStringWithString("data: a\n");
  EXPECT_FALSE(accumulator.isReadyToParseEvent());
  accumulator.accumulateEventStringWithString("\n");
  EXPECT_TRUE(accumulator.isReadyToParseEvent());
  EXPECT_EQ(accumulator.eventString(), "data: a\n\n");
  accumulator.reset();
  EXPECT_EQ(accumulator.eventString(), std::nullopt);
  accumulator.accumulateEventStringWithString("data: a\r\n\r\n");
  EXPECT_FALSE(accumulator.isReadyToParseEvent());
  accumulator.setEventString("x\n\ny");
  EXPECT_TRUE(accumulator.isReadyToParseEvent());
}
