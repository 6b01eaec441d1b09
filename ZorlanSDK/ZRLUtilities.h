#pragma once
// Helpers of the host SDK: string checks and JSON parsing, and the view
// helpers behind the capture: the key window and top view, the views the
// host leaves out, its wrapper tree with its reading order, debug dumps of
// both trees, and React Native IDs. The view helpers belong to the main
// thread; all of them walk trees of any depth without deep recursion.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/UIKit/UIWindow.h"
#include "ZorlanSDK/ZRLView.h"
#include "ZorlanSDK/ZorlanSDKExport.h"

class ZORLANSDK_EXPORT ZRLUtilities {
 public:
  // True for an absent or empty string.
  static bool isInvalidString(const std::optional<std::string>& text);
  // The JSON object that the text holds; nothing when the text is absent,
  // not JSON, or JSON of another kind than an object.
  static std::optional<nlohmann::json> dictionaryFromJsonString(
      const std::optional<std::string>& text);

  // The application's key window, or null.
  static std::shared_ptr<UIWindow> keyWindow();
  // The view at the top of the current screen: the key window's root view,
  // or null.
  static UIViewPtr topView();

  // The views that the host leaves out of its wrapper tree (with everything
  // below them), as long as someone else keeps them.
  static std::vector<UIViewPtr> ignoredViews();
  static void addIgnoredView(const UIViewPtr& view);
  static void removeAllIgnoredViews();

  // Fills root's subviews, recursively, with wrappers of the subviews of
  // view that are neither hidden nor ignored (nor below such a view), in
  // subview order. This stand-in reads table and collection views like any
  // other view, so the auxiliary views are not needed and may be null.
  static void constructCustomViewHierarchyForView(const UIViewPtr& view, const ZRLViewPtr& root,
                                                  const std::vector<UIViewPtr>& ignoredViews,
                                                  const UIViewPtr& auxiliaryTableView,
                                                  const UIViewPtr& collectionView);
  // Puts the subviews of every wrapper below root into reading order: a
  // stable sort by top edge, then left edge, in window coordinates.
  static void sortSubViewsWithRootView(const ZRLViewPtr& root);

  // Indented dumps of a view tree and of a wrapper tree, one line per view,
  // each line beginning with the separator; written to the log only at the
  // debug log level (LOG_LEVEL 1 or below).
  static void logViewWithRoot(const UIViewPtr& root, std::string& separator);
  static void logZRLViewWithRoot(const ZRLViewPtr& root, std::string& separator);

  // The React Native native ID of the view, or nothing.
  static std::optional<std::string> getNativeIDForView(const UIViewPtr& view);

  // The rectangle of a view's frame in its window's coordinates (the zero
  // rectangle for no view or a view without superview).
  static CGRect windowRectOfView(const UIViewPtr& view);
};
