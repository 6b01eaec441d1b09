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
