#include "ZorlanSDK/ZRLJSONWriter.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Bytes that cannot be copied as they are: controls, the quote, the
// backslash, and every byte of a multi-byte sequence (which is checked).
constexpr std::array<bool, 256> makeSpecial() {
  std::array<bool, 256> special{};
  for (size_t i = 0; i < 0x20; ++i)
    special[i] = true;
  special['"'] = true;
  special['\\'] = true;
  for (size_t i = 0x80; i < 0x100; ++i)
    special[i] = true;
  return special;
}
constexpr std::array<bool, 256> kSpecial = makeSpecial();

// Length of the well-formed UTF-8 sequence at the start of text, or 0.
size_t validSequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(0);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    if (first == 0xE0) low = 0xA0;
    if (first == 0xED) high = 0x9F;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    if (first == 0xF0) low = 0x90;
    if (first == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

void appendEscaped(unsigned char c, std::string& out) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out.push_back(kHex[c >> 4]);
  out.push_back(kHex[c & 0x0F]);
}

template <typename Integer>
void appendInteger(Integer value, std::string& out) {
  std::array<char, 24> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.append(buffer.data(), result.ptr);
}

// Whether any of the eight bytes of a word needs a look: a control, a quote,
// a backslash or a byte with the high bit set.
bool wordNeedsALook(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  const auto hasZeroByte = [](uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  const uint64_t below0x20 = (word - kOnes * 0x20) & ~word & kHighs;
  return ((word & kHighs) | below0x20 | hasZeroByte(word ^ (kOnes * '"')) |
          hasZeroByte(word ^ (kOnes * '\\'))) != 0;
}

// The end of the run of bytes from `from` on that can be copied as they are.
size_t plainRunEnd(std::string_view text, size_t from) {
  size_t i = from;
  while (i + sizeof(uint64_t) <= text.size()) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    if (wordNeedsALook(word)) break;
    i += sizeof word;
  }
  while (i < text.size() && !kSpecial[static_cast<unsigned char>(text[i])])
    ++i;
  return i;
}

}  // namespace

void ZRLJSONWriter::appendString(std::string_view text, std::string& out) {
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  size_t i = 0;
  while (i < text.size()) {
    const size_t run = plainRunEnd(text, i);
    out.append(text.data() + i, run - i);
    i = run;
    if (i >= text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      appendEscaped(c, out);
      ++i;
      continue;
    }
    const size_t length = validSequenceLength(text.substr(i));
    if (length == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text.data() + i, length);
      i += length;
    }
  }
  out.push_back('"');
}

namespace {

// A scalar, or the opening of a container (its members follow).
void appendValueStart(const nlohmann::json& value, std::string& out) {
  switch (value.type()) {
    case nlohmann::json::value_t::object:
      out.push_back('{');
      return;
    case nlohmann::json::value_t::array:
      out.push_back('[');
      return;
    case nlohmann::json::value_t::string:
      ZRLJSONWriter::appendString(value.get_ref<const std::string&>(), out);
      return;
    case nlohmann::json::value_t::number_integer:
      appendInteger(value.get<int64_t>(), out);
      return;
    case nlohmann::json::value_t::number_unsigned:
      appendInteger(value.get<uint64_t>(), out);
      return;
    case nlohmann::json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case nlohmann::json::value_t::number_float:
      // Shortest round-trip text, null for NaN and infinities.
      out += value.dump();
      return;
    default:
      out += "null";
      return;
  }
}

}  // namespace

void ZRLJSONWriter::append(const nlohmann::json& value, std::string& out) {
  // Containers are walked with a stack of their own, so that a value
  // nested thousands of levels deep (a layout of a deep view tree) costs
  // heap, not call stack.
  struct Open {
    const nlohmann::json* container;
    nlohmann::json::const_iterator next;
  };
  std::vector<Open> open;
  appendValueStart(value, out);
  if (value.is_object() || value.is_array()) open.push_back({&value, value.cbegin()});
  while (!open.empty()) {
    Open& top = open.back();
    const bool isObject = top.container->is_object();
    if (top.next == top.container->cend()) {
      out.push_back(isObject ? '}' : ']');
      open.pop_back();
      continue;
    }
    if (top.next != top.container->cbegin()) out.push_back(',');
    const auto member = top.next++;
    if (isObject) {
      appendString(member.key(), out);
      out.push_back(':');
    }
    const nlohmann::json& item = *member;
    appendValueStart(item, out);
    // top is not used past this point: the push may move it.
    if (item.is_object() || item.is_array()) open.push_back({&item, item.cbegin()});
  }
}

std::string ZRLJSONWriter::stringWithJSONObject(const nlohmann::json& value) {
  std::string out;
  append(value, out);
  return out;
}
