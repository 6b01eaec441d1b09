#include "ZorlanSDK/ZRLViewIdentifiers.h"

#include "Platform/Foundation/NSString.h"
#include "Platform/UIKit/UITableViewCell.h"
#include "ZorlanSDK/ZRLController.h"
#include "ZorlanSDK/ZRLUtilities.h"
#include "ZorlanSDK/ZRLWindowRects.h"

namespace {

constexpr std::string_view kReactNativePrefix = "ats_";

}  // namespace

std::string ZRLViewIdentifiers::identifierOfChild(const ZRLView& child,
                                                  const std::string& parentIdentifier,
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

ZRLLayoutBounds ZRLViewIdentifiers::boundsOfView(const UIViewPtr& view, CGRect windowRect) {
  CGFloat x = windowRect.origin.x;
  CGFloat y = windowRect.origin.y;
  if (view && x < 0) x = view->bounds().origin.x;
  if (view && y < 0) y = view->bounds().origin.y;
  ZRLLayoutBounds bounds;
  bounds.left = CGFloatToInt32(x);
  bounds.top = CGFloatToInt32(y);
  bounds.right = CGFloatToInt32(windowRect.size.width + static_cast<CGFloat>(bounds.left));
  bounds.bottom = CGFloatToInt32(windowRect.size.height + static_cast<CGFloat>(bounds.top));
  return bounds;
}

ZRLViewPtr ZRLViewIdentifiers::screenTree() {
  const UIViewPtr top = ZRLUtilities::topView();
  if (!top) return nullptr;
  auto root = std::make_shared<ZRLView>(top);
  ZRLUtilities::constructCustomViewHierarchyForView(root->view(), root,
                                                    ZRLUtilities::ignoredViews(), nullptr, nullptr);
  ZRLUtilities::sortSubViewsWithRootView(root);
  return root;
}

std::optional<ZRLViewIdentifiers::Found> ZRLViewIdentifiers::viewWithIdentifier(
    const std::string& identifier) {
  const ZRLViewPtr root = screenTree();
  if (!root) return std::nullopt;
  Walk walk(*root, kRootIdentifier);
  while (walk.next()) {
    if (walk.identifier() != identifier) continue;
    const UIViewPtr& view = walk.view().view();
    // The rectangle as the layout's walk finds it, to the last bit.
    ZRLWindowRects rects;
    return Found{view, boundsOfView(view, rects.windowRectOfView(view))};
  }
  return std::nullopt;
}

ZRLViewIdentifiers::Walk::FirstPositions::FirstPositions(const std::vector<ZRLViewPtr>& children) {
  if (children.size() <= kDirectSearch) return;
  for (size_t i = 0; i < children.size(); ++i)
    positions_.try_emplace(children[i].get(), i);
}

size_t ZRLViewIdentifiers::Walk::FirstPositions::of(const std::vector<ZRLViewPtr>& children,
                                                    size_t index) const {
  if (children.size() > kDirectSearch) return positions_.at(children[index].get());
  for (size_t i = 0; i < index; ++i) {
    if (children[i] == children[index]) return i;
  }
  return index;
}

ZRLViewIdentifiers::Walk::Walk(const ZRLView& root, std::string rootIdentifier) {
  frames_.push_back({&root, std::move(rootIdentifier), FirstPositions(root.subviews())});
}

bool ZRLViewIdentifiers::Walk::next() {
  if (descend_) {
    descend_ = false;
    frames_.push_back({current_, std::move(identifier_), FirstPositions(current_->subviews())});
  }
  while (!frames_.empty()) {
    Frame& frame = frames_.back();
    const auto& children = frame.parent->subviews();
    if (frame.next == children.size()) {
      frames_.pop_back();
      continue;
    }
    const size_t index = frame.next++;
    current_ = children[index].get();
    identifier_ =
        identifierOfChild(*current_, frame.identifier, frame.positions.of(children, index));
    depth_ = frames_.size();
    descend_ = true;
    return true;
  }
  current_ = nullptr;
  identifier_.clear();
  depth_ = 0;
  return false;
}
