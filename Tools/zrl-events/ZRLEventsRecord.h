#pragma once
// One line of zrl-events' output: a handler call written as a JSON object
// with the keys "type", "readyState", "id", "event", "data" and "error", in
// that order, ended by LF. The line holds no other line break of any kind:
// U+0085, U+2028 and U+2029 inside strings are written as \u escapes.

#include <cstddef>
#include <string>
#include <string_view>

#include "LDEventSource/LDEvent.h"

class ZRLEventsRecord {
 public:
  // Appends the line for a call of the handler registered under type.
  static void appendLine(std::string& out, std::string_view type, const LDEventView& event);
  static void appendLine(std::string& out, std::string_view type, const LDEvent& event);
  // Appends text as a JSON string: escaped as nlohmann::json escapes it,
  // ill-formed UTF-8 replaced by U+FFFD, the three line separators as \u
  // escapes.
  static void appendString(std::string& out, std::string_view text);

  // The fast way to the same lines, for a printer that writes many: the
  // start of every line of one type, made once; the most bytes that
  // writeLine may touch for a record; and writeLine itself, which writes
  // the line at out and returns its end, or returns null (leaving those
  // bytes undefined) for a record that only appendLine prints: one with an
  // error, or with text outside ASCII.
  static std::string linePrefix(std::string_view type);
  static std::size_t lineRoom(std::string_view prefix, const LDEventView& event);
  static char* writeLine(char* out, std::string_view prefix, const LDEventView& event);
  static std::size_t lineRoom(std::string_view prefix, const LDEvent& event);
  static char* writeLine(char* out, std::string_view prefix, const LDEvent& event);
};
