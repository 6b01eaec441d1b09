#pragma once
// A view that shows text in a font and colour: on one line, or wrapped
// within its width on several.

#include <optional>
#include <string>

#include "Platform/UIKit/UIFont.h"
#include "Platform/UIKit/UIKitExport.h"
#include "Platform/UIKit/UIKitText.h"
#include "Platform/UIKit/UIView.h"

class UIKIT_EXPORT UILabel : public UIView {
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

  // 1 (the default) keeps the text on one line, clipped at the label's
  // edges; any other number wraps it within the label's width, keeping at
  // most that many lines (0: all) by the line break mode (truncating the
  // tail unless set), a line feed starting a new line.
  NSInteger numberOfLines() const { return numberOfLines_; }
  void setNumberOfLines(NSInteger lines) { numberOfLines_ = lines; }
  NSLineBreakMode lineBreakMode() const { return lineBreakMode_; }
  void setLineBreakMode(NSLineBreakMode mode) { lineBreakMode_ = mode; }
  // The height of every wrapped line whatever the font reports, as a
  // paragraph style with equal minimum and maximum line heights sets it;
  // 0 (the default): the font's own.
  CGFloat lineHeight() const { return lineHeight_; }
  void setLineHeight(CGFloat height) { lineHeight_ = height; }

  // The text's size on one line.
  CGSize intrinsicContentSize() const;
  // The rectangle that the text takes within the bounds, at their origin,
  // with at most that many lines (0: as many as it needs); wrapped within
  // the bounds' width unless the limit is 1.
  CGRect textRectForBounds(CGRect bounds, NSInteger numberOfLines) const;
  void drawRect(CGContextRef context, CGRect rect) const override;

 private:
  UIKitTextWrapping wrapping(CGFloat width, NSInteger lines) const;

  std::optional<std::string> text_;
  UIColorPtr textColor_ = UIColor::blackColor();
  UIFontPtr font_ = UIFont::systemFontOfSize(17);
  NSTextAlignment alignment_ = NSTextAlignment::left;
  NSInteger numberOfLines_ = 1;
  NSLineBreakMode lineBreakMode_ = NSLineBreakMode::byTruncatingTail;
  CGFloat lineHeight_ = 0;
  mutable UIKitTextLayout layout_;
};
