#include "Tools/zrl-dashboard/ZRLDashboardEncoding.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> ZRLDashboardPercentDecoded(std::string_view text, bool query) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (query && text[i] == '+') {
      out.push_back(' ');
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::optional<std::string> ZRLDashboardQueryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const size_t end = std::min(query.find('&'), query.size());
    const std::string_view field = query.substr(0, end);
    const size_t equals = std::min(field.find('='), field.size());
    if (field.substr(0, equals) == name) {
      if (equals == field.size()) return std::string();
      return ZRLDashboardPercentDecoded(field.substr(equals + 1), true);
    }
    query.remove_prefix(std::min(end + 1, query.size()));
  }
  return std::nullopt;
}

std::optional<std::string> ZRLDashboardBase64Decoded(std::string_view text) {
  std::string compact;
  compact.reserve(text.size());
  for (const char c : text)
    if (c != '\r' && c != '\n') compact.push_back(c);
  if (compact.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && padding < compact.size() && compact[compact.size() - 1 - padding] == '=')
    ++padding;
  std::string bytes(compact.size() / 4 * 3, '\0');
  if (compact.empty()) return bytes;
  if (compact.size() > static_cast<size_t>(INT32_MAX)) return std::nullopt;
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(compact.data()),
                                      static_cast<int>(compact.size()));
  if (decoded < 0 || static_cast<size_t>(decoded) != bytes.size()) return std::nullopt;
  bytes.resize(bytes.size() - padding);
  return bytes;
}
