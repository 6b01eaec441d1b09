#include "ZorlanSDK/ZRLUTF8.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

size_t ZRLUTF8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char first = byte(0);
  if (first < 0x80) return 1;
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

std::string ZRLUTF8WellFormed(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    // Runs of ASCII are copied as they are.
    size_t plain = i;
    while (plain < text.size() && static_cast<unsigned char>(text[plain]) < 0x80)
      ++plain;
    result.append(text.data() + i, plain - i);
    i = plain;
    if (i == text.size()) break;
    const size_t length = ZRLUTF8SequenceLength(text.substr(i));
    if (length == 0) {
      result += kReplacement;
      ++i;
    } else {
      result.append(text.data() + i, length);
      i += length;
    }
  }
  return result;
}

std::string_view ZRLUTF8Prefix(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  // Back over continuation bytes to the start of the character that the
  // limit falls in (or just after).
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  return text.substr(0, end);
}
