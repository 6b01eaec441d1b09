#include "Tools/zrl-events/ZRLEventsRecord.h"

#include <array>
#include <charconv>
#include <optional>

#include <nlohmann/json.hpp>

namespace {

template <typename Integer>
void appendInteger(std::string& out, Integer value) {
  std::array<char, 24> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  out.append(digits.data(), end);
}

void appendOptional(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    ZRLEventsRecord::appendString(out, *text);
  } else {
    out += "null";
  }
}

// Copies JSON text, writing NEL (C2 85), LS (E2 80 A8) and PS (E2 80 A9) as
// escapes. The text is valid UTF-8, in which C2 and E2 only ever lead a
// character, and these characters only occur inside its strings, where the
// escape stands for the same character.
void appendWithSeparatorsEscaped(std::string& out, std::string_view json) {
  constexpr std::string_view kLeads = "\xC2\xE2";
  size_t copied = 0;
  for (size_t i = json.find_first_of(kLeads); i != std::string_view::npos;
       i = json.find_first_of(kLeads, i + 1)) {
    const std::string_view rest = json.substr(i);
    std::string_view escape;
    size_t length = 0;
    if (rest.starts_with("\xC2\x85")) {
      escape = "\\u0085";
      length = 2;
    } else if (rest.starts_with("\xE2\x80\xA8")) {
      escape = "\\u2028";
      length = 3;
    } else if (rest.starts_with("\xE2\x80\xA9")) {
      escape = "\\u2029";
      length = 3;
    } else {
      continue;
    }
    out.append(json.substr(copied, i - copied));
    out.append(escape);
    copied = i + length;
    i = copied - 1;
  }
  out.append(json.substr(copied));
}

}  // namespace

void ZRLEventsRecord::appendString(std::string& out, std::string_view text) {
  const nlohmann::json value(text);
  const std::string json = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  appendWithSeparatorsEscaped(out, json);
}

void ZRLEventsRecord::appendLine(std::string& out, std::string_view type, const LDEvent& event) {
  out += "{\"type\":";
  appendString(out, type);
  out += ",\"readyState\":";
  appendInteger(out, event.readyState());
  out += ",\"id\":";
  appendOptional(out, event.id());
  out += ",\"event\":";
  appendOptional(out, event.event());
  out += ",\"data\":";
  appendOptional(out, event.data());
  out += ",\"error\":";
  if (const NSErrorPtr& error = event.error()) {
    out += "{\"domain\":";
    appendString(out, error->domain());
    out += ",\"code\":";
    appendInteger(out, error->code());
    out += ",\"message\":";
    appendString(out, error->localizedDescription());
    out += '}';
  } else {
    out += "null";
  }
  out += "}\n";
}
