#pragma once
// Windows: views at the root of a tree, stacked by level, one of them the
// application's key window; and the application that keeps them.

#include <memory>
#include <optional>
#include <vector>

#include "Platform/UIKit/UIGestureRecognizer.h"
#include "Platform/UIKit/UIKitExport.h"
#include "Platform/UIKit/UIView.h"

using UIWindowLevel = CGFloat;
inline constexpr UIWindowLevel UIWindowLevelNormal = 0;
inline constexpr UIWindowLevel UIWindowLevelStatusBar = 1000;
inline constexpr UIWindowLevel UIWindowLevelAlert = 2000;

using UISceneActivationState = long;
inline constexpr UISceneActivationState UISceneActivationStateForegroundActive = 0;
inline constexpr UISceneActivationState UISceneActivationStateForegroundInactive = 1;
inline constexpr UISceneActivationState UISceneActivationStateBackground = 2;
inline constexpr UISceneActivationState UISceneActivationStateUnattached = -1;

// A scene of the application with its activation state.
class UIKIT_EXPORT UIScene {
 public:
  UIScene() = default;
  virtual ~UIScene() = default;
  UIScene(const UIScene&) = delete;
  UIScene& operator=(const UIScene&) = delete;
  UISceneActivationState activationState() const { return activationState_; }
  void setActivationState(UISceneActivationState state) { activationState_ = state; }

 private:
  UISceneActivationState activationState_ = UISceneActivationStateForegroundActive;
};

// A scene that shows windows.
class UIKIT_EXPORT UIWindowScene : public UIScene {};

class UIKIT_EXPORT UIWindow : public UIView {
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
  virtual void makeKeyWindow();

  // The scene that the window belongs to; null when none.
  std::shared_ptr<UIWindowScene> windowScene() const { return windowScene_.lock(); }
  void setWindowScene(const std::shared_ptr<UIWindowScene>& scene) { windowScene_ = scene; }
  void makeKeyAndVisible();

  // The view that the app shows in the window: its first subview, set with
  // setRootView (which replaces the previous one); null when empty.
  UIViewPtr rootView() const { return rootView_.lock(); }
  void setRootView(const UIViewPtr& view);

 private:
  UIWindowLevel windowLevel_ = UIWindowLevelNormal;
  std::weak_ptr<UIView> rootView_;
  std::weak_ptr<UIWindowScene> windowScene_;
};

// The application: its windows (as long as their owners keep them) and
// the key window. Main thread only.
class UIKIT_EXPORT UIApplication {
 public:
  static UIApplication& sharedApplication();

  // Visible and hidden windows that were ever shown, lowest level first
  // (in order of showing among equal levels).
  std::vector<std::shared_ptr<UIWindow>> windows() const;
  std::shared_ptr<UIWindow> keyWindow() const { return keyWindow_.lock(); }

  // The scenes in the order of connection.
  const std::vector<std::shared_ptr<UIScene>>& connectedScenes() const { return scenes_; }
  void connectScene(const std::shared_ptr<UIScene>& scene);
  void disconnectScene(const std::shared_ptr<UIScene>& scene);

  // One finger, in screen coordinates. A touch goes to the visible windows
  // from the highest level down: a window whose pointInside declines it
  // passes it on; the first that takes it hit-tests its views. The view
  // hit and the gesture recognisers of it and its superviews follow the
  // touch until it ends; a recogniser that recognises cancels the view's
  // touch. Returns false when no window took the touch that went down.
  bool sendTouchBegan(CGPoint point);
  void sendTouchMoved(CGPoint point);
  void sendTouchEnded(CGPoint point);
  void sendTouchCancelled(CGPoint point);
  // The view that the current touch went down on; null when none.
  UIViewPtr touchedView() const { return touch_.view; }

 private:
  struct TouchState {
    std::shared_ptr<UIWindow> window;
    UIViewPtr view;
    std::vector<std::shared_ptr<UIGestureRecognizer>> recognizers;
    CGPoint location;
    bool viewCancelled = false;
  };
  void deliver(UITouchPhase phase, CGPoint point);

  friend class UIWindow;
  void addWindow(const std::shared_ptr<UIWindow>& window);
  void setKeyWindow(const std::shared_ptr<UIWindow>& window) { keyWindow_ = window; }

  mutable std::vector<std::weak_ptr<UIWindow>> windows_;
  std::weak_ptr<UIWindow> keyWindow_;
  std::vector<std::shared_ptr<UIScene>> scenes_;
  TouchState touch_;
};
