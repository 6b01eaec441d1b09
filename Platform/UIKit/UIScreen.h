#pragma once
// The device's screen: its bounds in points and its scale (pixels per
// point). The simulator sets both from the scene it shows.

#include <memory>

#include "Platform/UIKit/UIView.h"

class UIScreen {
 public:
  UIScreen() = default;
  static std::shared_ptr<UIScreen> mainScreen();

  CGRect bounds() const { return bounds_; }
  void setBounds(CGRect bounds) { bounds_ = bounds; }
  CGFloat scale() const { return scale_; }
  void setScale(CGFloat scale) { scale_ = scale; }
  // The insets that every view reports as its safe area.
  UIEdgeInsets safeAreaInsets() const { return safeAreaInsets_; }
  void setSafeAreaInsets(UIEdgeInsets insets) { safeAreaInsets_ = insets; }

 private:
  CGRect bounds_ = CGRectMake(0, 0, 390, 844);
  CGFloat scale_ = 3;
  UIEdgeInsets safeAreaInsets_{47, 0, 34, 0};
};
