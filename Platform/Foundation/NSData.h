#pragma once
// Byte buffers and their base64 text, with the platform's line options.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/PlatformExport.h"

// Bytes travel as std::string: contiguous, cheap to move, any byte value.
using NSData = std::string;

using NSDataBase64EncodingOptions = unsigned long;
inline constexpr NSDataBase64EncodingOptions NSDataBase64Encoding64CharacterLineLength = 1UL << 0;
inline constexpr NSDataBase64EncodingOptions NSDataBase64Encoding76CharacterLineLength = 1UL << 1;
inline constexpr NSDataBase64EncodingOptions NSDataBase64EncodingEndLineWithCarriageReturn = 1UL
                                                                                             << 4;
inline constexpr NSDataBase64EncodingOptions NSDataBase64EncodingEndLineWithLineFeed = 1UL << 5;

// Base64 of the bytes. With a line-length option the text is cut into lines
// of that length, separated (not terminated) by CR LF unless an end-line
// option chooses CR or LF alone.
PLATFORM_EXPORT std::string NSDataBase64EncodedString(std::string_view bytes,
                                                      NSDataBase64EncodingOptions options);

// The bytes of base64 text; line breaks are skipped, any other character
// outside the alphabet makes the text invalid unless ignoreUnknown is set.
PLATFORM_EXPORT std::optional<NSData> NSDataFromBase64EncodedString(std::string_view text,
                                                                    bool ignoreUnknown = false);
