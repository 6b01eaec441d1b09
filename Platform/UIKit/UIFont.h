#pragma once
// Fonts: the system font at a size. The family is named explicitly ("DejaVu
// Sans") and text is laid out without hinting or rounding, so measurements
// stay the same whatever other fonts the machine has.

#include <memory>
#include <string>

#include "Platform/UIKit/CGGeometry.h"

class UIFont {
 public:
  UIFont(std::string familyName, CGFloat pointSize, bool bold)
      : familyName_(std::move(familyName)), pointSize_(pointSize), bold_(bold) {}

  static std::shared_ptr<const UIFont> systemFontOfSize(CGFloat size);
  static std::shared_ptr<const UIFont> boldSystemFontOfSize(CGFloat size);

  const std::string& familyName() const { return familyName_; }
  CGFloat pointSize() const { return pointSize_; }
  bool isBold() const { return bold_; }

 private:
  std::string familyName_;
  CGFloat pointSize_;
  bool bold_;
};

using UIFontPtr = std::shared_ptr<const UIFont>;

// The family behind the system font.
inline constexpr const char* UIFontSystemFamilyName = "DejaVu Sans";
