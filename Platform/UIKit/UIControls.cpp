// Fonts, labels, buttons and image views.
#include <cairo.h>

#include <algorithm>

#include "Platform/UIKit/UIButton.h"
#include "Platform/UIKit/UIFont.h"
#include "Platform/UIKit/UIGestureRecognizer.h"
#include "Platform/UIKit/UIImageView.h"
#include "Platform/UIKit/UILabel.h"

namespace {

// Draws the image stretched over the area, clipped to it; nothing for no
// image or an empty one or area. (Image scales are positive: pixels and
// points are empty together.)
void drawImageFilling(CGContextRef context, const UIImagePtr& image, CGRect area) {
  cairo_t* cairo = CGContextGetCairo(context);
  if (cairo == nullptr || !image || image->pixelWidth() <= 0 || image->pixelHeight() <= 0 ||
      !(area.size.width > 0 && area.size.height > 0)) {
    return;
  }
  cairo_save(cairo);
  cairo_rectangle(cairo, area.origin.x, area.origin.y, area.size.width, area.size.height);
  cairo_clip(cairo);
  cairo_translate(cairo, area.origin.x, area.origin.y);
  cairo_scale(cairo, area.size.width / image->pixelWidth(),
              area.size.height / image->pixelHeight());
  cairo_set_source_surface(cairo, image->cairoSurface(), 0, 0);
  cairo_paint(cairo);
  cairo_restore(cairo);
}

}  // namespace

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

UIKitTextWrapping UILabel::wrapping(CGFloat width, NSInteger lines) const {
  UIKitTextWrapping wrapping;
  wrapping.width = width;
  wrapping.maximumLines = std::max<NSInteger>(lines, 0);
  wrapping.lineBreakMode = lineBreakMode_;
  wrapping.lineHeight = lineHeight_;
  return wrapping;
}

CGRect UILabel::textRectForBounds(CGRect bounds, NSInteger numberOfLines) const {
  if (!text_ || text_->empty()) return CGRect{bounds.origin, CGSizeMake(0, 0)};
  if (numberOfLines == 1) return CGRect{bounds.origin, layout_.size(*text_, font_)};
  return CGRect{bounds.origin,
                layout_.size(*text_, font_, wrapping(bounds.size.width, numberOfLines))};
}

void UILabel::drawRect(CGContextRef context, CGRect rect) const {
  if (!text_) return;
  if (numberOfLines_ == 1) {
    layout_.draw(context, rect, *text_, font_, textColor_, alignment_);
  } else {
    layout_.draw(context, rect, *text_, font_, textColor_, alignment_,
                 wrapping(rect.size.width, numberOfLines_));
  }
}

void UIButton::setState(UIControlState state) {
  state_ = state;
}

void UIButton::setTitle(std::optional<std::string> title, UIControlState state) {
  titles_.set(std::move(title), state);
}

std::optional<std::string> UIButton::titleForState(UIControlState state) const {
  return titles_.forState(state);
}

void UIButton::setTitleColor(UIColorPtr color, UIControlState state) {
  titleColors_.set(std::move(color), state);
}

UIColorPtr UIButton::titleColorForState(UIControlState state) const {
  UIColorPtr color = titleColors_.forState(state);
  return color ? color : UIColor::whiteColor();
}

void UIButton::setTitleFont(UIFontPtr font) {
  font_ = std::move(font);
  layout_.invalidate();
}

void UIButton::setBackgroundImage(UIImagePtr image, UIControlState state) {
  backgroundImages_.set(std::move(image), state);
}

UIImagePtr UIButton::backgroundImageForState(UIControlState state) const {
  return backgroundImages_.forState(state);
}

void UIButton::addAction(std::function<void(const UIButtonPtr&)> action, UIControlEvents events) {
  if (action && events != 0) actions_.push_back(TargetAction{std::move(action), events});
}

void UIButton::sendActionsForControlEvents(UIControlEvents events) {
  const auto self = std::static_pointer_cast<UIButton>(shared_from_this());
  // A copy: an action may register another.
  const std::vector<TargetAction> actions = actions_;
  for (const TargetAction& entry : actions) {
    if ((entry.events & events) != 0) entry.action(self);
  }
}

void UIButton::touchesBegan(const UITouch& /*touch*/) {
  tracking_ = true;
  sendActionsForControlEvents(UIControlEventTouchDown);
}

void UIButton::touchesEnded(const UITouch& touch) {
  if (!tracking_) return;
  tracking_ = false;
  if (pointInside(touch.locationInView(this), nullptr)) {
    sendActionsForControlEvents(UIControlEventTouchUpInside);
  }
}

void UIButton::touchesCancelled(const UITouch& /*touch*/) {
  tracking_ = false;
}

void UIButton::drawRect(CGContextRef context, CGRect rect) const {
  drawImageFilling(context, backgroundImageForState(state_), bounds());
  const std::optional<std::string> title = currentTitle();
  if (!title) return;
  if (*title != laidOutTitle_) {
    layout_.invalidate();
    laidOutTitle_ = *title;
  }
  layout_.draw(context, rect, *title, font_, currentTitleColor(), NSTextAlignment::center);
}

void UIImageView::drawRect(CGContextRef context, CGRect rect) const {
  drawImageFilling(context, image_, rect);
}
