#include "ZRLRTAPlugin/ZRLPreviewContent.h"

#include "ZorlanSDK/ZRLUTF8.h"

namespace {

void note(std::string& problems, const std::string& phrase) {
  if (!problems.empty()) problems += "; ";
  problems += phrase;
}

// The string under key as shown, or nothing (noting why, when asked) when
// it is missing or of another type.
std::optional<std::string> stringField(const nlohmann::json& ui, const char* key, bool needed,
                                       std::string& problems) {
  const auto found = ui.find(key);
  if (found == ui.end()) {
    if (needed) note(problems, std::string("\"") + key + "\" is missing");
    return std::nullopt;
  }
  if (!found->is_string()) {
    note(problems, std::string("\"") + key + "\" is " + found->type_name() + ", not a string");
    return std::nullopt;
  }
  return ZRLPreviewShownText(found->get_ref<const std::string&>());
}

}  // namespace

std::string ZRLPreviewShownText(std::string_view text, size_t limit) {
  // Made well-formed first, so that the cut can only fall between whole
  // characters.
  std::string shown = ZRLUTF8WellFormed(text);
  shown.resize(ZRLUTF8Prefix(shown, limit).size());
  return shown;
}

ZRLPreviewContent ZRLPreviewContent::fromConfiguration(const nlohmann::json& config,
                                                       bool usesTarget) {
  ZRLPreviewContent content;
  const nlohmann::json* ui = nullptr;
  if (config.is_object()) {
    const auto found = config.find("ui");
    if (found == config.end()) {
      note(content.problems, "\"ui\" is missing");
    } else if (!found->is_object()) {
      note(content.problems, std::string("\"ui\" is ") + found->type_name() + ", not an object");
    } else {
      ui = &*found;
    }
  } else {
    note(content.problems,
         std::string("the configuration is ") + config.type_name() + ", not an object");
  }
  if (ui == nullptr) return content;
  content.displayType = stringField(*ui, "display_type", false, content.problems);
  content.viewId = stringField(*ui, "view_id", usesTarget, content.problems);
  content.title = stringField(*ui, "title", true, content.problems);
  content.text = stringField(*ui, "text", true, content.problems);
  return content;
}
