#include "ZorlanSDK/ZRLWindowRects.h"

#include <vector>

CGRect ZRLWindowRects::windowRectOfView(const UIViewPtr& view) {
  if (!view) return CGRectZero;
  const UIViewPtr superview = view->superview();
  if (!superview) return CGRectZero;
  const CGPoint offset = offsetOfView(superview);
  const CGRect frame = view->frame();
  return CGRect{CGPointMake(frame.origin.x + offset.x, frame.origin.y + offset.y), frame.size};
}

CGPoint ZRLWindowRects::offsetOfView(const UIViewPtr& view) {
  // Up to the first view whose offset is known, or to the outermost view,
  // whose coordinates are the window's; then down again, each view adding
  // its frame origin less its bounds origin.
  std::vector<UIViewPtr> unknown;
  CGPoint offset = CGPointMake(0, 0);
  for (UIViewPtr at = view; at;) {
    if (const auto known = offsets_.find(at.get()); known != offsets_.end()) {
      offset = known->second;
      break;
    }
    UIViewPtr superview = at->superview();
    if (!superview) {
      offsets_.emplace(at.get(), offset);
      break;
    }
    unknown.push_back(std::move(at));
    at = std::move(superview);
  }
  for (auto at = unknown.rbegin(); at != unknown.rend(); ++at) {
    const CGPoint origin = (*at)->frame().origin;
    const CGPoint boundsOrigin = (*at)->bounds().origin;
    offset.x += origin.x - boundsOrigin.x;
    offset.y += origin.y - boundsOrigin.y;
    offsets_.emplace(at->get(), offset);
  }
  return offset;
}
