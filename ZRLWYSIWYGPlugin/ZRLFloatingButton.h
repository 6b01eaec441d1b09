#pragma once
// The floating control: a draggable 50-point round button above the app in
// an overlay window of its own (ZRLFloatingButtonWindow), with a menu of
// two action buttons, "Select Screen" and the test-device toggle.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/UIKit/UIKit.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h"
#include "ZorlanSDK/ZorlanSDK.h"

// The framework's bundle identifier; its resource folder holds "zrl_icon".
inline constexpr const char* kZRLWYSIWYGBundleId = "com.zrl.ZRLWYSIWYGPlugin";
// The user-defaults key of the stored test-device flag.
inline constexpr const char* kZRLTestDeviceStatusKey = "zrl_test_device_status";

class ZRLFloatingButton;

// A transparent window over the whole screen, above every other window. It
// is never key, and it takes only touches that land on its visible
// controls; all others go on to the app below.
class ZRLWYSIWYGPLUGIN_EXPORT ZRLFloatingButtonWindow : public UIWindow {
 public:
  // Visible, transparent, at the highest level, framed to the main screen.
  static std::shared_ptr<ZRLFloatingButtonWindow> make();
  explicit ZRLFloatingButtonWindow(CGRect frame) : UIWindow(frame) {}

  const char* className() const override { return "ZRLFloatingButtonWindow"; }
  // Does nothing: the app's key window keeps key status.
  void makeKeyWindow() override {}
  bool canBecomeKeyWindow() const override { return false; }
  // Yes on the floating button, or on an action button that is shown.
  bool pointInside(CGPoint point, const UIEvent* event) const override;

  std::shared_ptr<ZRLFloatingButton> button() const;
  void setButton(std::shared_ptr<ZRLFloatingButton> button);
  UIButtonPtr atdButton() const;
  void setAtdButton(UIButtonPtr button);
  UIButtonPtr ssButton() const;
  void setSsButton(UIButtonPtr button);

 private:
  mutable std::mutex mutex_;
  // Strong, and the button holds this window strongly too: the overlay is
  // meant to live as long as the process.
  std::shared_ptr<ZRLFloatingButton> button_;
  UIButtonPtr atdButton_;
  UIButtonPtr ssButton_;
};

class ZRLWYSIWYGPLUGIN_EXPORT ZRLFloatingButton : public UIButton, public ZRLEventListener {
 public:
  // Builds the button, its overlay window and the hidden menu, and puts
  // them on screen. Main thread only.
  static std::shared_ptr<ZRLFloatingButton> make();
  ZRLFloatingButton() = default;

  const char* className() const override { return "ZRLFloatingButton"; }

  // The host's background event (type 0, "BACKGROUND") stores the flag.
  void onEvent(const ZRLEventPtr& event) override;

  void floatingButtonTapped(const UIButtonPtr& sender);
  void selectScreenButtonTapped(const UIButtonPtr& sender);
  void addTestDeviceTapped(const UIButtonPtr& sender);
  // Flips the flag, the title and the colour at once and sends the request;
  // a request that fails puts them back unless a later tap changed them.
  void setTitleForTestDeviceButton();
  void saveTestDeviceStatus(bool status);
  static bool getTestDeviceStatus();

  // Geometry, in the overlay window's coordinates.
  void positionButtons();
  void panDidFire(const std::shared_ptr<UIPanGestureRecognizer>& recognizer);
  void dockButton();
  static CGSize getBoundingRectSizeForText(const std::optional<std::string>& text,
                                           const UIViewPtr& view);

  bool buttonsHidden() const { return buttonsHidden_; }
  bool isTestDevice() const { return isTestDevice_.load(); }
  bool isSelectScreenButtonGreenColor() const { return isSelectScreenButtonGreenColor_; }
  CGFloat safeTop() const { return safeTop_; }
  CGFloat safeBottom() const { return safeBottom_; }
  const UIButtonPtr& selectScreen() const { return selectScreen_; }
  const UIButtonPtr& addTestDevice() const { return addTestDevice_; }
  const std::shared_ptr<ZRLFloatingButtonWindow>& overlayWindow() const { return window_; }

 private:
  UIButtonPtr makeActionButton(const std::string& title, const std::string& measuredTitle);
  void showTestDeviceState(bool registered, bool green);
  void testDeviceRequestFailed(uint64_t tap, bool flagBefore, bool greenBefore);

  bool buttonsHidden_ = true;
  UIButtonPtr selectScreen_;
  UIButtonPtr addTestDevice_;
  CGFloat safeTop_ = 40.0;
  CGFloat safeBottom_ = 20.0;
  std::shared_ptr<ZRLFloatingButtonWindow> window_;
  // Read by the host's event thread, written on the main thread.
  std::atomic<bool> isTestDevice_{false};
  bool isSelectScreenButtonGreenColor_ = false;
  // Main thread: counts test-device taps, so that a late failure knows
  // whether a later tap has changed the state since.
  uint64_t testDeviceTaps_ = 0;
  bool testDeviceGreen_ = false;
};
