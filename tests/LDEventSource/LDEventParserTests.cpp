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

// Blocks and the record each makes, as "id|event|data" with "-" for an
// absent field.
TEST(LDEventParser, EachFieldFollowsItsOwnRules) {
  const std::pair<std::string, std::string> blocks[] = {
      // Values lose all leading whitespace (tabs and Unicode space
      // separators) and keep the rest; so do names.
      {"data:  a", "-|-|a"},
      {"data:\ta", "-|-|a"},
      {"data:\u00a0\u2003\u3000\u202f a", "-|-|a"},
      {"data: x  \t", "-|-|x  \t"},
      {"data: a: b", "-|-|a: b"},
      {"data:a", "-|-|a"},
      {" \tdata: a", "-|-|a"},
      // Line breaks are not whitespace, and other format characters are data.
      {"data: \v\fa\u0085b\u2028c\u2029", "-|-|\v\fa\u0085b\u2028c\u2029"},
      {"data: \ufeffa", "-|-|\ufeffa"},
      // The last event and id count; data lines are joined.
      {"event: ping\nid: 1\ndata: a\nevent: pong\nid: 2\ndata: b", "2|pong|a\nb"},
      // A field without a value adds nothing, not even an empty data line.
      {"data: a\ndata:\ndata:   \ndata\ndata: b", "-|-|a\nb"},
      {"id:\nevent: \t", "-|-|-"},
      {"id: 1\nid:", "1|-|-"},
      // A line that is not a field is passed over; the fields after it count.
      {"datum: x\n:note\nevent: ping\nDATA: y\nid: 7\ndata: z", "7|ping|z"},
      {"data: a\r\ndata: b\rdata: c\ndata: d", "-|-|a\nb\nc\nd"},
      // Blocks without any field still make a record.
      {":comment", "-|-|-"},
      {":", "-|-|-"},
      {" ", "-|-|-"},
      {"data : x", "-|-|-"},
      {"Data: x", "-|-|-"},
      {": data: x", "-|-|-"},
      {"\u00a0:x", "-|-|-"},
      {"retry: 1.5", "-|-|-"},
  };
  for (const auto& [block, expected] : blocks) {
    const LDEventPtr record = parse(block);
    ASSERT_NE(record, nullptr) << block;
    const auto show = [](const Text& text) { return text.value_or("-"); };
    EXPECT_EQ(show(record->id()) + "|" + show(record->event()) + "|" + show(record->data()),
              expected)
        << block;
    EXPECT_EQ(record->readyState(), LDEventReadyStateOpen);
    EXPECT_EQ(record->error(), nullptr);
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

TEST(LDEventParser, ParsesTheFirstBlockOfATextAndTellsWhatFollows) {
  const auto parser = LDEventParser::eventParserWithEventString("event: e\r\ndata: x\r\n\r\nrest");
  ASSERT_NE(parser->event(), nullptr);
  EXPECT_EQ(parser->event()->event(), "e");
  EXPECT_EQ(parser->remainingEventString(), "rest");
  EXPECT_EQ(parser->linesToParseFromEventString(),
            (std::vector<std::string>{"event: e", "data: x", "", ""}));
  // Any two line breaks in a row end the block; extra ones between blocks
  // hold no block.
  for (const char* text : {"data: x\r\r", "data: x\n\r\n", "data: x\r\n\r", "\n\r\ndata: x\n\n"}) {
    LDEventParser parsed(text);
    ASSERT_NE(parsed.event(), nullptr) << text;
    EXPECT_EQ(parsed.event()->data(), "x");
    EXPECT_EQ(parsed.remainingEventString(), std::nullopt);
  }
  parser->setEventString("retry: 5000\n\ndata: b\n\n");
  parser->parseEventString();
  EXPECT_EQ(parser->event()->data(), std::nullopt);
  EXPECT_EQ(parser->retryInterval(), 5.0);
  EXPECT_EQ(parser->remainingEventStringAfterParsingEventString(), "data: b\n\n");
  for (const Text& text :
       {Text(), Text(""), Text("data: a\n"), Text("data: a\r\n"), Text("\n\n"), Text("\n\n\r\n")}) {
    LDEventParser nothing(text);
    EXPECT_EQ(nothing.event(), nullptr) << text.value_or("(null)");
    EXPECT_EQ(nothing.remainingEventString(), std::nullopt);
    EXPECT_EQ(nothing.linesToParseFromEventString(), std::nullopt);
  }
}
