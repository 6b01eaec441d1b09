#pragma once
// The UI plug-in's nudge builder (stand-in): shows a nudge built from a
// preview configuration, and records it.

#include <memory>

#include "ZRLRTAPlugin/ZRLPreviewBuilder.h"
#include "ZRLRTAPlugin/ZRLRTAPluginExport.h"

class ZRLRTAPLUGIN_EXPORT ZRLNudgeHelper : public ZRLPreviewBuilder {
 public:
  ZRLNudgeHelper() : ZRLPreviewBuilder("passive_nudge", ZRLPreviewKind::nudge) {}
  static std::shared_ptr<ZRLNudgeHelper> sharedHelper();
  // Builds and shows the preview at once; callable from any thread.
  virtual void buildAndShowNudgeWithUIConfig(const nlohmann::json& config) { show(&config); }
};
