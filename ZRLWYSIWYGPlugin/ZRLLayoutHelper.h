#pragma once
// Serialises the view hierarchy on screen into the layout: one node per
// view of the host's wrapper tree, with an identifier built from the
// view's place in the tree (or its React Native ID), its name, and its
// rectangle in window points. Used once per capture, on the main thread.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h"
#include "ZorlanSDK/ZRLView.h"

class ZRLWYSIWYGPLUGIN_EXPORT ZRLLayoutHelper {
 public:
  ZRLLayoutHelper() = default;

  // The layout of the current screen: an array of nodes for the children
  // of the top view's wrapper (empty when there is no top view).
  nlohmann::json constructViewHierarchy();

  // Appends to layout one node for each child of root, each node's "views"
  // filled the same way below it. Walks trees of any depth without deep
  // recursion.
  void constructViewHierarchyJSONForRootView(const ZRLViewPtr& root, const std::string& identifier,
                                             nlohmann::json& layout);

  // The "bounds" object of a view: its frame in window coordinates, a
  // negative x or y replaced by its bounds' origin, each edge truncated to
  // a 32-bit integer (saturating; NaN gives 0). All 0 for a null view or
  // one without superview.
  static nlohmann::json boundsOfView(const UIViewPtr& view);
};
