#include <gtest/gtest.h>

#include "LDEventSource/LDEventStreamReader.h"

namespace {

using Trace = std::vector<std::string>;
using Cutting = std::vector<std::string_view>;
const std::string kOver = "over the limit";

// A block's fields as "id|event|data|retry", "-" for an absent one.
std::string line(const LDEventParser::BlockFields& fields) {
  const auto show = [](std::optional<std::string_view> text) {
    return text ? std::string(*text) : "-";
  };
  const auto& retry = fields.retryInterval;
  return show(fields.id) + "|" + show(fields.event) + "|" + show(fields.data) + "|" +
         (retry ? std::to_string(*retry) : "-");
}
std::string data(const std::string& text) {
  return "-|-|" + text + "|-";
}

// The records read from the chunks, and kOver once a block is too long.
Trace read(const Cutting& chunks, std::size_t maxEventSize = LDEventSourceMaxEventSize) {
  Trace trace;
  LDEventStreamReader reader([&](const auto& fields) { trace.push_back(line(fields)); },
                             maxEventSize);
  for (const std::string_view chunk : chunks) {
    if (!reader.appendBytes(chunk)) {
      EXPECT_EQ(reader.pendingSize(), 0U);
      trace.push_back(kOver);
      break;
    }
    EXPECT_LE(reader.pendingSize(), maxEventSize + 2);
  }
  return trace;
}

Cutting inPiecesOf(std::string_view stream, std::size_t size) {
  Cutting chunks;
  for (std::size_t begin = 0; begin < stream.size(); begin += size)
    chunks.push_back(stream.substr(begin, size));
  return chunks;
}

// Whole, byte by byte, and in three at every pair of points: every place a
// character, a CR LF pair or a byte order mark can be split in.
void expectEveryCuttingReads(std::string_view stream, const Trace& expected,
                             std::size_t maxEventSize = LDEventSourceMaxEventSize) {
  std::vector<Cutting> cuttings = {{stream}, inPiecesOf(stream, 1)};
  for (std::size_t first = 0; first <= stream.size(); ++first) {
    for (std::size_t second = first; second <= stream.size(); ++second) {
      cuttings.push_back(Cutting{stream.substr(0, first), stream.substr(first, second - first),
                                 stream.substr(second)});
    }
  }
  for (const Cutting& cutting : cuttings) {
    const Trace trace = read(cutting, maxEventSize);
    if (trace != expected) {
      ADD_FAILURE() << testing::PrintToString(cutting) << " read " << testing::PrintToString(trace)
                    << "\n  want " << testing::PrintToString(expected);
      return;
    }
  }
}

}  // namespace

TEST(LDEventStreamReader, RecordsDoNotDependOnHowTheStreamIsCut) {
  const std::string fffd = "\ufffd";
  const std::pair<std::string, Trace> streams[] = {
      {"data: a\ndata: b\n\n", {data("a\nb")}},
      {"id: 1\r\nevent: e\r\ndata: x\r\n\r\n", {"1|e|x|-"}},
      {"data: a\rdata: b\r\rdata: c\r\r", {data("a\nb"), data("c")}},
      {"data: a\r\n\ndata: b\n\r\ndata: c\r\r\n", {data("a"), data("b"), data("c")}},
      // Runs of line breaks between blocks hold no block; a comment block is one.
      {"\n\n\r\n:keep-alive\n\n\n\n\ndata: b\n\n\n", {"-|-|-|-", data("b")}},
      // One byte order mark at the start is dropped; a later one is text.
      {"\xEF\xBB\xBF\r\ndata: a\n\n\xEF\xBB\xBF"
       "data: b\n\n",
       {data("a"), "-|-|-|-"}},
      {"data: \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n\n", {data("\u00e9\u20ac\U0001F600")}},
      // Each maximal subpart of an ill-formed sequence is one U+FFFD.
      {"data: a\xF1\x80\x80\xE1\x80\xC2"
       "b\x80"
       "c\x80\xBF"
       "d\n\n",
       {data("a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d")}},
      {"data: \xED\xA0\x80\xC0\xAF\xE0\x80\xF4\x90\xE2\x82\n\n",
       {data(fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd + fffd)}},
      {"retry: 2500\ndata: r\n\nretry: x\n\n", {"-|-|r|2.500000", "-|-|-|-"}},
      {"event: e\ndata: a\vb\fc\u0085\u2028\u2029\n\n", {"-|e|a\vb\fc\u0085\u2028\u2029|-"}},
      // A block not yet ended is kept, not delivered.
      {"data: a\n\ndata: b\n", {data("a")}},
      {"data: a\r", {}},
  };
  for (const auto& [stream, records] : streams)
    expectEveryCuttingReads(stream, records);
}

TEST(LDEventStreamReader, LongStreamsReadTheSameInAnySizeOfChunk) {
  // Blocks, line breaks and characters fall across the reader's internal
  // slices as well as across chunks.
  std::string stream = "\xEF\xBB\xBF";
  Trace expected;
  const std::string endings[] = {"\n", "\r\n", "\r"};
  for (int i = 0; i < 4000; ++i) {
    const std::string& end = endings[i % 3];
    const std::string value = "\u00e9" + std::to_string(i) + std::string(i % 97, 'x') + "\u20ac";
    stream.append("id: ").append(std::to_string(i)).append(end);
    stream.append("data: ").append(value).append(end).append(end);
    if (i % 5 == 0) stream += end;
    expected.push_back(std::to_string(i) + "|-|" + value + "|-");
  }
  const std::string large(300000, 'L');
  stream += "data: " + large + "\r\n\r\n";
  expected.push_back(data(large));
  for (const std::size_t size : {std::size_t{1}, std::size_t{7}, std::size_t{4096},
                                 std::size_t{65536}, std::size_t{65537}, stream.size()}) {
    const Trace trace = read(inPiecesOf(stream, size));
    EXPECT_TRUE(trace == expected) << "chunks of " << size;
  }
}

TEST(LDEventStreamReader, ABlockOverTheLimitFailsTheSameWayInAnyChunks) {
  constexpr std::size_t kLimit = 8;
  // Blocks of exactly the limit pass; the size is that of the decoded text
  // with LF line breaks, without the terminator or leading line feeds.
  expectEveryCuttingReads(
      "\xEF\xBB\xBF"
      "data: 12\n\n\ndata: 34\r\n\r\ndata: \xC3\xA9\n\n",
      {data("12"), data("34"), data("\u00e9")}, kLimit);
  // Records before the long block arrive; nothing after it does.
  expectEveryCuttingReads("data: 12\n\ndata: 123\n\ndata: c\n\n", {data("12"), kOver}, kLimit);
  expectEveryCuttingReads("data: 1\xC3\xA9\n\n", {kOver}, kLimit);
  expectEveryCuttingReads("data: 123456789", {kOver}, kLimit);
  expectEveryCuttingReads("data: 12\n", {}, kLimit);
  // Line breaks alone hold no block, and nothing of them piles up.
  expectEveryCuttingReads(std::string(20, '\n') + "data: 1\n\n", {data("1")}, kLimit);
}
// (The event-stream client's connection tests end bodies with a block and a
// character unfinished, and past the limit, and check that nothing of them
// reaches the next connection, which starts with a byte order mark.)
