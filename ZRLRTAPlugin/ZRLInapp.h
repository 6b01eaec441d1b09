#pragma once
// The UI plug-in's in-app message builder (stand-in): shows an in-app message built from a
// preview configuration, and records it.

#include <memory>
#include <optional>

#include "ZRLRTAPlugin/ZRLPreviewBuilder.h"
#include "ZRLRTAPlugin/ZRLRTAPluginExport.h"

class ZRLRTAPLUGIN_EXPORT ZRLInapp : public ZRLPreviewBuilder {
 public:
  ZRLInapp() : ZRLPreviewBuilder("in_app", ZRLPreviewKind::inApp) {}
  static std::shared_ptr<ZRLInapp> sharedInstance();
  // Builds and shows the preview at once; callable from any thread. Given
  // no configuration, it records a null one and draws nothing.
  virtual void buildAndShowInAppWithUIConfig(const std::optional<nlohmann::json>& config) {
    show(config ? &*config : nullptr);
  }
};
