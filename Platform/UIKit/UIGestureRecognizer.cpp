#include "Platform/UIKit/UIGestureRecognizer.h"

#include <cmath>

#include "Platform/UIKit/UIWindow.h"

CGPoint UITouch::locationInView(const UIView* view) const {
  if (view == nullptr || !window_) return location_;
  return window_->convertPoint(location_, view);
}

CGPoint UITouch::previousLocationInView(const UIView* view) const {
  if (view == nullptr || !window_) return previous_;
  return window_->convertPoint(previous_, view);
}

void UIGestureRecognizer::sendActions() {
  const auto self = shared_from_this();
  // A copy: an action may add another.
  const std::vector<Action> actions = actions_;
  for (const Action& action : actions)
    action(self);
}

CGPoint UIPanGestureRecognizer::translationInView(const UIViewPtr& /*view*/) const {
  return CGPointMake(translation_.x + (location_.x - base_.x),
                     translation_.y + (location_.y - base_.y));
}

void UIPanGestureRecognizer::setTranslation(CGPoint translation, const UIViewPtr& /*view*/) {
  translation_ = translation;
  base_ = location_;
}

bool UIPanGestureRecognizer::touchesBegan(const UITouch& touch) {
  start_ = touch.locationInView(nullptr);
  location_ = start_;
  base_ = start_;
  translation_ = CGPointMake(0, 0);
  tracking_ = true;
  setState(UIGestureRecognizerStatePossible);
  return false;
}

void UIPanGestureRecognizer::follow(const UITouch& touch) {
  location_ = touch.locationInView(nullptr);
}

bool UIPanGestureRecognizer::touchesMoved(const UITouch& touch) {
  if (!tracking_) return false;
  follow(touch);
  if (state() == UIGestureRecognizerStatePossible) {
    if (std::hypot(location_.x - start_.x, location_.y - start_.y) < kRecognitionDistance) {
      return false;
    }
    setState(UIGestureRecognizerStateBegan);
    sendActions();
    return true;
  }
  setState(UIGestureRecognizerStateChanged);
  sendActions();
  return false;
}

void UIPanGestureRecognizer::touchesEnded(const UITouch& touch) {
  if (!tracking_) return;
  tracking_ = false;
  follow(touch);
  if (state() == UIGestureRecognizerStateBegan || state() == UIGestureRecognizerStateChanged) {
    setState(UIGestureRecognizerStateEnded);
    sendActions();
  }
  setState(UIGestureRecognizerStatePossible);
}

void UIPanGestureRecognizer::touchesCancelled(const UITouch& touch) {
  if (!tracking_) return;
  tracking_ = false;
  follow(touch);
  if (state() == UIGestureRecognizerStateBegan || state() == UIGestureRecognizerStateChanged) {
    setState(UIGestureRecognizerStateCancelled);
    sendActions();
  }
  setState(UIGestureRecognizerStatePossible);
}
