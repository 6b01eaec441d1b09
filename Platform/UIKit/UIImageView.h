#pragma once
// A view that shows an image stretched over its bounds.

#include "Platform/UIKit/UIImage.h"
#include "Platform/UIKit/UIKitExport.h"
#include "Platform/UIKit/UIView.h"

class UIKIT_EXPORT UIImageView : public UIView {
 public:
  using UIView::UIView;
  const char* className() const override { return "UIImageView"; }

  const UIImagePtr& image() const { return image_; }
  void setImage(UIImagePtr image) { image_ = std::move(image); }

  void drawRect(CGContextRef context, CGRect rect) const override;

 private:
  UIImagePtr image_;
};
