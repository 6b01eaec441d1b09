#pragma once
// Text laid out with Pango for the views that draw it: one Pango context per
// thread with fixed font options, and a layout cache that a view keeps
// until its text or font changes. Internal to the view toolkit.

#include <memory>
#include <string>

#include "Platform/UIKit/UIColor.h"
#include "Platform/UIKit/UIFont.h"
#include "Platform/UIKit/UIGraphics.h"

typedef struct _PangoLayout PangoLayout;    // NOLINT(modernize-use-using): Pango's own
typedef struct _PangoContext PangoContext;  // NOLINT(modernize-use-using): Pango's own

enum class NSTextAlignment { left, center, right };

class UIKitTextLayout {
 public:
  UIKitTextLayout() = default;
  ~UIKitTextLayout();
  UIKitTextLayout(const UIKitTextLayout&) = delete;
  UIKitTextLayout& operator=(const UIKitTextLayout&) = delete;

  // Forgets the cached layout (call when the text or the font changes).
  void invalidate();
  // The text's size in points, on one line.
  CGSize size(const std::string& text, const UIFontPtr& font);
  // Draws the text on one line inside the rectangle (view coordinates),
  // centred vertically and aligned horizontally as asked.
  void draw(CGContextRef context, CGRect rect, const std::string& text, const UIFontPtr& font,
            const UIColorPtr& color, NSTextAlignment alignment);

 private:
  friend CGRect NSStringBoundingRectWithSize(const std::string&, CGSize, NSStringDrawingOptions,
                                             const NSStringAttributes&);
  PangoLayout* layoutFor(const std::string& text, const UIFontPtr& font);

  PangoLayout* layout_ = nullptr;
  PangoContext* context_ = nullptr;
};
