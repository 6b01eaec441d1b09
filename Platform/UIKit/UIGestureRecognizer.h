#pragma once
// Touches, their events, and the pan gesture recogniser that turns a moving
// touch into a drag with translations.

#include <functional>
#include <memory>
#include <vector>

#include "Platform/UIKit/UIKitExport.h"
#include "Platform/UIKit/UIView.h"

enum class UITouchPhase { began, moved, ended, cancelled };

// One finger on the glass: where it is now and where it was, in the
// coordinates of the window that it touches.
class UIKIT_EXPORT UITouch {
 public:
  UITouch(std::shared_ptr<UIWindow> window, CGPoint location, CGPoint previous, UITouchPhase phase)
      : window_(std::move(window)), location_(location), previous_(previous), phase_(phase) {}

  UITouchPhase phase() const { return phase_; }
  const std::shared_ptr<UIWindow>& window() const { return window_; }
  // The location in a view's coordinates (null: the window's).
  CGPoint locationInView(const UIView* view) const;
  CGPoint previousLocationInView(const UIView* view) const;

 private:
  std::shared_ptr<UIWindow> window_;
  CGPoint location_;
  CGPoint previous_;
  UITouchPhase phase_;
};

// The event that carries a touch.
class UIKIT_EXPORT UIEvent {
 public:
  explicit UIEvent(const UITouch* touch) : touch_(touch) {}
  const UITouch* touch() const { return touch_; }

 private:
  const UITouch* touch_;
};

using UIGestureRecognizerState = long;
inline constexpr UIGestureRecognizerState UIGestureRecognizerStatePossible = 0;
inline constexpr UIGestureRecognizerState UIGestureRecognizerStateBegan = 1;
inline constexpr UIGestureRecognizerState UIGestureRecognizerStateChanged = 2;
inline constexpr UIGestureRecognizerState UIGestureRecognizerStateEnded = 3;
inline constexpr UIGestureRecognizerState UIGestureRecognizerStateCancelled = 4;
inline constexpr UIGestureRecognizerState UIGestureRecognizerStateFailed = 5;

class UIKIT_EXPORT UIGestureRecognizer : public std::enable_shared_from_this<UIGestureRecognizer> {
 public:
  using Action = std::function<void(const std::shared_ptr<UIGestureRecognizer>&)>;

  UIGestureRecognizer() = default;
  virtual ~UIGestureRecognizer() = default;
  UIGestureRecognizer(const UIGestureRecognizer&) = delete;
  UIGestureRecognizer& operator=(const UIGestureRecognizer&) = delete;

  // Target-action: the target is held weakly, as the platform does; the
  // action runs while the target lives.
  template <typename T, typename R>
  void addTarget(const std::shared_ptr<T>& target, void (T::*action)(const std::shared_ptr<R>&)) {
    std::weak_ptr<T> weak = target;
    actions_.push_back([weak, action](const std::shared_ptr<UIGestureRecognizer>& sender) {
      if (auto strong = weak.lock()) {
        ((*strong).*action)(std::static_pointer_cast<R>(sender));
      }
    });
  }
  void addAction(Action action) { actions_.push_back(std::move(action)); }

  UIGestureRecognizerState state() const { return state_; }
  UIViewPtr view() const { return view_.lock(); }
  void setView(const UIViewPtr& view) { view_ = view; }

  // Touch delivery from the application. Returns true when the recogniser
  // has just recognised and the view's own touch must be cancelled.
  virtual bool touchesBegan(const UITouch& touch) = 0;
  virtual bool touchesMoved(const UITouch& touch) = 0;
  virtual void touchesEnded(const UITouch& touch) = 0;
  virtual void touchesCancelled(const UITouch& touch) = 0;

 protected:
  void setState(UIGestureRecognizerState state) { state_ = state; }
  void sendActions();

 private:
  UIGestureRecognizerState state_ = UIGestureRecognizerStatePossible;
  std::weak_ptr<UIView> view_;
  std::vector<Action> actions_;
};

// A drag: recognised once the finger has moved 10 points from where it
// went down. The first translation holds the whole movement since then, so
// the translations of one drag add up to the finger's whole movement.
class UIKIT_EXPORT UIPanGestureRecognizer : public UIGestureRecognizer {
 public:
  static constexpr CGFloat kRecognitionDistance = 10;

  // The movement since the drag began or the translation was last set.
  // Views here are not scaled, so it is the same in every view.
  CGPoint translationInView(const UIViewPtr& view) const;
  void setTranslation(CGPoint translation, const UIViewPtr& view);

  bool touchesBegan(const UITouch& touch) override;
  bool touchesMoved(const UITouch& touch) override;
  void touchesEnded(const UITouch& touch) override;
  void touchesCancelled(const UITouch& touch) override;

 private:
  void follow(const UITouch& touch);

  CGPoint start_;  // where the finger went down (window coordinates)
  CGPoint base_;   // the location that translation_ is counted from
  CGPoint translation_;
  CGPoint location_;
  bool tracking_ = false;
};
