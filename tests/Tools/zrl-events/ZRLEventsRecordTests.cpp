// The lines of zrl-events: the fast path for ASCII text gives exactly what
// nlohmann::json gives, whatever the bytes and wherever they fall in the
// steps of the scan (sixteen bytes, eight without SSE2), the fast line
// writer gives the general path's lines within the room it asks for, and
// no line holds a line break of any kind.

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Tools/zrl-events/ZRLEventsRecord.h"

namespace {

// Pieces of random text: quotes, backslashes and controls among plain
// ASCII; UTF-8, the three separators included, and ill-formed bytes.
const std::string kASCII = "aZ \"\\\n\t\x01\x1F\x7F/{";
const std::vector<std::string> kOther = {
    "\xC3\xA9",         "\xE2\x80\xA8", "\xE2\x80\xA9", "\xC2\x85",
    "\xF0\x9F\x98\x80", "\xFF",         "\xE2\x80",     "\xC2"};

std::string randomText(std::mt19937& random, size_t longest, bool asciiOnly) {
  const size_t kinds = kASCII.size() + (asciiOnly ? 0 : kOther.size());
  std::string text;
  for (size_t n = std::uniform_int_distribution<size_t>(0, longest)(random); n > 0; --n) {
    const size_t i = std::uniform_int_distribution<size_t>(0, kinds - 1)(random);
    text += i < kASCII.size() ? kASCII.substr(i, 1) : kOther[i - kASCII.size()];
  }
  return text;
}

// nlohmann::json's string, then the three separators as escapes, done
// independently of the code under test.
std::string expectedJSON(const std::string& text) {
  std::string json =
      nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  for (const auto& [from, to] : {std::pair<std::string, std::string>{"\xC2\x85", "\\u0085"},
                                 {"\xE2\x80\xA8", "\\u2028"},
                                 {"\xE2\x80\xA9", "\\u2029"}}) {
    for (size_t at = json.find(from); at != std::string::npos; at = json.find(from, at))
      json.replace(at, from.size(), to);
  }
  return json;
}

std::string actualJSON(const std::string& text) {
  std::string out = "prefix:";
  ZRLEventsRecord::appendString(out, text);
  EXPECT_EQ(out.rfind("prefix:", 0), 0U) << "the text before is kept";
  return out.substr(7);
}

TEST(ZRLEventsRecord, StringsMatchNlohmannForEveryByteAtEveryPlace) {
  // Each byte alone, and at each place of a 16-byte stretch of plain text.
  const std::string plain = "abcdefghijklmnop";
  for (int value = 0; value < 256; ++value) {
    const char byte = static_cast<char>(value);
    ASSERT_EQ(actualJSON(std::string(1, byte)), expectedJSON(std::string(1, byte))) << value;
    for (size_t at = 0; at <= plain.size(); ++at) {
      std::string text = plain;
      text.insert(at, 1, byte);
      ASSERT_EQ(actualJSON(text), expectedJSON(text)) << value << " at " << at;
    }
  }
  std::mt19937 random(20261206);
  for (int round = 0; round < 5000; ++round) {
    const std::string text = randomText(random, 40, false);
    ASSERT_EQ(actualJSON(text), expectedJSON(text)) << "round " << round;
  }
  // Valid text comes back unchanged through a JSON parser.
  const std::string valid = "q\"\\/\u00e9\u2028\u2029\u0085\U0001F600\t\x01\x7F";
  EXPECT_EQ(nlohmann::json::parse(actualJSON(valid)).get<std::string>(), valid);
}

TEST(ZRLEventsRecord, LinesHoldTheKeysInOrderAndTheFastWriterGivesThemWithinItsRoom) {
  LDEvent closed;
  closed.setReadyState(LDEventReadyStateClosed);
  closed.setId("7\n");
  closed.setEvent("e\xE2\x80\xA8");
  closed.setData("line one\r\nline two\xC2\x85");
  closed.setError(NSError::errorWithDomain("Domain\"X", -1005, "Lost \u2029 it."));
  std::string line;
  ZRLEventsRecord::appendLine(line, "error", closed);
  EXPECT_EQ(line, R"({"type":"error","readyState":2,"id":"7\n","event":"e\u2028",)"
                  R"("data":"line one\r\nline two\u0085",)"
                  R"("error":{"domain":"Domain\"X","code":-1005,"message":"Lost \u2029 it."}})"
                  "\n");

  // Random records: where the fast writer writes a line, it is the general one.
  std::mt19937 random(20261207);
  const auto text = [&]() -> std::optional<std::string> {
    if (random() % 4 == 0) return std::nullopt;
    return randomText(random, 70, true);
  };
  size_t fast = 0;
  for (int round = 0; round < 3000; ++round) {
    LDEvent record;
    record.setReadyState(round % 5 == 4 ? 1234567 : round % 3);
    record.setId(text());
    record.setEvent(text());
    record.setData(text());
    if (round % 7 == 6) record.setData(record.data().value_or("") + "caf\xC3\xA9");
    if (round % 50 == 49) record.setError(NSError::errorWithDomain("D", 2, "m"));
    const std::string type = round % 2 == 0 ? "message" : "t\"y\x01pe";
    std::string expected;
    ZRLEventsRecord::appendLine(expected, type, record);

    // Exactly the room asked for, so that a write past it is a heap
    // overflow under the address sanitizer, and a canary past that.
    const std::string prefix = ZRLEventsRecord::linePrefix(type);
    const size_t room = ZRLEventsRecord::lineRoom(prefix, record);
    std::vector<char> buffer(room + 1, '#');
    const char* end = ZRLEventsRecord::writeLine(buffer.data(), prefix, record);
    ASSERT_EQ(buffer[room], '#') << "round " << round;
    const bool general =
        record.error() || std::ranges::any_of(expected, [](unsigned char c) { return c >= 0x80; });
    ASSERT_EQ(end == nullptr, general) << "round " << round;
    if (general) continue;
    ASSERT_EQ(std::string_view(buffer.data(), static_cast<size_t>(end - buffer.data())), expected)
        << "round " << round;
    ++fast;
  }
  EXPECT_GT(fast, 1000U);
}

}  // namespace
