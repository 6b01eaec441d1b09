#include <ostream>

#include <gtest/gtest.h>

#include "LDEventSource/LDEventStreamReader.h"

namespace {

using Text = std::optional<std::string>;

struct Record {
  Text id = std::nullopt;
  Text event = std::nullopt;
  Text data = std::nullopt;
  std::optional<double> retry = std::nullopt;
  bool operator==(const Record&) const = default;

  friend void PrintTo(const Record& record, std::ostream* out) {
    const auto show = [&](const Text& text) {
      *out << (text ? testing::PrintToString(*text) : std::string("(null)"));
    };
    *out << "{id ";
    show(record.id);
    *out << ", event ";
    show(record.event);
    *out << ", data ";
    show(record.data);
    *out << ", retry " << (record.retry ? std::to_string(*record.retry) : "(null)") << "}";
  }
};

Record data(std::string text) {
  return {.data = std::move(text)};
}

Text copy(std::optional<std::string_view> text) {
  return text ? Text(*text) : std::nullopt;
}

Record recordOf(const LDEventParser::BlockFields& fields) {
  return {copy(fields.id), copy(fields.event), copy(fields.data), fields.retryInterval};
}

struct Outcome {
  std::vector<Record> records;
  bool exceededSizeLimit = false;
  bool operator==(const Outcome&) const = default;

  friend void PrintTo(const Outcome& outcome, std::ostream* out) {
    *out << testing::PrintToString(outcome.records)
         << (outcome.exceededSizeLimit ? " then over the size limit" : "");
  }
};

using Cutting = std::vector<std::string_view>;

Outcome read(const Cutting& chunks, std::size_t maxEventSize = LDEventSourceMaxEventSize) {
  Outcome outcome;
  LDEventStreamReader reader(
      [&](const LDEventParser::BlockFields& fields) {
        outcome.records.push_back(recordOf(fields));
      },
      maxEventSize);
  for (const std::string_view chunk : chunks) {
    if (!reader.appendBytes(chunk)) {
      outcome.exceededSizeLimit = true;
      EXPECT_EQ(reader.pendingSize(), 0U);
      break;
    }
    EXPECT_LE(reader.pendingSize(), maxEventSize + 2);
  }
  return outcome;
}

Cutting cutAt(std::string_view stream, const std::vector<std::size_t>& points) {
  Cutting chunks;
  std::size_t begin = 0;
  for (const std::size_t point : points) {
    chunks.push_back(stream.substr(begin, point - begin));
    begin = point;
  }
  chunks.push_back(stream.substr(begin));
  return chunks;
}

Cutting inPiecesOf(std::string_view stream, std::size_t size) {
  Cutting chunks;
  for (std::size_t begin = 0; begin < stream.size(); begin += size) {
    chunks.push_back(stream.substr(begin, size));
  }
  return chunks;
}

// Whole, byte by byte, in two at every point and in three at every pair of
// points: every place a character, a CR LF pair or a byte order mark can be
// split in.
std::vector<Cutting> everyCutting(std::string_view stream) {
  std::vector<Cutting> cuttings = {{stream}, inPiecesOf(stream, 1)};
  for (std::size_t first = 0; first <= stream.size(); ++first) {
    for (std::size_t second = first; second <= stream.size(); ++second) {
      cuttings.push_back(cutAt(stream, {first, second}));
    }
  }
  return cuttings;
}

void expectEveryCuttingReads(std::string_view stream, const Outcome& expected,
                             std::size_t maxEventSize = LDEventSourceMaxEventSize) {
  for (const Cutting& cutting : everyCutting(stream)) {
    const Outcome outcome = read(cutting, maxEventSize);
    if (outcome != expected) {
      ADD_FAILURE() << "stream " << testing::PrintToString(std::string(stream)) << " cut as "
                    << testing::PrintToString(cutting) << "\n  read "
                    << testing::PrintToString(outcome) << "\n  want "
                    << testing::PrintToString(expected);
      return;
    }
  }
}

}  // namespace

TEST(LDEventStreamReader, RecordsDoNotDependOnHowTheStreamIsCut) {
  const std::string fffd = "\ufffd";
  const std::vector<std::pair<std::string, std::vector<Record>>> streams = {
      {"data: a\ndata: b\n\n", {data("a\nb")}},
      {"id: 1\r\nevent: e\r\ndata: x\r\n\r\n", {{.id = "1", .event = "e", .data = "x"}}},
      {"data: a\rdata: b\r\rdata: c\r\r", {data("a\nb"), data("c")}},
      {"data: a\r\n\ndata: b\n\r\ndata: c\r\r\n", {data("a"), data("b"), data("c")}},
      // Runs of line breaks between blocks hold no block; a comment block is one.
      {"\n\n\r\n:keep-alive\n\n\n\n\ndata: b\n\n\n", {Record{}, data("b")}},
      // One byte order mark at the start is dropped; a later one is text.
      {"\xEF\xBB\xBF\r\ndata: a\n\n\xEF\xBB\xBF"
       "data: b\n\n",
       {data("a"), Record{}}},
      {"data: \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n\n", {data("\u00e9\u20ac\U0001F600")}},
      // Each maximal subpart of an ill-formed sequence is one U+FFFD.
      {"data: a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d\n\n",
       {data("a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d")}},
      {"data: \xED\xA0\x80\xC0\xAF\xE0\x80\xF4\x90\xE2\x82\n\n",
       {data(fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd)}},
      {"retry: 2500\ndata: r\n\nretry: x\n\n", {{.data = "r", .retry = 2.5}, Record{}}},
      {"event: e\ndata: a\vb\fc\u0085\u2028\u2029\n\n",
       {{.event = "e", .data = "a\vb\fc\u0085\u2028\u2029"}}},
      // A block not yet ended is kept, not delivered.
      {"data: a\n\ndata: b\n", {data("a")}},
      {"data: a\r", {}},
  };
  for (const auto& [stream, records] : streams) {
    expectEveryCuttingReads(stream, {records});
  }
}

TEST(LDEventStreamReader, LongStreamsReadTheSameInAnySizeOfChunk) {
  // Blocks, line breaks and characters fall across the reader's internal
  // slices as well as across chunks.
  std::string stream = "\xEF\xBB\xBF";
  std::vector<Record> expected;
  const std::vector<std::string> endings = {"\n", "\r\n", "\r"};
  for (int i = 0; i < 4000; ++i) {
    const std::string& end = endings[i % endings.size()];
    const std::string value = "\u00e9" + std::to_string(i) + std::string(i % 97, 'x') + "\u20ac";
    for (const std::string& part : {"id: " + std::to_string(i), end, "data: " + value, end, end}) {
      stream += part;
    }
    if (i % 5 == 0) stream += end;
    expected.push_back({.id = std::to_string(i), .data = value});
  }
  const std::string large(300000, 'L');
  stream += "data: " + large + "\r\n\r\n";
  expected.push_back(data(large));
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{7}, std::size_t{4096}, std::size_t{65535}, std::size_t{65536},
        std::size_t{65537}, std::size_t{100000}, stream.size()}) {
    const Outcome outcome = read(inPiecesOf(stream, size));
    ASSERT_EQ(outcome.records.size(), expected.size()) << "chunks of " << size;
    EXPECT_TRUE(outcome.records == expected) << "chunks of " << size;
  }
}

TEST(LDEventStreamReader, ABlockOverTheLimitFailsTheSameWayInAnyChunks) {
  constexpr std::size_t kLimit = 8;
  // Blocks of exactly the limit pass; the size is that of the decoded text
  // with LF line breaks, without the terminator or leading line feeds.
  expectEveryCuttingReads(
      "\xEF\xBB\xBF"
      "data: 12\n\n\ndata: 34\r\n\r\ndata: \xC3\xA9\n\n",
      {{data("12"), data("34"), data("\u00e9")}}, kLimit);
  // Records before the long block arrive; nothing after it does.
  expectEveryCuttingReads("data: 12\n\ndata: 123\n\ndata: c\n\n", {{data("12")}, true}, kLimit);
  expectEveryCuttingReads("data: 1\xC3\xA9\n\n", {{}, true}, kLimit);
  expectEveryCuttingReads("data: 123456789", {{}, true}, kLimit);
  expectEveryCuttingReads("data: 12\n", {{}, false}, kLimit);
}

TEST(LDEventStreamReader, AfterTheLimitTheReaderIgnoresTheBodyUntilReset) {
  std::vector<Text> received;
  LDEventStreamReader reader(
      [&](const LDEventParser::BlockFields& fields) { received.push_back(copy(fields.data)); }, 16);
  EXPECT_FALSE(reader.appendBytes(std::string(17, 'x')));
  EXPECT_TRUE(reader.didExceedSizeLimit());
  EXPECT_EQ(reader.pendingSize(), 0U);
  EXPECT_FALSE(reader.appendBytes("\n\ndata: late\n\n"));
  EXPECT_TRUE(received.empty());
  reader.reset();
  EXPECT_FALSE(reader.didExceedSizeLimit());
  EXPECT_TRUE(reader.appendBytes("data: next\n\n"));
  EXPECT_EQ(received, std::vector<Text>{"next"});
}

TEST(LDEventStreamReader, ResetStartsANewBodyWithNothingLeftOver) {
  std::vector<Text> received;
  LDEventStreamReader reader(
      [&](const LDEventParser::BlockFields& fields) { received.push_back(copy(fields.data)); });
  // An unfinished block, a character begun and a byte order mark.
  EXPECT_TRUE(
      reader.appendBytes("\xEF\xBB\xBF"
                         "data: a\n\ndata: unfinished"));
  reader.reset();
  EXPECT_TRUE(reader.appendBytes("data: b\n\ndata: x\xE2\x82"));
  reader.reset();
  EXPECT_TRUE(reader.appendBytes("\xEF\xBB"));
  EXPECT_TRUE(
      reader.appendBytes("\xBF"
                         "data: \xAC\n\n"));
  EXPECT_EQ(received, (std::vector<Text>{"a", "b", "\ufffd"}));
  // Line feeds alone hold no block, and nothing of them piles up.
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(reader.appendBytes("\n"));
  EXPECT_LE(reader.pendingSize(), 1U);
}
