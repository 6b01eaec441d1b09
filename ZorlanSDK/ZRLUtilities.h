#pragma once
// Helpers of the host SDK: string checks and JSON parsing.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class ZRLUtilities {
 public:
  // True for an absent or empty string.
  static bool isInvalidString(const std::optional<std::string>& text);
  // The JSON object that the text holds; nothing when the text is absent,
  // not JSON, or JSON of another kind than an object.
  static std::optional<nlohmann::json> dictionaryFromJsonString(
      const std::optional<std::string>& text);
};
