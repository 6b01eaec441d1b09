#pragma once
// A view that shows one line of text in a font and colour.

#include <optional>
#include <string>

#include "Platform/UIKit/UIFont.h"
#include "Platform/UIKit/UIKitText.h"
#include "Platform/UIKit/UIView.h"

class UILabel : public UIView {
 public:
  using UIView::UIView;
  const char* className() const override { return "UILabel"; }

  const std::optional<std::string>& text() const { return text_; }
  void setText(std::optional<std::string> text);
  // Black unless set.
  const UIColorPtr& textColor() const { return textColor_; }
  void setTextColor(UIColorPtr color) { textColor_ = std::move(color); }
  // The system font of 17 points unless set.
  const UIFontPtr& font() const { return font_; }
  void setFont(UIFontPtr font);
  NSTextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(NSTextAlignment alignment) { alignment_ = alignment; }

  // The text's size on one line.
  CGSize intrinsicContentSize() const;
  void drawRect(CGContextRef context, CGRect rect) const override;

 private:
  std::optional<std::string> text_;
  UIColorPtr textColor_ = UIColor::blackColor();
  UIFontPtr font_ = UIFont::systemFontOfSize(17);
  NSTextAlignment alignment_ = NSTextAlignment::left;
  mutable UIKitTextLayout layout_;
};
