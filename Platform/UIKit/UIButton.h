#pragma once
// A button: a title, a title colour and a background image per control
// state, drawn centred, and target-action per control event.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Platform/UIKit/UIFont.h"
#include "Platform/UIKit/UIImage.h"
#include "Platform/UIKit/UIKitExport.h"
#include "Platform/UIKit/UIKitText.h"
#include "Platform/UIKit/UIView.h"

using UIControlState = unsigned long;
inline constexpr UIControlState UIControlStateNormal = 0;
inline constexpr UIControlState UIControlStateHighlighted = 1UL << 0;
inline constexpr UIControlState UIControlStateDisabled = 1UL << 1;
inline constexpr UIControlState UIControlStateSelected = 1UL << 2;

using UIControlEvents = unsigned long;
inline constexpr UIControlEvents UIControlEventTouchDown = 1UL << 0;
inline constexpr UIControlEvents UIControlEventTouchUpInside = 1UL << 6;  // 64

class UIButton;
using UIButtonPtr = std::shared_ptr<UIButton>;

// One value per control state, as a button keeps its titles, colours and
// images: an absent value (null, nullopt) clears the state's own, and a
// state without one of its own shows the normal state's.
template <typename Value>
class UIControlStateValues {
 public:
  void set(Value value, UIControlState state) {
    if (value) {
      values_[state] = std::move(value);
    } else {
      values_.erase(state);
    }
  }
  // The state's value, else the normal state's, else an absent value.
  Value forState(UIControlState state) const {
    auto found = values_.find(state);
    if (found == values_.end()) found = values_.find(UIControlStateNormal);
    return found == values_.end() ? Value{} : found->second;
  }

 private:
  std::map<UIControlState, Value> values_;
};

class UIKIT_EXPORT UIButton : public UIView {
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

  // A state without its own image shows the normal state's; null: none.
  void setBackgroundImage(UIImagePtr image, UIControlState state);
  UIImagePtr backgroundImageForState(UIControlState state) const;

  // Target-action: the target is held weakly, as the platform does.
  template <typename T, typename R>
  void addTarget(const std::shared_ptr<T>& target, void (T::*action)(const std::shared_ptr<R>&),
                 UIControlEvents events) {
    std::weak_ptr<T> weak = target;
    addAction(
        [weak, action](const UIButtonPtr& sender) {
          if (auto strong = weak.lock()) ((*strong).*action)(sender);
        },
        events);
  }
  void addAction(std::function<void(const UIButtonPtr&)> action, UIControlEvents events);
  // Runs the actions registered for any of the events, in registration order.
  void sendActionsForControlEvents(UIControlEvents events);

  // A touch that goes down on the button and comes up inside its bounds
  // fires touch-up-inside; a cancelled touch fires nothing.
  void touchesBegan(const UITouch& touch) override;
  void touchesEnded(const UITouch& touch) override;
  void touchesCancelled(const UITouch& touch) override;

  void drawRect(CGContextRef context, CGRect rect) const override;

 private:
  struct TargetAction {
    std::function<void(const UIButtonPtr&)> action;
    UIControlEvents events;
  };
  std::vector<TargetAction> actions_;
  UIControlStateValues<UIImagePtr> backgroundImages_;
  bool tracking_ = false;
  UIControlState state_ = UIControlStateNormal;
  UIControlStateValues<std::optional<std::string>> titles_;
  UIControlStateValues<UIColorPtr> titleColors_;
  UIFontPtr font_ = UIFont::systemFontOfSize(15);
  mutable UIKitTextLayout layout_;
  mutable std::string laidOutTitle_;
};
