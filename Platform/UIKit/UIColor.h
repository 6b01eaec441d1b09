#pragma once
// Colours as the views use them: red, green, blue and alpha from 0 to 1,
// the platform's standard colours, and "#rrggbb" text as scene files write it.

#include <memory>
#include <optional>
#include <string_view>

#include "Platform/UIKit/UIKitExport.h"

class UIKIT_EXPORT UIColor {
 public:
  UIColor(double red, double green, double blue, double alpha)
      : red_(red), green_(green), blue_(blue), alpha_(alpha) {}

  static std::shared_ptr<const UIColor> colorWithRed(double red, double green, double blue,
                                                     double alpha);
  // "#rrggbb" or "#rrggbbaa" (hex digits of either case); nothing for any
  // other text.
  static std::shared_ptr<const UIColor> colorWithHexString(std::string_view text);

  static std::shared_ptr<const UIColor> clearColor();
  static std::shared_ptr<const UIColor> blackColor();
  static std::shared_ptr<const UIColor> whiteColor();
  static std::shared_ptr<const UIColor> orangeColor();
  static std::shared_ptr<const UIColor> greenColor();

  double red() const { return red_; }
  double green() const { return green_; }
  double blue() const { return blue_; }
  double alpha() const { return alpha_; }

  friend bool operator==(const UIColor&, const UIColor&) = default;

 private:
  double red_;
  double green_;
  double blue_;
  double alpha_;
};

using UIColorPtr = std::shared_ptr<const UIColor>;
