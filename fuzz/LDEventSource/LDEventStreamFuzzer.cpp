// Feeds the stream reader arbitrary bytes in arbitrary chunks. The records
// must be those of the same bytes fed whole, and of the parser run block by
// block over the decoded text; the text held must stay within the size
// limit.
//
// Input: one byte choosing the size limit (a small one when its high bit is
// set), eight bytes seeding the chunk sizes, then the body.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "LDEventSource/LDEventParser.h"
#include "LDEventSource/LDEventStreamReader.h"
#include "LDEventSource/LDUTF8Decoder.h"

namespace {

struct Record {
  std::optional<std::string> id;
  std::optional<std::string> event;
  std::optional<std::string> data;
  std::optional<double> retry;
  bool operator==(const Record&) const = default;
};

struct Outcome {
  std::vector<Record> records;
  bool exceededSizeLimit = false;
  bool operator==(const Outcome&) const = default;
};

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "LDEventStreamFuzzer: %s\n", what);
    std::abort();
  }
}

Record recordOf(const LDEventPtr& event, std::optional<double> retry) {
  check(event != nullptr && event->readyState() == LDEventReadyStateOpen, "record not OPEN");
  return {event->id(), event->event(), event->data(), retry};
}

// Feeds the body in chunks whose sizes `nextSize` gives.
template <typename NextSize>
Outcome read(std::string_view body, std::size_t maxEventSize, NextSize nextSize) {
  Outcome outcome;
  LDEventStreamReader reader(
      [&](const LDEventParser::BlockFields& fields) {
        const auto copy = [](std::optional<std::string_view> text) {
          return text ? std::optional<std::string>(*text) : std::nullopt;
        };
        outcome.records.push_back(
            {copy(fields.id), copy(fields.event), copy(fields.data), fields.retryInterval});
      },
      maxEventSize);
  while (!body.empty()) {
    const std::string_view chunk = body.substr(0, nextSize());
    body.remove_prefix(chunk.size());
    if (!reader.appendBytes(chunk)) {
      outcome.exceededSizeLimit = true;
      check(reader.pendingSize() == 0, "text kept after the size limit");
      break;
    }
    check(reader.pendingSize() <= maxEventSize + 2, "text held beyond the size limit");
  }
  return outcome;
}

// The records the parser's text interface gives for the whole body, block
// after block.
std::vector<Record> parseWhole(std::string_view body) {
  std::string text;
  LDUTF8Decoder().decode(body, text);
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  std::vector<Record> records;
  std::optional<std::string> rest = std::move(text);
  while (rest) {
    LDEventParser parser(std::move(rest));
    if (!parser.event()) break;
    records.push_back(recordOf(parser.event(), parser.retryInterval()));
    rest = parser.remainingEventString();
  }
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = 9;
  if (size < kHeader) return 0;
  const std::size_t maxEventSize =
      (data[0] & 0x80) != 0 ? std::size_t{1} + (data[0] & 0x3F) : LDEventSourceMaxEventSize;
  uint64_t seed = 0;
  std::memcpy(&seed, data + 1, sizeof seed);
  const std::string_view body(reinterpret_cast<const char*>(data) + kHeader, size - kHeader);

  const Outcome whole = read(body, maxEventSize, [&] { return body.size(); });
  const Outcome bytes = read(body, maxEventSize, [] { return std::size_t{1}; });
  check(bytes == whole, "byte by byte differs from whole");
  uint64_t state = seed | 1;
  const Outcome chunked = read(body, maxEventSize, [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    // Mostly short chunks, now and then a long one.
    return static_cast<std::size_t>((state & 0xF0) == 0 ? 1 + (state >> 8) % 4096
                                                        : 1 + (state >> 8) % 8);
  });
  check(chunked == whole, "chunked differs from whole");
  if (!whole.exceededSizeLimit) check(parseWhole(body) == whole.records, "parser differs");
  return 0;
}
