#pragma once
// Decodes a byte stream as UTF-8 chunk by chunk, so that a character split
// between two chunks is completed by the second one.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "LDEventSource/LDEventSourceExport.h"

// Well-formed input comes out unchanged. Each maximal subpart of an
// ill-formed sequence (the longest start of a valid sequence, or else one
// byte) becomes one U+FFFD REPLACEMENT CHARACTER, as the Unicode standard
// and the web's decoders do. The only state carried from one chunk to the
// next is a character begun at the end of the chunk.
class LDEVENTSOURCE_EXPORT LDUTF8Decoder {
 public:
  // Decodes the bytes of `input` and appends the text to `out`.
  void decode(std::string_view input, std::string& out);

  // Forgets a character begun in the last chunk.
  void reset() { pendingSize_ = 0; }

 private:
  // The bytes of a character begun in the last chunk, how many more it
  // needs, and the range the next one must lie in.
  std::array<char, 4> pending_{};
  uint8_t pendingSize_ = 0;
  uint8_t needed_ = 0;
  uint8_t lower_ = 0x80;
  uint8_t upper_ = 0xBF;
};
