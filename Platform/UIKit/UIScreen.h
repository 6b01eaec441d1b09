#pragma once
// The device's screen: its bounds in points, its scale (pixels per point)
// and its safe-area insets. The simulator sets them from the scene it shows;
// they may be read from any thread.

#include <memory>
#include <mutex>

#include "Platform/UIKit/UIKitExport.h"
#include "Platform/UIKit/UIView.h"

class UIKIT_EXPORT UIScreen {
 public:
  UIScreen() = default;
  static std::shared_ptr<UIScreen> mainScreen();

  CGRect bounds() const {
    std::lock_guard lock(mutex_);
    return bounds_;
  }
  void setBounds(CGRect bounds) {
    std::lock_guard lock(mutex_);
    bounds_ = bounds;
  }
  CGFloat scale() const {
    std::lock_guard lock(mutex_);
    return scale_;
  }
  void setScale(CGFloat scale) {
    std::lock_guard lock(mutex_);
    scale_ = scale;
  }
  // The insets that every view reports as its safe area.
  UIEdgeInsets safeAreaInsets() const {
    std::lock_guard lock(mutex_);
    return safeAreaInsets_;
  }
  void setSafeAreaInsets(UIEdgeInsets insets) {
    std::lock_guard lock(mutex_);
    safeAreaInsets_ = insets;
  }

 private:
  mutable std::mutex mutex_;
  CGRect bounds_ = CGRectMake(0, 0, 390, 844);
  CGFloat scale_ = 3;
  UIEdgeInsets safeAreaInsets_{47, 0, 34, 0};
};
