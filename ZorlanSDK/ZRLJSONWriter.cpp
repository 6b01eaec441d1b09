#include "ZorlanSDK/ZRLJSONWriter.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ZorlanSDK/ZRLUTF8.h"

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
    const size_t length = ZRLUTF8SequenceLength(text.substr(i));
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
  append(value, out, SIZE_MAX);
}

void ZRLJSONWriter::append(const nlohmann::json& value, std::string& out, size_t maximumDepth) {
  // Containers are walked with a stack of their own, so that a value
  // nested thousands of levels deep (a layout of a deep view tree) costs
  // heap, not call stack.
  struct Open {
    const nlohmann::json* container;
    nlohmann::json::const_iterator next;
  };
  std::vector<Open> open;
  const auto start = [&](const nlohmann::json& item) {
    if (item.is_structured() && open.size() >= maximumDepth) {
      appendString(kDepthMarker, out);
      return;
    }
    appendValueStart(item, out);
    if (item.is_structured()) open.push_back({&item, item.cbegin()});
  };
  start(value);
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
    // top is not used past this point: the push may move it.
    start(*member);
  }
}

std::string ZRLJSONWriter::stringWithJSONObject(const nlohmann::json& value) {
  std::string out;
  append(value, out);
  return out;
}

std::string ZRLJSONWriter::stringWithJSONObject(const nlohmann::json& value, size_t maximumDepth) {
  std::string out;
  append(value, out, maximumDepth);
  return out;
}
