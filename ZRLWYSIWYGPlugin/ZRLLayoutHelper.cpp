#include "ZRLWYSIWYGPlugin/ZRLLayoutHelper.h"

#include <vector>

#include "ZRLWYSIWYGPlugin/ZRLLog.h"
#include "ZorlanSDK/ZRLViewIdentifiers.h"
#include "ZorlanSDK/ZRLWindowRects.h"
#include "ZorlanSDK/ZorlanSDK.h"

namespace {

// The bounds node of a view from its window rectangle.
nlohmann::json boundsFromRect(const UIViewPtr& view, CGRect rect) {
  const ZRLLayoutBounds bounds = ZRLViewIdentifiers::boundsOfView(view, rect);
  return {{"top", bounds.top},
          {"bottom", bounds.bottom},
          {"left", bounds.left},
          {"right", bounds.right}};
}

}  // namespace

nlohmann::json ZRLLayoutHelper::boundsOfView(const UIViewPtr& view) {
  return boundsFromRect(view, ZRLUtilities::windowRectOfView(view));
}

nlohmann::json ZRLLayoutHelper::constructViewHierarchy() {
  static constexpr const char* kLocation = "-[ZRLLayoutHelper constructViewHierarchy]";
  const UIViewPtr top = ZRLUtilities::topView();
  auto root = std::make_shared<ZRLView>(top);
  ZRLLogDebug(kLocation, "<> The View hierary is as follows <>");
  std::string viewSeparator;
  ZRLUtilities::logViewWithRoot(top, viewSeparator);
  ZRLUtilities::constructCustomViewHierarchyForView(root->view(), root,
                                                    ZRLUtilities::ignoredViews(), nullptr, nullptr);
  ZRLLogDebug(kLocation, "<> The ZRL View hierary is as follows <>");
  std::string wrapperSeparator;
  ZRLUtilities::logZRLViewWithRoot(root, wrapperSeparator);
  ZRLUtilities::sortSubViewsWithRootView(root);
  nlohmann::json layout = nlohmann::json::array();
  constructViewHierarchyJSONForRootView(root, ZRLViewIdentifiers::kRootIdentifier, layout);
  return layout;
}

void ZRLLayoutHelper::constructViewHierarchyJSONForRootView(const ZRLViewPtr& root,
                                                            const std::string& identifier,
                                                            nlohmann::json& layout) {
  if (!root) return;
  if (!layout.is_array()) layout = nlohmann::json::array();
  // The array that takes the nodes of each depth's wrappers: the walk goes
  // depth first, so the arrays of a wrapper's ancestors are the ones before
  // it, and an array is only appended to while nothing below it is open.
  std::vector<nlohmann::json*> arrays{&layout};
  ZRLWindowRects rects;
  ZRLViewIdentifiers::Walk walk(*root, identifier);
  while (walk.next()) {
    const ZRLView& child = walk.view();
    nlohmann::json node = nlohmann::json::object();
    node["id"] = walk.identifier();
    node["naf"] = false;
    if (child.name()) node["view"] = *child.name();
    node["views"] = nlohmann::json::array();
    node["bounds"] = boundsFromRect(child.view(), rects.windowRectOfView(child.view()));
    arrays.resize(walk.depth());
    nlohmann::json& siblings = *arrays.back();
    siblings.push_back(std::move(node));
    arrays.push_back(&siblings.back()["views"]);
  }
}
