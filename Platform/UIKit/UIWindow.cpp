#include "Platform/UIKit/UIWindow.h"

#include <algorithm>

#include "Platform/UIKit/UIScreen.h"

std::shared_ptr<UIScreen> UIScreen::mainScreen() {
  static auto* screen = new std::shared_ptr<UIScreen>(std::make_shared<UIScreen>());  // NOLINT
  return *screen;
}

UIWindow::UIWindow(CGRect frame) : UIView(frame) {
  UIView::setHidden(true);
}

void UIWindow::setHidden(bool hidden) {
  UIView::setHidden(hidden);
  if (!hidden) {
    UIApplication::sharedApplication().addWindow(
        std::static_pointer_cast<UIWindow>(shared_from_this()));
  }
}

bool UIWindow::isKeyWindow() const {
  return UIApplication::sharedApplication().keyWindow().get() == this;
}

void UIWindow::makeKeyWindow() {
  if (!canBecomeKeyWindow()) return;
  auto self = std::static_pointer_cast<UIWindow>(shared_from_this());
  UIApplication::sharedApplication().addWindow(self);
  UIApplication::sharedApplication().setKeyWindow(self);
}

void UIWindow::makeKeyAndVisible() {
  setHidden(false);
  makeKeyWindow();
}

void UIWindow::setRootView(const UIViewPtr& view) {
  if (auto previous = rootView_.lock(); previous && previous != view) {
    previous->removeFromSuperview();
  }
  rootView_ = view;
  if (view) insertSubview(view, 0);
}

UIApplication& UIApplication::sharedApplication() {
  static auto* application = new UIApplication();  // NOLINT: process lifetime
  return *application;
}

void UIApplication::addWindow(const std::shared_ptr<UIWindow>& window) {
  std::erase_if(windows_, [](const std::weak_ptr<UIWindow>& held) { return held.expired(); });
  for (const auto& held : windows_) {
    if (held.lock() == window) return;
  }
  windows_.push_back(window);
}

std::vector<std::shared_ptr<UIWindow>> UIApplication::windows() const {
  std::vector<std::shared_ptr<UIWindow>> live;
  for (const auto& held : windows_) {
    if (auto window = held.lock()) live.push_back(std::move(window));
  }
  std::stable_sort(live.begin(), live.end(), [](const auto& a, const auto& b) {
    return a->windowLevel() < b->windowLevel();
  });
  return live;
}

void UIApplication::connectScene(const std::shared_ptr<UIScene>& scene) {
  if (!scene || std::find(scenes_.begin(), scenes_.end(), scene) != scenes_.end()) return;
  scenes_.push_back(scene);
}

void UIApplication::disconnectScene(const std::shared_ptr<UIScene>& scene) {
  std::erase(scenes_, scene);
}

bool UIApplication::sendTouchBegan(CGPoint point) {
  if (touch_.view) sendTouchCancelled(touch_.location);
  touch_ = TouchState{};
  touch_.location = point;
  const std::vector<std::shared_ptr<UIWindow>> stack = windows();
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    const std::shared_ptr<UIWindow>& window = *it;
    if (window->isHidden()) continue;
    const CGRect frame = window->frame();
    const CGRect bounds = window->bounds();
    const CGPoint local = CGPointMake(point.x - frame.origin.x + bounds.origin.x,
                                      point.y - frame.origin.y + bounds.origin.y);
    const UITouch probe(window, local, local, UITouchPhase::began);
    const UIEvent event(&probe);
    if (!window->pointInside(local, &event)) continue;
    UIViewPtr hit = window->hitTest(local, &event);
    if (!hit) continue;
    touch_.window = window;
    touch_.view = hit;
    for (UIViewPtr view = hit; view; view = view->superview()) {
      for (const auto& recognizer : view->gestureRecognizers()) {
        touch_.recognizers.push_back(recognizer);
      }
    }
    deliver(UITouchPhase::began, point);
    return true;
  }
  return false;
}

void UIApplication::sendTouchMoved(CGPoint point) {
  deliver(UITouchPhase::moved, point);
}

void UIApplication::sendTouchEnded(CGPoint point) {
  deliver(UITouchPhase::ended, point);
  touch_ = TouchState{};
}

void UIApplication::sendTouchCancelled(CGPoint point) {
  deliver(UITouchPhase::cancelled, point);
  touch_ = TouchState{};
}

void UIApplication::deliver(UITouchPhase phase, CGPoint point) {
  if (!touch_.view || !touch_.window) return;
  // Held for the delivery: an action may start another touch.
  const TouchState state = touch_;
  const CGRect frame = state.window->frame();
  const CGRect bounds = state.window->bounds();
  const auto toWindow = [&](CGPoint screen) {
    return CGPointMake(screen.x - frame.origin.x + bounds.origin.x,
                       screen.y - frame.origin.y + bounds.origin.y);
  };
  const UITouch touch(state.window, toWindow(point), toWindow(touch_.location), phase);
  touch_.location = point;
  bool cancelView = false;
  for (const auto& recognizer : state.recognizers) {
    switch (phase) {
      case UITouchPhase::began:
        cancelView = recognizer->touchesBegan(touch) || cancelView;
        break;
      case UITouchPhase::moved:
        cancelView = recognizer->touchesMoved(touch) || cancelView;
        break;
      case UITouchPhase::ended:
        recognizer->touchesEnded(touch);
        break;
      case UITouchPhase::cancelled:
        recognizer->touchesCancelled(touch);
        break;
    }
  }
  if (touch_.viewCancelled) return;
  if (cancelView) {
    touch_.viewCancelled = true;
    const UITouch cancelled(state.window, touch.locationInView(nullptr),
                            touch.previousLocationInView(nullptr), UITouchPhase::cancelled);
    state.view->touchesCancelled(cancelled);
    return;
  }
  switch (phase) {
    case UITouchPhase::began:
      state.view->touchesBegan(touch);
      break;
    case UITouchPhase::moved:
      state.view->touchesMoved(touch);
      break;
    case UITouchPhase::ended:
      state.view->touchesEnded(touch);
      break;
    case UITouchPhase::cancelled:
      state.view->touchesCancelled(touch);
      break;
  }
}
