#include "LDEventSource/NSString+LDEventSource.h"

#include <array>

#include "LDEventSource/LDEventSourceConstants.h"

namespace {

// The length of the newline character at the start of the text, or 0.
std::size_t newlineLength(std::string_view text) {
  const auto byte = static_cast<unsigned char>(text[0]);
  if (byte >= 0x0A && byte <= 0x0D) return 1;
  if (text.starts_with("\u0085")) return 2;
  if (text.starts_with("\u2028") || text.starts_with("\u2029")) return 3;
  return 0;
}

}  // namespace

std::optional<std::vector<std::string>> lines(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::vector<std::string> pieces;
  std::size_t pieceStart = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    const std::size_t length = newlineLength(text.substr(position));
    if (length == 0) {
      ++position;
      continue;
    }
    pieces.emplace_back(text.substr(pieceStart, position - pieceStart));
    position += length;
    pieceStart = position;
  }
  pieces.emplace_back(text.substr(pieceStart));
  return pieces;
}

bool hasEventPrefix(std::string_view text) {
  const std::array<std::string_view, 4> names = {LDEventKeyEvent, LDEventKeyData, LDEventKeyId,
                                                 LDEventKeyRetry};
  for (const std::string_view name : names) {
    if (text.starts_with(name) &&
        text.substr(name.size()).starts_with(LDEventSourceKeyValueDelimiter)) {
      return true;
    }
  }
  return text.starts_with(LDEventSourceKeyValueDelimiter);
}

bool hasEventTerminator(std::string_view text) {
  return text.find(LDEventSourceEventTerminator) != std::string_view::npos;
}
