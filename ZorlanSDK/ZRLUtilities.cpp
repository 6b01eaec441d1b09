#include "ZorlanSDK/ZRLUtilities.h"

bool ZRLUtilities::isInvalidString(const std::optional<std::string>& text) {
  return !text || text->empty();
}

std::optional<nlohmann::json> ZRLUtilities::dictionaryFromJsonString(
    const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  nlohmann::json parsed = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;
  return parsed;
}
