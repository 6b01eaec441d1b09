#pragma once
// Fonts: the system font at a size. The family is named explicitly ("DejaVu
// Sans") and text is laid out without hinting or rounding, so measurements
// stay the same whatever other fonts the machine has.

#include <memory>
#include <string>

#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/UIKitExport.h"

class UIKIT_EXPORT UIFont {
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

using NSStringDrawingOptions = unsigned long;
inline constexpr NSStringDrawingOptions NSStringDrawingUsesLineFragmentOrigin = 1UL << 0;

// The text attributes that measuring reads: the font (null: system 17).
struct UIKIT_EXPORT NSStringAttributes {
  UIFontPtr font;  // NSFontAttributeName
};

// The rectangle that the text takes when laid out within the size: wrapped
// at word boundaries within the width when the options hold the
// line-fragment-origin option and the width is above 0, else on one line.
// Unrounded; the origin is (0, 0). Uses the same fixed hinting and rounding
// settings as drawing.
UIKIT_EXPORT CGRect NSStringBoundingRectWithSize(const std::string& text, CGSize size,
                                                 NSStringDrawingOptions options,
                                                 const NSStringAttributes& attributes);

// The family behind the system font.
inline constexpr const char* UIFontSystemFamilyName = "DejaVu Sans";
