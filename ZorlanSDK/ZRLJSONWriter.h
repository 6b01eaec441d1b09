#pragma once
// Writes JSON values as compact text for the host's request bodies. Strings
// are copied in runs and escaped only where they must be, so a body that
// carries a screenshot of megabytes costs little more than a copy; bytes
// that are not valid UTF-8 become U+FFFD instead of failing the request.

#include <string>

#include <nlohmann/json.hpp>

class ZRLJSONWriter {
 public:
  static std::string stringWithJSONObject(const nlohmann::json& value);
  static void append(const nlohmann::json& value, std::string& out);
  static void appendString(std::string_view text, std::string& out);
};
