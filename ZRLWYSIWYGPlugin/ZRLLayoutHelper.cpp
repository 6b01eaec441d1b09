#include "ZRLWYSIWYGPlugin/ZRLLayoutHelper.h"

#include <unordered_map>
#include <vector>

#include "Platform/UIKit/UITableViewCell.h"
#include "ZRLWYSIWYGPlugin/ZRLLog.h"
#include "ZorlanSDK/ZRLWindowRects.h"
#include "ZorlanSDK/ZorlanSDK.h"

namespace {

constexpr const char* kRootIdentifier = "ZRL";
constexpr std::string_view kReactNativePrefix = "ats_";

// The identifier of a child, from its parent's identifier and its first
// position among the parent's children.
std::string identifierOfChild(const ZRLView& child, const std::string& parentIdentifier,
                              size_t index) {
  std::string identifier;
  if (ZRLController::sharedController()->isReactNative()) {
    const std::optional<std::string> nativeID = ZRLUtilities::getNativeIDForView(child.view());
    if (nativeID && nativeID->starts_with(kReactNativePrefix)) {
      identifier = NSStringWithFormat("%@%@%@", "[zrl_", *nativeID, "_zrl]");
    }
  }
  if (!ZRLUtilities::isInvalidString(identifier)) return identifier;
  const UIViewPtr& view = child.view();
  if (view &&
      (view->isKindOfClass<UITableViewCell>() || view->isKindOfClass<UICollectionViewCell>())) {
    identifier += NSStringWithFormat("%@:%@:%ld", parentIdentifier, child.name(), view->tag());
  } else {
    identifier += NSStringWithFormat("%@:%@:%lu", parentIdentifier, child.name(),
                                     static_cast<unsigned long>(index));
  }
  return identifier;
}

// First positions of the children of a wrapper; a child held twice keeps
// the position where it first appears.
class FirstPositions {
 public:
  explicit FirstPositions(const std::vector<ZRLViewPtr>& children) {
    if (children.size() <= kDirectSearch) return;
    for (size_t i = 0; i < children.size(); ++i)
      positions_.try_emplace(children[i].get(), i);
  }
  size_t of(const std::vector<ZRLViewPtr>& children, size_t index) const {
    if (children.size() > kDirectSearch) return positions_.at(children[index].get());
    for (size_t i = 0; i < index; ++i) {
      if (children[i] == children[index]) return i;
    }
    return index;
  }

 private:
  static constexpr size_t kDirectSearch = 32;
  std::unordered_map<const ZRLView*, size_t> positions_;
};

// The bounds node of a view from its window rectangle.
nlohmann::json boundsFromRect(const UIViewPtr& view, CGRect rect) {
  CGFloat x = rect.origin.x;
  CGFloat y = rect.origin.y;
  if (view && x < 0) x = view->bounds().origin.x;
  if (view && y < 0) y = view->bounds().origin.y;
  const int32_t left = CGFloatToInt32(x);
  const int32_t top = CGFloatToInt32(y);
  const int32_t right = CGFloatToInt32(rect.size.width + static_cast<CGFloat>(left));
  const int32_t bottom = CGFloatToInt32(rect.size.height + static_cast<CGFloat>(top));
  return {{"top", top}, {"bottom", bottom}, {"left", left}, {"right", right}};
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
  constructViewHierarchyJSONForRootView(root, kRootIdentifier, layout);
  return layout;
}

void ZRLLayoutHelper::constructViewHierarchyJSONForRootView(const ZRLViewPtr& root,
                                                            const std::string& identifier,
                                                            nlohmann::json& layout) {
  if (!root) return;
  if (!layout.is_array()) layout = nlohmann::json::array();
  // One entry per wrapper whose children are being walked. A node's
  // "views" array is only appended to while its own entry is on top, so
  // the pointers into the tree stay valid.
  struct Walk {
    const ZRLView* parent;
    std::string identifier;
    nlohmann::json* nodes;
    FirstPositions positions;
    size_t next = 0;
  };
  std::vector<Walk> pending;
  ZRLWindowRects rects;
  pending.push_back({root.get(), identifier, &layout, FirstPositions(root->subviews())});
  while (!pending.empty()) {
    Walk& walk = pending.back();
    const auto& children = walk.parent->subviews();
    if (walk.next == children.size()) {
      pending.pop_back();
      continue;
    }
    const size_t index = walk.next++;
    const ZRLView& child = *children[index];
    std::string childIdentifier =
        identifierOfChild(child, walk.identifier, walk.positions.of(children, index));
    nlohmann::json node = nlohmann::json::object();
    node["id"] = childIdentifier;
    node["naf"] = false;
    if (child.name()) node["view"] = *child.name();
    node["views"] = nlohmann::json::array();
    node["bounds"] = boundsFromRect(child.view(), rects.windowRectOfView(child.view()));
    walk.nodes->push_back(std::move(node));
    nlohmann::json* childNodes = &walk.nodes->back()["views"];
    // walk is not used past this point: the push may move it.
    pending.push_back(
        {&child, std::move(childIdentifier), childNodes, FirstPositions(child.subviews())});
  }
}
