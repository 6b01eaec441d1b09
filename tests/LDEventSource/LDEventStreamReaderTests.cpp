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

// The rules of each field, of line ends and of the text's decoding.
TEST(LDEventStreamReader, RecordsDoNotDependOnHowTheStreamIsCut) {
  const std::string fffd = "\ufffd";
  const std::pair<std::string, Trace> streams[] = {
      // Values lose all leading whitespace (tabs and Unicode space
      // separators) and keep the rest; so do names.
      {"data:  a\n\ndata:\ta\n\ndata:\u00a0\u2003\u3000\u202f a\n\ndata:a\n\n \tdata: a\n\n",
       Trace(5, data("a"))},
      {"data: x  \t\n\ndata: a: b\n\n", {data("x  \t"), data("a: b")}},
      // Line breaks are not whitespace, and other format characters are data.
      {"event: e\ndata: \v\fa\u0085b\u2028c\u2029\n\n", {"-|e|\v\fa\u0085b\u2028c\u2029|-"}},
      {"data: \ufeffa\n\n", {data("\ufeffa")}},
      // The last event and id count; data lines are joined.
      {"event: ping\nid: 1\ndata: a\nevent: pong\nid: 2\ndata: b\n\n", {"2|pong|a\nb|-"}},
      // A field without a value adds nothing, not even an empty data line.
      {"data: a\ndata:\ndata:   \ndata\ndata: b\n\n", {data("a\nb")}},
      {"id:\nevent: \t\n\nid: 1\nid:\n\n", {"-|-|-|-", "1|-|-|-"}},
      // A line that is not a field is passed over; the fields after it count.
      {"datum: x\n:note\nevent: ping\nDATA: y\nid: 7\ndata: z\n\n", {"7|ping|z|-"}},
      {"data: a\r\ndata: b\rdata: c\ndata: d\n\n", {data("a\nb\nc\nd")}},
      // Blocks without any field still make a record.
      {":comment\n\n:\n\n \n\ndata : x\n\nData: x\n\n: data: x\n\n\u00a0:x\n\n",
       Trace(7, "-|-|-|-")},
      // "retry" counts only values of ASCII digits, in milliseconds; beyond 64
      // bits it saturates rather than wrapping round.
      {"retry: 2500\ndata: r\n\nretry: 0\n\nretry:\t007\n\n",
       {"-|-|r|2.500000", "-|-|-|0.000000", "-|-|-|0.007000"}},
      {"retry: 1000\nretry: x\nretry: 3000\n\nretry: 1000\nretry: -5\n\n",
       {"-|-|-|3.000000", "-|-|-|1.000000"}},
      // Digits of other scripts are not read as numbers.
      {"retry: -1\n\nretry: +1\n\nretry: 1.5\n\nretry: 10s\n\nretry: 5 0\n\nretry: 5 \n\n"
       "retry:\n\nretry\n\nretry : 5\n\nretry: \uff15\uff10\n\nretry: \u0665\n\n",
       Trace(11, "-|-|-|-")},
      {"retry: 9223372036854775807\n\nretry: 9223372036854775808\n\n"
       "retry: 123456789012345678901234567890\n\n",
       Trace(3, "-|-|-|9223372036854776.000000")},
      // Line ends, byte order marks and the decoding of the text.
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
    EXPECT_TRUE(read(inPiecesOf(stream, size)) == expected) << "chunks of " << size;
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
