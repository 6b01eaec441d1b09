#pragma once
// What a preview shows, read from a configuration that came from the
// network: the "ui" object's "display_type", "view_id", "title" and "text".
// A field that is missing or not a string counts as absent; ill-formed
// UTF-8 becomes U+FFFD, then a string longer than kZRLPreviewTextLimit
// bytes is cut at a character boundary. Nothing in the configuration is
// walked but those keys.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ZRLRTAPlugin/ZRLRTAPluginExport.h"

inline constexpr size_t kZRLPreviewTextLimit = 4096;

struct ZRLRTAPLUGIN_EXPORT ZRLPreviewContent {
  std::optional<std::string> displayType;
  std::optional<std::string> viewId;
  std::optional<std::string> title;
  std::optional<std::string> text;
  // The fields that were of another type, or missing where the preview
  // needs them (the title and text always, the view_id for a preview with
  // a target), one phrase each ("\"title\" is number, not a string"),
  // joined by "; "; empty when all were fine.
  std::string problems;

  static ZRLPreviewContent fromConfiguration(const nlohmann::json& config, bool usesTarget);
};

// Text as a preview shows it: well-formed, then cut to at most limit bytes
// at a character boundary.
ZRLRTAPLUGIN_EXPORT std::string ZRLPreviewShownText(std::string_view text,
                                                    size_t limit = kZRLPreviewTextLimit);
