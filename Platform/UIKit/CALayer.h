#pragma once
// A view's layer: corner radius and z position, and the drawing of the view
// with everything below it into a bitmap context.

#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/UIGraphics.h"

class UIView;

class CALayer {
 public:
  explicit CALayer(const UIView& view) : view_(view) {}
  CALayer(const CALayer&) = delete;
  CALayer& operator=(const CALayer&) = delete;

  CGFloat cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(CGFloat radius) { cornerRadius_ = radius; }
  // Siblings are drawn in ascending z position, in subview order among
  // equals.
  CGFloat zPosition() const { return zPosition_; }
  void setZPosition(CGFloat position) { zPosition_ = position; }

  // Draws the view and its visible subviews, each subtree over the ones
  // before it: backgrounds (with rounded corners), then content. Hidden
  // views and everything below them are skipped. The view's bounds land at
  // the context's origin. Walks the tree without recursion.
  void renderInContext(CGContextRef context) const;

 private:
  const UIView& view_;
  CGFloat cornerRadius_ = 0;
  CGFloat zPosition_ = 0;
};
