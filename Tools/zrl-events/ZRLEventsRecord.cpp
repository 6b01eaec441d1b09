#include "Tools/zrl-events/ZRLEventsRecord.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <nlohmann/json.hpp>

namespace {

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
  std::array<char, 24> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  out.append(digits.data(), end);
}

void appendOptional(std::string& out, const std::optional<std::string_view>& text) {
  if (text) {
    ZRLEventsRecord::appendString(out, *text);
  } else {
    out += "null";
  }
}

bool needsLook(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\';
}

// How nlohmann::json writes an ASCII control character: a short escape
// where JSON has one, \u00xx (lower-case hex) otherwise.
char* writeControl(char* out, unsigned char byte) {
  out[0] = '\\';
  switch (byte) {
    case '\b':
      out[1] = 'b';
      return out + 2;
    case '\t':
      out[1] = 't';
      return out + 2;
    case '\n':
      out[1] = 'n';
      return out + 2;
    case '\f':
      out[1] = 'f';
      return out + 2;
    case '\r':
      out[1] = 'r';
      return out + 2;
    default: {
      constexpr std::string_view kHex = "0123456789abcdef";
      out[1] = 'u';
      out[2] = '0';
      out[3] = '0';
      out[4] = kHex[byte >> 4];
      out[5] = kHex[byte & 0xF];
      return out + 6;
    }
  }
}

// The most bytes writeEscaped may touch for text: each byte as a six-byte
// escape at worst, and the sixteen bytes that a store of a step may write
// past the end.
constexpr std::size_t escapedRoom(std::size_t size) {
  return 6 * size + 16;
}
// The same with the quotes around.
constexpr std::size_t asciiRoom(std::size_t size) {
  return escapedRoom(size) + 2;
}

// The bytes from `in` on that need a look (a control character, a byte of
// a multi-byte character, a quote or a backslash) as the bits of a mask,
// the lowest for the first byte, for the next kStep bytes; these are also
// stored at `out` as they are.
#if defined(__SSE2__)
constexpr std::ptrdiff_t kStep = 16;
uint32_t copyAndFlag(const char* in, char* out) {
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
  // As signed bytes, those from 0x80 on are below 0x20 too.
  const __m128i flagged = _mm_or_si128(_mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)),
                                       _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')),
                                                    _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))));
  return static_cast<uint32_t>(_mm_movemask_epi8(flagged));
}
#else
constexpr std::ptrdiff_t kStep = 8;
constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// The high bit of each byte that is zero / is below n (n at most 0x80).
// Above a byte that is flagged rightly, a borrow may flag others wrongly.
constexpr uint64_t zeroBytes(uint64_t word) {
  return (word - kOnes) & ~word & kHighs;
}
constexpr uint64_t bytesBelow(uint64_t word, uint64_t n) {
  return (word - kOnes * n) & ~word & kHighs;
}

uint32_t copyAndFlag(const char* in, char* out) {
  uint64_t word = 0;
  std::memcpy(&word, in, sizeof word);
  std::memcpy(out, &word, sizeof word);
  const uint64_t flags = (word & kHighs) | bytesBelow(word, 0x20) |
                         zeroBytes(word ^ (kOnes * '"')) | zeroBytes(word ^ (kOnes * '\\'));
  if (flags == 0) return 0;
  // A word with a flag is looked at byte by byte, whatever the byte order.
  for (int i = 0; i < kStep; ++i) {
    if (needsLook(in[i])) return uint32_t{1} << i;
  }
  return 0;
}
#endif

// Writes text that is all ASCII the way nlohmann::json writes it inside a
// string, and returns the end; null at the first byte outside ASCII. A
// step of bytes at a time: each is stored at once, and the output goes on
// after its first byte that needs a look, which is escaped there.
char* writeEscaped(char* out, std::string_view text) {
  const char* in = text.data();
  const char* const end = in + text.size();
  while (true) {
    if (end - in >= kStep) {
      const uint32_t flags = copyAndFlag(in, out);
      if (flags == 0) {
        in += kStep;
        out += kStep;
        continue;
      }
      const auto skip = static_cast<std::size_t>(std::countr_zero(flags));
      in += skip;
      out += skip;
    } else {
      while (in < end && !needsLook(*in))
        *out++ = *in++;
      if (in == end) break;
    }
    const auto byte = static_cast<unsigned char>(*in++);
    if (byte >= 0x80) return nullptr;
    if (byte < 0x20) {
      out = writeControl(out, byte);
    } else {
      out[0] = '\\';
      out[1] = static_cast<char>(byte);
      out += 2;
    }
  }
  return out;
}

// ASCII text as a JSON string, or null.
char* writeASCII(char* out, std::string_view text) {
  *out++ = '"';
  out = writeEscaped(out, text);
  if (out == nullptr) return nullptr;
  *out++ = '"';
  return out;
}

char* writeText(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

char* writeOptional(char* out, const std::optional<std::string_view>& text) {
  return text ? writeASCII(out, *text) : writeText(out, "null");
}

// Copies JSON text, writing NEL (C2 85), LS (E2 80 A8) and PS (E2 80 A9) as
// escapes. The text is valid UTF-8, in which C2 and E2 only ever lead a
// character, and these characters only occur inside its strings, where the
// escape stands for the same character.
void appendWithSeparatorsEscaped(std::string& out, std::string_view json) {
  size_t copied = 0;
  for (size_t i = 0; i < json.size(); ++i) {
    if (json[i] != '\xC2' && json[i] != '\xE2') continue;
    const std::string_view rest = json.substr(i);
    std::string_view escape;
    size_t length = 0;
    if (rest.starts_with("\xC2\x85")) {
      escape = "\\u0085";
      length = 2;
    } else if (rest.starts_with("\xE2\x80\xA8")) {
      escape = "\\u2028";
      length = 3;
    } else if (rest.starts_with("\xE2\x80\xA9")) {
      escape = "\\u2029";
      length = 3;
    } else {
      continue;
    }
    out.append(json.substr(copied, i - copied));
    out.append(escape);
    copied = i + length;
    i = copied - 1;
  }
  out.append(json.substr(copied));
}

}  // namespace

void ZRLEventsRecord::appendString(std::string& out, std::string_view text) {
  // Written in segments, so that the room set aside for escapes stays small
  // however long the text is; an ASCII segment cannot split a character.
  constexpr std::size_t kSegment = std::size_t{64} << 10;
  const std::size_t start = out.size();
  out += '"';
  bool ascii = true;
  for (std::size_t at = 0; ascii && at < text.size(); at += kSegment) {
    const std::string_view segment = text.substr(at, kSegment);
    const std::size_t from = out.size();
    out.resize(from + escapedRoom(segment.size()));
    const char* end = writeEscaped(out.data() + from, segment);
    ascii = end != nullptr;
    out.resize(ascii ? static_cast<std::size_t>(end - out.data()) : start);
  }
  if (ascii) {
    out += '"';
    return;
  }
  // One value per thread, refilled for each string, so that its buffer is
  // reused instead of allocated per call.
  thread_local nlohmann::json value = std::string();
  value.get_ref<std::string&>().assign(text);
  const std::string json = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  appendWithSeparatorsEscaped(out, json);
}

std::string ZRLEventsRecord::linePrefix(std::string_view type) {
  std::string prefix = "{\"type\":";
  appendString(prefix, type);
  prefix += ",\"readyState\":";
  return prefix;
}

std::size_t ZRLEventsRecord::lineRoom(std::string_view prefix, const LDEvent& event) {
  return lineRoom(prefix, LDEventView::of(event));
}

char* ZRLEventsRecord::writeLine(char* out, std::string_view prefix, const LDEvent& event) {
  return writeLine(out, prefix, LDEventView::of(event));
}

void ZRLEventsRecord::appendLine(std::string& out, std::string_view type, const LDEvent& event) {
  appendLine(out, type, LDEventView::of(event));
}

std::size_t ZRLEventsRecord::lineRoom(std::string_view prefix, const LDEventView& event) {
  const auto room = [](const std::optional<std::string_view>& text) {
    return text ? asciiRoom(text->size()) : 4;
  };
  constexpr std::string_view kFixed = R"(,"id":,"event":,"data":,"error":null})"
                                      "\n";
  constexpr std::size_t kReadyState = 11;  // a 32-bit integer
  return prefix.size() + kReadyState + kFixed.size() + room(event.id) + room(event.event) +
         room(event.data);
}

char* ZRLEventsRecord::writeLine(char* out, std::string_view prefix, const LDEventView& event) {
  if (event.error) return nullptr;
  out = writeText(out, prefix);
  const int32_t readyState = event.readyState;
  if (readyState >= 0 && readyState <= 9) {
    *out++ = static_cast<char>('0' + readyState);
  } else {
    std::array<char, 12> digits{};
    out = writeText(
        out, std::string_view(
                 digits.data(),
                 std::to_chars(digits.data(), digits.data() + digits.size(), readyState).ptr));
  }
  out = writeOptional(writeText(out, R"(,"id":)"), event.id);
  if (out == nullptr) return nullptr;
  out = writeOptional(writeText(out, R"(,"event":)"), event.event);
  if (out == nullptr) return nullptr;
  out = writeOptional(writeText(out, R"(,"data":)"), event.data);
  if (out == nullptr) return nullptr;
  return writeText(out, R"(,"error":null})"
                        "\n");
}

void ZRLEventsRecord::appendLine(std::string& out, std::string_view type,
                                 const LDEventView& event) {
  out += "{\"type\":";
  appendString(out, type);
  out += ",\"readyState\":";
  appendInteger(out, event.readyState);
  out += ",\"id\":";
  appendOptional(out, event.id);
  out += ",\"event\":";
  appendOptional(out, event.event);
  out += ",\"data\":";
  appendOptional(out, event.data);
  out += ",\"error\":";
  if (const NSErrorPtr& error = event.error) {
    out += "{\"domain\":";
    appendString(out, error->domain());
    out += ",\"code\":";
    appendInteger(out, error->code());
    out += ",\"message\":";
    appendString(out, error->localizedDescription());
    out += '}';
  } else {
    out += "null";
  }
  out += "}\n";
}
