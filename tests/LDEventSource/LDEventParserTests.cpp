#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "LDEventSource/LDEventParser.h"

namespace {

using Text = std::optional<std::string>;

LDEventPtr parse(std::string_view block) {
  return LDEventParser::parseEventBlock(block).event;
}
std::optional<double> retryOf(std::string_view block) {
  return LDEventParser::parseEventBlock(block).retryInterval;
}

}  // namespace

TEST(LDEventParser, ValuesLoseAllLeadingWhitespaceAndKeepTheRest) {
  EXPECT_EQ(parse("data:  a")->data(), "a");
  EXPECT_EQ(parse("data:\ta")->data(), "a");
  EXPECT_EQ(parse("data:\u00a0\u2003\u3000\u202f a")->data(), "a");
  EXPECT_EQ(parse("data: x  \t")->data(), "x  \t");
  EXPECT_EQ(parse("data: a: b")->data(), "a: b");
  EXPECT_EQ(parse("data:a")->data(), "a");
  // Line breaks are not whitespace, and other format characters are data.
  EXPECT_EQ(parse("data: \v\fa\u0085b\u2028c\u2029")->data(), "\v\fa\u0085b\u2028c\u2029");
  EXPECT_EQ(parse("data: \ufeffa")->data(), "\ufeffa");
  // Leading whitespace before the name is skipped too.
  EXPECT_EQ(parse(" \tdata: a")->data(), "a");
}

TEST(LDEventParser, FieldsFollowTheirOwnRules) {
  const auto record = parse("event: ping\nid: 1\ndata: a\nevent: pong\nid: 2\ndata: b");
  EXPECT_EQ(record->event(), "pong");
  EXPECT_EQ(record->id(), "2");
  EXPECT_EQ(record->data(), "a\nb");
  EXPECT_EQ(record->readyState(), LDEventReadyStateOpen);
  EXPECT_EQ(record->error(), nullptr);
  // A field without a value adds nothing, not even an empty data line.
  EXPECT_EQ(parse("data: a\ndata:\ndata:   \ndata\ndata: b")->data(), "a\nb");
  EXPECT_EQ(parse("id:\nevent: \t")->id(), std::nullopt);
  EXPECT_EQ(parse("id: 1\nid:")->id(), "1");
  // A line that is not a field is passed over; the fields after it count.
  const auto after = parse("datum: x\n:note\nevent: ping\nDATA: y\nid: 7\ndata: z");
  EXPECT_EQ(after->event(), "ping");
  EXPECT_EQ(after->id(), "7");
  EXPECT_EQ(after->data(), "z");
}

TEST(LDEventParser, LinesThatAreNotFieldsMakeAnEmptyRecord) {
  for (const char* block : {":comment", ":", " ", "data", "data:", "data : x", "Data: x", "DATA: x",
                            "datum: x", ": data: x", "\u00a0:x", "retry: 1.5"}) {
    const auto record = parse(block);
    ASSERT_NE(record, nullptr) << block;
    EXPECT_EQ(record->readyState(), LDEventReadyStateOpen) << block;
    EXPECT_EQ(record->id(), std::nullopt) << block;
    EXPECT_EQ(record->event(), std::nullopt) << block;
    EXPECT_EQ(record->data(), std::nullopt) << block;
  }
}

TEST(LDEventParser, RetryCountsOnlyAllDigitValuesInMilliseconds) {
  EXPECT_EQ(retryOf("retry: 2500"), 2.5);
  EXPECT_EQ(retryOf("retry: 0"), 0.0);
  EXPECT_EQ(retryOf("retry:\t007"), 0.007);
  EXPECT_EQ(retryOf("retry: 1000\nretry: x\nretry: 3000"), 3.0);
  EXPECT_EQ(retryOf("retry: 1000\nretry: -5"), 1.0);
  for (const char* block : {"retry: -1", "retry: +1", "retry: 1.5", "retry: 10s", "retry: 5 0",
                            "retry: 5 ", "retry:", "retry", "retry : 5",
                            // Digits of other scripts are not read as numbers.
                            "retry: \uff15\uff10", "retry: \u0665"}) {
    EXPECT_EQ(retryOf(block), std::nullopt) << block;
  }
  // Beyond 64 bits the value saturates rather than wrapping round.
  const double largest = static_cast<double>(std::numeric_limits<int64_t>::max()) / 1000.0;
  EXPECT_EQ(retryOf("retry: 9223372036854775807"), largest);
  EXPECT_EQ(retryOf("retry: 9223372036854775808"), largest);
  EXPECT_EQ(retryOf("retry: 123456789012345678901234567890"), largest);
}

TEST(LDEventParser, LinesEndAtLineFeedsReturnsOrBoth) {
  EXPECT_EQ(parse("data: a\r\ndata: b\rdata: c\ndata: d")->data(), "a\nb\nc\nd");
  const auto parser = LDEventParser::eventParserWithEventString("event: e\r\ndata: x\r\n\r\nrest");
  ASSERT_NE(parser->event(), nullptr);
  EXPECT_EQ(parser->event()->event(), "e");
  EXPECT_EQ(parser->event()->data(), "x");
  EXPECT_EQ(parser->remainingEventString(), "rest");
  EXPECT_EQ(parser->linesToParseFromEventString(),
            (std::vector<std::string>{"event: e", "data: x", "", ""}));
  // Any two line breaks in a row end the block.
  for (const char* text : {"data: x\r\r", "data: x\n\r\n", "data: x\r\n\r"}) {
    LDEventParser crParser(text);
    ASSERT_NE(crParser.event(), nullptr) << text;
    EXPECT_EQ(crParser.event()->data(), "x");
    EXPECT_EQ(crParser.remainingEventString(), std::nullopt);
  }
}

TEST(LDEventParser, ParsesTheFirstBlockOfATextAndTellsWhatFollows) {
  LDEventParser parser("data: a\ndata: b\n\n");
  ASSERT_NE(parser.event(), nullptr);
  EXPECT_EQ(parser.event()->data(), "a\nb");
  EXPECT_EQ(parser.event()->event(), std::nullopt);
  EXPECT_EQ(parser.remainingEventString(), std::nullopt);
  EXPECT_EQ(parser.retryInterval(), std::nullopt);

  parser.setEventString("retry: 5000\n\ndata: b\n\n");
  parser.parseEventString();
  EXPECT_EQ(parser.event()->data(), std::nullopt);
  EXPECT_EQ(parser.retryInterval(), 5.0);
  EXPECT_EQ(parser.remainingEventString(), "data: b\n\n");
  EXPECT_EQ(parser.remainingEventStringAfterParsingEventString(), "data: b\n\n");

  // Extra line feeds between blocks hold no block: the next one is found.
  parser.setEventString("data: a\n\n\n\ndata: b\n\n");
  parser.parseEventString();
  ASSERT_TRUE(parser.remainingEventString());
  LDEventParser rest(*parser.remainingEventString());
  ASSERT_NE(rest.event(), nullptr);
  EXPECT_EQ(rest.event()->data(), "b");

  for (const Text& text :
       {Text(), Text(""), Text("data: a\n"), Text("data: a\r\n"), Text("\n\n"), Text("\n\n\r\n")}) {
    LDEventParser nothing(text);
    EXPECT_EQ(nothing.event(), nullptr) << text.value_or("(null)");
    EXPECT_EQ(nothing.remainingEventString(), std::nullopt);
    EXPECT_EQ(nothing.linesToParseFromEventString(), std::nullopt);
  }
}
