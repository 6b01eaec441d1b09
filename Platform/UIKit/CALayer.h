#pragma once
// A view's layer: corner radius, border and z position, and the drawing of
// the view with everything below it into a bitmap context.

#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/UIColor.h"
#include "Platform/UIKit/UIGraphics.h"
#include "Platform/UIKit/UIKitExport.h"

class UIView;

class UIKIT_EXPORT CALayer {
 public:
  explicit CALayer(const UIView& view) : view_(view) {}
  CALayer(const CALayer&) = delete;
  CALayer& operator=(const CALayer&) = delete;

  CGFloat cornerRadius() const { return cornerRadius_; }
  void setCornerRadius(CGFloat radius) { cornerRadius_ = radius; }
  // A line of that width and colour inside the edge of the bounds,
  // following the corners (none when the width is 0 or the colour null).
  CGFloat borderWidth() const { return borderWidth_; }
  void setBorderWidth(CGFloat width) { borderWidth_ = width; }
  const UIColorPtr& borderColor() const { return borderColor_; }
  void setBorderColor(UIColorPtr color) { borderColor_ = std::move(color); }
  // Siblings are drawn in ascending z position, in subview order among
  // equals.
  CGFloat zPosition() const { return zPosition_; }
  void setZPosition(CGFloat position) { zPosition_ = position; }

  // Draws the view and its visible subviews, each subtree over the ones
  // before it: backgrounds (with rounded corners), then content, then the
  // border (drawn under the subviews, unlike the platform's). Hidden
  // views and everything below them are skipped. The view's bounds land at
  // the context's origin. Walks the tree without recursion.
  void renderInContext(CGContextRef context) const;

 private:
  const UIView& view_;
  CGFloat cornerRadius_ = 0;
  CGFloat borderWidth_ = 0;
  UIColorPtr borderColor_;
  CGFloat zPosition_ = 0;
};
