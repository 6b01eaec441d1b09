#include "Tools/zrl-events/ZRLEventsRecord.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <optional>

#include <nlohmann/json.hpp>

namespace {

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
  std::array<char, 24> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  out.append(digits.data(), end);
}

void appendOptional(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    ZRLEventsRecord::appendString(out, *text);
  } else {
    out += "null";
  }
}

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// The high bit of each byte that is zero / is below n (n at most 0x80).
// Above a byte that is flagged rightly, a borrow may flag others wrongly;
// the lowest flag is always right.
constexpr uint64_t zeroBytes(uint64_t word) {
  return (word - kOnes) & ~word & kHighs;
}
constexpr uint64_t bytesBelow(uint64_t word, uint64_t n) {
  return (word - kOnes * n) & ~word & kHighs;
}

bool needsLook(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\';
}

// The first byte from `from` on that needs a look: a control character, a
// byte of a multi-byte character, a quote or a backslash; or the size.
// Eight bytes at a time, the lowest flag of a word telling which byte.
size_t nextToLookAt(std::string_view text, size_t from) {
  size_t i = from;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    const uint64_t flags = (word & kHighs) | bytesBelow(word, 0x20) |
                           zeroBytes(word ^ (kOnes * '"')) | zeroBytes(word ^ (kOnes * '\\'));
    if (flags != 0) {
      const int bit = std::endian::native == std::endian::little ? std::countr_zero(flags)
                                                                 : std::countl_zero(flags);
      return i + static_cast<size_t>(bit) / 8;
    }
  }
  while (i < text.size() && !needsLook(text[i]))
    ++i;
  return i;
}

// Printable ASCII (0x20 to 0x7F) needs no escape but for the quote and the
// backslash, which nlohmann::json writes as \" and \\: so does this, and
// gives up (returning false, out unchanged) at the first other byte that
// needs a look, leaving that text to nlohmann::json. Most text on event
// streams is such ASCII, and this is where the printing spends its time.
bool appendPrintableASCII(std::string& out, std::string_view text) {
  const size_t start = out.size();
  out += '"';
  size_t copied = 0;
  for (size_t i = nextToLookAt(text, 0); i < text.size(); i = nextToLookAt(text, i + 1)) {
    const char c = text[i];
    if (c != '"' && c != '\\') {
      out.resize(start);
      return false;
    }
    out.append(text.substr(copied, i - copied));
    out += '\\';
    out += c;
    copied = i + 1;
  }
  out.append(text.substr(copied));
  out += '"';
  return true;
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
  if (appendPrintableASCII(out, text)) return;
  // One value per thread, refilled for each string, so that its buffer is
  // reused instead of allocated per call.
  thread_local nlohmann::json value = std::string();
  value.get_ref<std::string&>().assign(text);
  const std::string json = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  appendWithSeparatorsEscaped(out, json);
}

void ZRLEventsRecord::appendLine(std::string& out, std::string_view type, const LDEvent& event) {
  out += "{\"type\":";
  appendString(out, type);
  out += ",\"readyState\":";
  appendInteger(out, event.readyState());
  out += ",\"id\":";
  appendOptional(out, event.id());
  out += ",\"event\":";
  appendOptional(out, event.event());
  out += ",\"data\":";
  appendOptional(out, event.data());
  out += ",\"error\":";
  if (const NSErrorPtr& error = event.error()) {
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
