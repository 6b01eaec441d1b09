#pragma once
// One line of zrl-events' output: a handler call written as a JSON object
// with the keys "type", "readyState", "id", "event", "data" and "error", in
// that order, ended by LF. The line holds no other line break of any kind:
// U+0085, U+2028 and U+2029 inside strings are written as \u escapes.

#include <string>
#include <string_view>

#include "LDEventSource/LDEvent.h"

class ZRLEventsRecord {
 public:
  // Appends the line for a call of the handler registered under type.
  static void appendLine(std::string& out, std::string_view type, const LDEvent& event);
  // Appends text as a JSON string: escaped by nlohmann::json, ill-formed
  // UTF-8 replaced by U+FFFD, the three line separators as \u escapes.
  static void appendString(std::string& out, std::string_view text);
};
