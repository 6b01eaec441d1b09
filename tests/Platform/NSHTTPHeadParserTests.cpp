// The reading of an answer's heads, line by line as the network hands them
// over, without a network.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Net/NSHTTPHeadParser.h"

namespace {

using Kind = NSHTTPHeadParser::Line;

// Reads the lines; the fields of the head as "name=value; ", and the kind
// of each line.
std::string read(NSHTTPHeadParser& parser, const std::vector<std::string>& lines,
                 std::vector<Kind>* kinds = nullptr) {
  for (const std::string& line : lines) {
    const Kind kind = parser.read(line);
    if (kinds) kinds->push_back(kind);
  }
  std::string text;
  for (const auto& [name, value] : parser.fields().fields())
    text.append(name).append("=").append(value).append("; ");
  return text;
}

}  // namespace

TEST(NSHTTPHeadParser, StatusLinesFieldsFoldsAndRepeats) {
  NSHTTPHeadParser parser;
  EXPECT_FALSE(parser.sawStatusLine());
  std::vector<Kind> kinds;
  // An interim head, then the final one: each status line starts afresh.
  const std::string fields =
      read(parser,
           {"HTTP/1.1 100 Continue\r\n", "X-Interim: yes\r\n", "\r\n", "HTTP/1.1 201 Created\r\n",
            "X-Multi: a\r\n", "x-multi:b \r\n", "X-Folded: first\r\n", "  second \t\r\n",
            "\tthird\r\n", "X-Empty:\r\n", "Not a field\r\n", "Bad Name: x\r\n", ": no name\r\n",
            "X-Colons: a: b\r\n", "\r\n"},
           &kinds);
  EXPECT_EQ(fields, "X-Multi=a, b; X-Folded=first second third; X-Empty=; X-Colons=a: b; ");
  EXPECT_EQ(kinds, (std::vector<Kind>{Kind::Status, Kind::Field, Kind::End, Kind::Status,
                                      Kind::Field, Kind::Field, Kind::Field, Kind::Field,
                                      Kind::Field, Kind::Field, Kind::Skipped, Kind::Skipped,
                                      Kind::Skipped, Kind::Field, Kind::End}));
  EXPECT_TRUE(parser.sawStatusLine());
  EXPECT_EQ(parser.status(), 201);
  EXPECT_EQ(parser.takeFields().valueForField("x-folded"), "first second third");
  EXPECT_TRUE(parser.fields().empty());
  // After the fields are taken, a fold has nothing to continue.
  EXPECT_EQ(parser.read(" stray"), Kind::Skipped);

  // A fold before any field continues nothing; lines end with or without
  // CR LF.
  NSHTTPHeadParser bare;
  EXPECT_EQ(read(bare, {" folded first", "A: 1\n", "A: 2"}), "A=1, 2; ");
  EXPECT_FALSE(bare.sawStatusLine());
}

TEST(NSHTTPHeadParser, StatusCodesAndTokens) {
  const std::pair<std::string, long> statuses[] = {
      {"HTTP/1.1 200 OK", 200}, {"HTTP/1.0 404", 404}, {"HTTP/1.1  301 Moved", 301},
      {"HTTP/2 204", 204},      {"HTTP/1.1 20", 0},    {"HTTP/1.1 2000 Odd", 0},
      {"HTTP/1.1 abc", 0},      {"HTTP/1.1", 0},       {"HTTP/1.1 ", 0},
  };
  for (const auto& [line, status] : statuses) {
    NSHTTPHeadParser parser;
    EXPECT_EQ(parser.read(line), Kind::Status) << line;
    EXPECT_EQ(parser.status(), status) << line;
  }
  EXPECT_TRUE(NSHTTPHeadParser::isToken("X-Api_Key.1!#$%&'*+^`|~"));
  for (const char* text : {"", "a b", "a:b", "caf\xC3\xA9", "a\tb", "(x)"})
    EXPECT_FALSE(NSHTTPHeadParser::isToken(text)) << text;
  EXPECT_EQ(NSHTTPHeadParser::trimmed(" \t a b \t"), "a b");
  EXPECT_EQ(NSHTTPHeadParser::trimmed(" \t "), "");
}

TEST(NSHTTPHeadParser, AHeadOfManyFieldsKeepsEveryField) {
  // Distinct and repeated names, far past the size from which the fields
  // are indexed.
  constexpr int kFields = 100000;
  NSHTTPHeadParser parser;
  parser.read("HTTP/1.1 200 OK");
  for (int i = 0; i < kFields; ++i) {
    parser.read("f" + std::to_string(i) + ": " + std::to_string(i % 10));
    parser.read("R: 1");
  }
  const NSHTTPHeaderFields& fields = parser.fields();
  EXPECT_EQ(fields.fields().size(), static_cast<size_t>(kFields + 1));
  EXPECT_EQ(fields.valueForField("F99999"), "9");
  EXPECT_EQ(fields.valueForField("r")->size(), static_cast<size_t>(3 * kFields - 2));
}
