#pragma once
// The UI plug-in's inline-action builder (stand-in): shows an inline action built from a
// preview configuration, and records it.

#include <memory>

#include "ZRLRTAPlugin/ZRLPreviewBuilder.h"
#include "ZRLRTAPlugin/ZRLRTAPluginExport.h"

class ZRLRTAPLUGIN_EXPORT ZRLTooltipBuilder : public ZRLPreviewBuilder {
 public:
  ZRLTooltipBuilder() : ZRLPreviewBuilder("inline", ZRLPreviewKind::tooltip) {}
  static std::shared_ptr<ZRLTooltipBuilder> sharedBuilder();
  // Builds and shows the preview at once; callable from any thread.
  virtual void buildAndShowInlineActionWithUIConfig(const nlohmann::json& config) { show(&config); }
};
