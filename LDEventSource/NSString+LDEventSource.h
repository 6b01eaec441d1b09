#pragma once
// String tests of the event stream: splitting text into lines, and whether
// text begins with a field or holds the end of an event block. Strings are
// UTF-8.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LDEventSource/LDEventSourceExport.h"

// The pieces of the text between newline characters, empty pieces kept.
// Every single one of LF, VT, FF, CR, NEL (U+0085), LINE SEPARATOR (U+2028)
// and PARAGRAPH SEPARATOR (U+2029) separates, so CR LF gives an empty piece
// and N separators alone give N + 1 empty pieces. Empty text gives no array.
LDEVENTSOURCE_EXPORT std::optional<std::vector<std::string>> lines(std::string_view text);

// True when the text begins with "event:", "data:", "id:", "retry:" or ":",
// exactly and case-sensitively.
LDEVENTSOURCE_EXPORT bool hasEventPrefix(std::string_view text);

// True when the text holds two consecutive line feeds anywhere.
LDEVENTSOURCE_EXPORT bool hasEventTerminator(std::string_view text);
