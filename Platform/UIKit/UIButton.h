#pragma once
// A button: a title and a title colour per control state, drawn centred.

#include <map>
#include <optional>
#include <string>

#include "Platform/UIKit/UIFont.h"
#include "Platform/UIKit/UIKitText.h"
#include "Platform/UIKit/UIView.h"

using UIControlState = unsigned long;
inline constexpr UIControlState UIControlStateNormal = 0;
inline constexpr UIControlState UIControlStateHighlighted = 1UL << 0;
inline constexpr UIControlState UIControlStateDisabled = 1UL << 1;
inline constexpr UIControlState UIControlStateSelected = 1UL << 2;

class UIButton : public UIView {
 public:
  using UIView::UIView;
  const char* className() const override { return "UIButton"; }

  // The button's current state (normal unless changed).
  UIControlState state() const { return state_; }
  void setState(UIControlState state);

  // A state without its own title or colour shows the normal state's.
  void setTitle(std::optional<std::string> title, UIControlState state);
  std::optional<std::string> titleForState(UIControlState state) const;
  void setTitleColor(UIColorPtr color, UIControlState state);
  UIColorPtr titleColorForState(UIControlState state) const;
  std::optional<std::string> currentTitle() const { return titleForState(state_); }
  UIColorPtr currentTitleColor() const { return titleColorForState(state_); }

  // The system font of 15 points unless set.
  const UIFontPtr& titleFont() const { return font_; }
  void setTitleFont(UIFontPtr font);

  void drawRect(CGContextRef context, CGRect rect) const override;

 private:
  UIControlState state_ = UIControlStateNormal;
  std::map<UIControlState, std::string> titles_;
  std::map<UIControlState, UIColorPtr> titleColors_;
  UIFontPtr font_ = UIFont::systemFontOfSize(15);
  mutable UIKitTextLayout layout_;
  mutable std::string laidOutTitle_;
};
