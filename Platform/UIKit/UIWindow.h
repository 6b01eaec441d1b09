#pragma once
// Windows: views at the root of a tree, stacked by level, one of them the
// application's key window; and the application that keeps them.

#include <memory>
#include <vector>

#include "Platform/UIKit/UIView.h"

using UIWindowLevel = CGFloat;
inline constexpr UIWindowLevel UIWindowLevelNormal = 0;
inline constexpr UIWindowLevel UIWindowLevelStatusBar = 1000;
inline constexpr UIWindowLevel UIWindowLevelAlert = 2000;

class UIWindow : public UIView {
 public:
  // A new window is hidden until it is shown or made key.
  UIWindow() : UIWindow(CGRectZero) {}
  explicit UIWindow(CGRect frame);

  const char* className() const override { return "UIWindow"; }

  UIWindowLevel windowLevel() const { return windowLevel_; }
  void setWindowLevel(UIWindowLevel level) { windowLevel_ = level; }

  // Showing a window adds it to the application's windows.
  void setHidden(bool hidden) override;
  bool isKeyWindow() const;
  // Whether the window accepts key status; the default is yes.
  virtual bool canBecomeKeyWindow() const { return true; }
  // Makes the window the key window if it accepts, else changes nothing.
  void makeKeyWindow();
  void makeKeyAndVisible();

  // The view that the app shows in the window: its first subview, set with
  // setRootView (which replaces the previous one); null when empty.
  UIViewPtr rootView() const { return rootView_.lock(); }
  void setRootView(const UIViewPtr& view);

 private:
  UIWindowLevel windowLevel_ = UIWindowLevelNormal;
  std::weak_ptr<UIView> rootView_;
};

// The application: its windows (as long as their owners keep them) and
// the key window. Main thread only.
class UIApplication {
 public:
  static UIApplication& sharedApplication();

  // Visible and hidden windows that were ever shown, lowest level first
  // (in order of showing among equal levels).
  std::vector<std::shared_ptr<UIWindow>> windows() const;
  std::shared_ptr<UIWindow> keyWindow() const { return keyWindow_.lock(); }

 private:
  friend class UIWindow;
  void addWindow(const std::shared_ptr<UIWindow>& window);
  void setKeyWindow(const std::shared_ptr<UIWindow>& window) { keyWindow_ = window; }

  mutable std::vector<std::weak_ptr<UIWindow>> windows_;
  std::weak_ptr<UIWindow> keyWindow_;
};
