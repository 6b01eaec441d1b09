#pragma once
// UTF-8 checks that the host's text helpers share: the length of a
// well-formed sequence, text made well-formed, and where text can be cut
// without splitting a character.

#include <cstddef>
#include <string>
#include <string_view>

#include "ZorlanSDK/ZorlanSDKExport.h"

// The length of the well-formed UTF-8 sequence at the start of the text
// (1 to 4), or 0 when it starts with an ill-formed one or is empty.
ZORLANSDK_EXPORT size_t ZRLUTF8SequenceLength(std::string_view text);

// The text with every byte that is not part of a well-formed sequence
// replaced by U+FFFD.
ZORLANSDK_EXPORT std::string ZRLUTF8WellFormed(std::string_view text);

// The longest prefix of well-formed text that is at most limit bytes and
// ends on a character boundary.
ZORLANSDK_EXPORT std::string_view ZRLUTF8Prefix(std::string_view text, size_t limit);
