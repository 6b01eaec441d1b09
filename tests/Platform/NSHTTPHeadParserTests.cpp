// The reading of an answer's heads, line by line as the network hands them
// over, without a network, and the header fields they fill.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Platform/Net/NSHTTPHeadParser.h"

namespace {

using Kind = NSHTTPHeadParser::Line;

// PREFIX followed by N ("h7"). Built by appending: g++ 12 at -O3 reports a
// false -Wrestrict inside an inlined operator+ of a literal and a temporary.
std::string numbered(const char* prefix, int n) {
  std::string text = prefix;
  text += std::to_string(n);
  return text;
}

// Reads the lines; the fields of the head as "name=value; ", and the kind
// of each line as a letter: Status, Field, skipped (x), End.
std::string read(NSHTTPHeadParser& parser, const std::vector<std::string>& lines,
                 std::string* kinds = nullptr) {
  for (const std::string& line : lines) {
    const Kind kind = parser.read(line);
    if (kinds) kinds->push_back("SFxE"[static_cast<size_t>(kind)]);
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
  std::string kinds;
  // An interim head, then the final one: each status line starts afresh.
  const std::string fields =
      read(parser,
           {"HTTP/1.1 100 Continue\r\n", "X-Interim: yes\r\n", "\r\n", "HTTP/1.1 201 Created\r\n",
            "X-Multi: a\r\n", "x-multi:b \r\n", "X-Folded: first\r\n", "  second \t\r\n",
            "\tthird\r\n", "X-Empty:\r\n", "Not a field\r\n", "Bad Name: x\r\n", ": no name\r\n",
            "X-Colons: a: b\r\n", "\r\n"},
           &kinds);
  EXPECT_EQ(fields, "X-Multi=a, b; X-Folded=first second third; X-Empty=; X-Colons=a: b; ");
  EXPECT_EQ(kinds, "SFESFFFFFFxxxFE");
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

TEST(NetHeaderFields, CopiesOfAnIndexedSetAreIndependentAndKeepFindingEveryName) {
  NSHTTPHeaderFields original;
  constexpr int kCount = 24;  // past the point where the names are indexed
  for (int i = 0; i < kCount; ++i)
    original.setValue(numbered("v", i), numbered("X-Field-", i));

  NSHTTPHeaderFields copy = original;
  copy.setValue("changed", "x-field-3");
  copy.remove("X-FIELD-0");
  copy.addValue("more", "X-Field-5");
  for (int i = 0; i < kCount; ++i)
    EXPECT_EQ(original.valueForField(numbered("x-field-", i)), numbered("v", i)) << "original";
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
