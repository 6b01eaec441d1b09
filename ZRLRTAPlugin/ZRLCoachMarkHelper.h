#pragma once
// The UI plug-in's coach-mark builder (stand-in): shows a coach-mark built from a
// preview configuration, and records it.

#include <memory>

#include "ZRLRTAPlugin/ZRLPreviewBuilder.h"
#include "ZRLRTAPlugin/ZRLRTAPluginExport.h"

class ZRLRTAPLUGIN_EXPORT ZRLCoachMarkHelper : public ZRLPreviewBuilder {
 public:
  ZRLCoachMarkHelper() : ZRLPreviewBuilder("coach_mark", ZRLPreviewKind::coachMark) {}
  static std::shared_ptr<ZRLCoachMarkHelper> sharedHelper();
  // Builds and shows the preview at once; callable from any thread.
  virtual void buildAndShowCoachMarkWithUIConfig(const nlohmann::json& config) { show(&config); }
};
