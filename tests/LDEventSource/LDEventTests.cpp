#include <gtest/gtest.h>

#include "LDEventSource/LDEvent.h"
#include "LDEventSource/LDEventStringAccumulator.h"
#include "LDEventSource/NSString+LDEventSource.h"
#include "Platform/Foundation/NSString.h"

using Lines = std::vector<std::string>;

TEST(LDEvent, DescribesItselfWithStateTextAndNullForAbsentValues) {
  LDEvent record;
  EXPECT_EQ(record.description(),
            "<LDEvent: readyState: CONNECTING, id: (null); event: (null); data: (null)>");
  record.setReadyState(LDEventReadyStateOpen);
  record.setId("7");
  record.setEvent("update");
  record.setData("a\nb");
  record.setError(NSError::errorWithDomain("d", 1));
  EXPECT_EQ(record.description(), "<LDEvent: readyState: OPEN, id: 7; event: update; data: a\nb>");
  record.setReadyState(LDEventReadyStateClosed);
  EXPECT_EQ(NSStringWithFormat("%@", std::make_shared<const LDEvent>(record)),
            "<LDEvent: readyState: CLOSED, id: 7; event: update; data: a\nb>");
  for (const int32_t state : {3, -1}) {
    record.setReadyState(state);
    EXPECT_EQ(record.description(),
              "<LDEvent: readyState: (null), id: 7; event: update; data: a\nb>");
  }
}

TEST(LDEvent, CopyIsASeparateRecordSharingTheErrorObject) {
  auto source = std::make_shared<LDEvent>();
  source->setId("1");
  source->setData("x");
  source->setReadyState(LDEventReadyStateClosed);
  source->setError(NSError::errorWithDomain("LDEventSourceErrorDomain", -401));
  const auto copy = source->copy();
  EXPECT_NE(copy.get(), source.get());
  EXPECT_EQ(copy->error(), source->error());
  EXPECT_EQ(copy->readyState(), LDEventReadyStateClosed);
  EXPECT_EQ(copy->description(), source->description());
  source->setData("changed");
  EXPECT_EQ(copy->data(), "x");
}

TEST(NSStringLDEventSource, LinesSplitAtEveryNewlineCharacter) {
  EXPECT_EQ(lines(""), std::nullopt);
  EXPECT_EQ(lines("a\r\nb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(lines("\n\n"), (Lines{"", "", ""}));
  EXPECT_EQ(lines("a\vb\fc\u0085d\u2028e\u2029f\rg\n"),
            (Lines{"a", "b", "c", "d", "e", "f", "g", ""}));
  // Other characters whose bytes look alike are not newlines.
  EXPECT_EQ(lines("\u00c5\u2027\u202a"), (Lines{"\u00c5\u2027\u202a"}));
}

TEST(NSStringLDEventSource, PrefixAndTerminatorTests) {
  for (const char* text : {":comment", "retry: 5000", "data: x", "event:e", "id:"}) {
    EXPECT_TRUE(hasEventPrefix(text)) << text;
  }
  for (const char* text : {" data: x", "Data: x", "\ndata: x", "data x", "retry", ""}) {
    EXPECT_FALSE(hasEventPrefix(text)) << text;
  }
  EXPECT_TRUE(hasEventTerminator("data: a\n\n"));
  EXPECT_TRUE(hasEventTerminator("\n\n"));
  EXPECT_FALSE(hasEventTerminator("data: a\r\n\r\n"));
  EXPECT_FALSE(hasEventTerminator("a\nb\n"));
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
  EXPECT_FALSE(accumulator.isReadyToParseEvent());
  EXPECT_EQ(accumulator.eventString(), std::nullopt);
  accumulator.accumulateEventStringWithString("data: a\r\n\r\n");
  EXPECT_FALSE(accumulator.isReadyToParseEvent());
  accumulator.setEventString("x\n\ny");
  EXPECT_TRUE(accumulator.isReadyToParseEvent());
}
