#pragma once
// The encodings that requests carry: percent-escapes in paths and queries,
// a query's fields, and base64 text (a capture's screenshot).

#include <optional>
#include <string>
#include <string_view>

// Percent-decodes a query value or path segment ("+" is a space in a
// query); null when an escape is malformed.
std::optional<std::string> ZRLDashboardPercentDecoded(std::string_view text, bool query);
// The decoded value of the first field of that name in a query.
std::optional<std::string> ZRLDashboardQueryValue(std::string_view query, std::string_view name);
// The bytes of base64 text (line breaks allowed); null when it is not base64.
std::optional<std::string> ZRLDashboardBase64Decoded(std::string_view text);
