#include <gtest/gtest.h>

#include "LDEventSource/LDEventParser.h"

// (The rules of each field are checked through the stream reader, which
// parses every block of a stream cut in every way.)
TEST(LDEventParser, ParsesTheFirstBlockOfATextAndTellsWhatFollows) {
  using Text = std::optional<std::string>;
  const auto parser = LDEventParser::eventParserWithEventString(
      "id: 1\r\nevent: e\r\ndata: x\r\ndata: y\r\n\r\nrest");
  ASSERT_NE(parser->event(), nullptr);
  EXPECT_EQ(parser->event()->description(),
            "<LDEvent: readyState: OPEN, id: 1; event: e; data: x\ny>");
  EXPECT_EQ(parser->event()->error(), nullptr);
  EXPECT_EQ(parser->remainingEventString(), "rest");
  EXPECT_EQ(parser->linesToParseFromEventString(),
            (std::vector<std::string>{"id: 1", "event: e", "data: x", "data: y", "", ""}));
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
