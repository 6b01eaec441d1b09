#include "Platform/Foundation/NSData.h"

#include <array>

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeDecodeTable() {
  std::array<int8_t, 256> table{};
  table.fill(-1);
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
  return table;
}

constexpr std::array<int8_t, 256> kDecode = makeDecodeTable();

}  // namespace

std::string NSDataBase64EncodedString(std::string_view bytes, NSDataBase64EncodingOptions options) {
  size_t lineLength = 0;
  if (options & NSDataBase64Encoding64CharacterLineLength) {
    lineLength = 64;
  } else if (options & NSDataBase64Encoding76CharacterLineLength) {
    lineLength = 76;
  }
  std::string separator;
  if (options & NSDataBase64EncodingEndLineWithCarriageReturn) separator += '\r';
  if (options & NSDataBase64EncodingEndLineWithLineFeed) separator += '\n';
  if (separator.empty()) separator = "\r\n";

  const size_t encodedSize = (bytes.size() + 2) / 3 * 4;
  const size_t lines = lineLength ? (encodedSize + lineLength - 1) / lineLength : 1;
  std::string out;
  out.reserve(encodedSize + (lines > 0 ? (lines - 1) * separator.size() : 0));

  size_t column = 0;
  auto put = [&](char c) {
    if (lineLength && column == lineLength) {
      out += separator;
      column = 0;
    }
    out.push_back(c);
    ++column;
  };

  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t n = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    put(kAlphabet[(n >> 18) & 63]);
    put(kAlphabet[(n >> 12) & 63]);
    put(kAlphabet[(n >> 6) & 63]);
    put(kAlphabet[n & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = uint32_t{data[i]} << 16;
    if (rest == 2) n |= uint32_t{data[i + 1]} << 8;
    put(kAlphabet[(n >> 18) & 63]);
    put(kAlphabet[(n >> 12) & 63]);
    put(rest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
    put('=');
  }
  return out;
}

std::optional<NSData> NSDataFromBase64EncodedString(std::string_view text, bool ignoreUnknown) {
  NSData out;
  out.reserve(text.size() / 4 * 3);
  uint32_t accumulator = 0;
  int bits = 0;
  size_t padding = 0;
  for (const char c : text) {
    if (c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int8_t value = kDecode[static_cast<unsigned char>(c)];
    if (value < 0) {
      if (ignoreUnknown) continue;
      return std::nullopt;
    }
    if (padding > 0) return std::nullopt;  // data after padding
    accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((accumulator >> bits) & 0xFF));
    }
  }
  if (padding > 2) return std::nullopt;
  return out;
}
