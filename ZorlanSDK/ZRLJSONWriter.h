#pragma once
// Writes JSON values as compact text for the host's request bodies. Strings
// are copied in runs and escaped only where they must be, so a body that
// carries a screenshot of megabytes costs little more than a copy; bytes
// that are not valid UTF-8 become U+FFFD instead of failing the request.

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ZorlanSDK/ZorlanSDKExport.h"

class ZORLANSDK_EXPORT ZRLJSONWriter {
 public:
  static std::string stringWithJSONObject(const nlohmann::json& value);
  static void append(const nlohmann::json& value, std::string& out);
  // The same for text that people read (a log line): an object or array
  // more than maximumDepth levels deep (the value itself is level 1) is
  // written as the string kDepthMarker, so the text stays JSON and small.
  static constexpr std::string_view kDepthMarker = "(cut: nested too deep)";
  static std::string stringWithJSONObject(const nlohmann::json& value, size_t maximumDepth);
  static void append(const nlohmann::json& value, std::string& out, size_t maximumDepth);
  static void appendString(std::string_view text, std::string& out);
};
