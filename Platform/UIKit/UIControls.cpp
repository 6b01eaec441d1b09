// Fonts, labels, buttons and image views.
#include <cairo.h>

#include "Platform/UIKit/UIButton.h"
#include "Platform/UIKit/UIFont.h"
#include "Platform/UIKit/UIImageView.h"
#include "Platform/UIKit/UILabel.h"

UIFontPtr UIFont::systemFontOfSize(CGFloat size) {
  return std::make_shared<const UIFont>(UIFontSystemFamilyName, size, false);
}

UIFontPtr UIFont::boldSystemFontOfSize(CGFloat size) {
  return std::make_shared<const UIFont>(UIFontSystemFamilyName, size, true);
}

void UILabel::setText(std::optional<std::string> text) {
  text_ = std::move(text);
  layout_.invalidate();
}

void UILabel::setFont(UIFontPtr font) {
  font_ = std::move(font);
  layout_.invalidate();
}

CGSize UILabel::intrinsicContentSize() const {
  if (!text_ || text_->empty()) return CGSizeMake(0, 0);
  return layout_.size(*text_, font_);
}

void UILabel::drawRect(CGContextRef context, CGRect rect) const {
  if (text_) layout_.draw(context, rect, *text_, font_, textColor_, alignment_);
}

void UIButton::setState(UIControlState state) {
  state_ = state;
}

void UIButton::setTitle(std::optional<std::string> title, UIControlState state) {
  if (title) {
    titles_[state] = std::move(*title);
  } else {
    titles_.erase(state);
  }
}

std::optional<std::string> UIButton::titleForState(UIControlState state) const {
  auto found = titles_.find(state);
  if (found == titles_.end()) found = titles_.find(UIControlStateNormal);
  if (found == titles_.end()) return std::nullopt;
  return found->second;
}

void UIButton::setTitleColor(UIColorPtr color, UIControlState state) {
  if (color) {
    titleColors_[state] = std::move(color);
  } else {
    titleColors_.erase(state);
  }
}

UIColorPtr UIButton::titleColorForState(UIControlState state) const {
  auto found = titleColors_.find(state);
  if (found == titleColors_.end()) found = titleColors_.find(UIControlStateNormal);
  return found == titleColors_.end() ? UIColor::whiteColor() : found->second;
}

void UIButton::setTitleFont(UIFontPtr font) {
  font_ = std::move(font);
  layout_.invalidate();
}

void UIButton::drawRect(CGContextRef context, CGRect rect) const {
  const std::optional<std::string> title = currentTitle();
  if (!title) return;
  if (*title != laidOutTitle_) {
    layout_.invalidate();
    laidOutTitle_ = *title;
  }
  layout_.draw(context, rect, *title, font_, currentTitleColor(), NSTextAlignment::center);
}

void UIImageView::drawRect(CGContextRef context, CGRect rect) const {
  cairo_t* cairo = CGContextGetCairo(context);
  if (cairo == nullptr || !image_) return;
  const CGSize size = image_->size();
  if (!(size.width > 0 && size.height > 0 && rect.size.width > 0 && rect.size.height > 0)) return;
  cairo_save(cairo);
  cairo_rectangle(cairo, rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
  cairo_clip(cairo);
  cairo_translate(cairo, rect.origin.x, rect.origin.y);
  cairo_scale(cairo, rect.size.width / image_->pixelWidth(),
              rect.size.height / image_->pixelHeight());
  cairo_set_source_surface(cairo, image_->cairoSurface(), 0, 0);
  cairo_paint(cairo);
  cairo_restore(cairo);
}
