#include "LDEventSource/LDUTF8Decoder.h"

#include <cstring>

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// Where the first byte at or after `from` with its high bit set is, or `size`.
std::size_t skipASCII(const unsigned char* bytes, std::size_t from, std::size_t size) {
  while (from + 16 <= size) {
    uint64_t first = 0;
    uint64_t second = 0;
    std::memcpy(&first, bytes + from, sizeof first);
    std::memcpy(&second, bytes + from + 8, sizeof second);
    if (((first | second) & kHighBits) != 0) break;
    from += 16;
  }
  while (from < size && bytes[from] < 0x80)
    ++from;
  return from;
}

// The continuation bytes a lead byte needs and the range of the first one;
// 0 for a byte that cannot begin a sequence.
struct Lead {
  uint8_t needed = 0;
  uint8_t lower = 0x80;
  uint8_t upper = 0xBF;
};

Lead leadFor(unsigned char byte) {
  if (byte >= 0xC2 && byte <= 0xDF) return {1};
  if (byte == 0xE0) return {2, 0xA0};
  if (byte == 0xED) return {2, 0x80, 0x9F};
  if (byte >= 0xE1 && byte <= 0xEF) return {2};
  if (byte == 0xF0) return {3, 0x90};
  if (byte == 0xF4) return {3, 0x80, 0x8F};
  if (byte >= 0xF1 && byte <= 0xF3) return {3};
  return {};
}

}  // namespace

void LDUTF8Decoder::decode(std::string_view input, std::string& out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
  const std::size_t size = input.size();
  std::size_t position = 0;

  // Complete the character that the last chunk began. A byte that does not
  // fit ends it as ill-formed and is read again as the start of a new one.
  while (pendingSize_ > 0 && position < size) {
    const unsigned char byte = bytes[position];
    if (byte < lower_ || byte > upper_) {
      out.append(kReplacementCharacter);
      pendingSize_ = 0;
      break;
    }
    pending_[pendingSize_++] = static_cast<char>(byte);
    lower_ = 0x80;
    upper_ = 0xBF;
    ++position;
    if (--needed_ == 0) {
      out.append(pending_.data(), pendingSize_);
      pendingSize_ = 0;
    }
  }

  // Well-formed runs are copied in one piece.
  std::size_t runBegin = position;
  const auto endRun = [&](std::size_t runEnd) {
    out.append(input.data() + runBegin, runEnd - runBegin);
  };
  while (position < size) {
    position = skipASCII(bytes, position, size);
    if (position == size) break;
    const Lead lead = leadFor(bytes[position]);
    if (lead.needed == 0) {
      endRun(position);
      out.append(kReplacementCharacter);
      runBegin = ++position;
      continue;
    }
    uint8_t lower = lead.lower;
    uint8_t upper = lead.upper;
    std::size_t next = position + 1;
    std::size_t seen = 0;
    bool fits = true;
    for (; seen < lead.needed && next < size; ++seen, ++next) {
      if (bytes[next] < lower || bytes[next] > upper) {
        fits = false;
        break;
      }
      lower = 0x80;
      upper = 0xBF;
    }
    if (!fits) {
      endRun(position);
      out.append(kReplacementCharacter);
      position = next;
      runBegin = next;
      continue;
    }
    if (seen < lead.needed) {
      // The chunk ends inside the character: keep its start for the next.
      endRun(position);
      pendingSize_ = static_cast<uint8_t>(size - position);
      std::memcpy(pending_.data(), input.data() + position, pendingSize_);
      needed_ = static_cast<uint8_t>(lead.needed - seen);
      lower_ = lower;
      upper_ = upper;
      return;
    }
    position = next;
  }
  endRun(size);
}
