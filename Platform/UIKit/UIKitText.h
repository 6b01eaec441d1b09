#pragma once
// Text laid out with Pango for the views that draw it: one Pango context per
// thread with fixed font options, and a layout cache that a view keeps
// until its text or font changes. Internal to the view toolkit.

#include <memory>
#include <optional>
#include <string>

#include "Platform/UIKit/UIColor.h"
#include "Platform/UIKit/UIFont.h"
#include "Platform/UIKit/UIGraphics.h"
#include "Platform/UIKit/UIKitExport.h"

typedef struct _PangoLayout PangoLayout;    // NOLINT(modernize-use-using): Pango's own
typedef struct _PangoContext PangoContext;  // NOLINT(modernize-use-using): Pango's own

enum class NSTextAlignment { left, center, right };

// How a label fits text that is too long for its lines: wrapped at words
// (a word longer than a line broken between characters) or between any
// characters; the text beyond the last line clipped, or its last line
// ending in an ellipsis.
enum class NSLineBreakMode { byWordWrapping, byCharWrapping, byClipping, byTruncatingTail };

// Text laid out on several lines: the width they wrap within, the most
// lines kept (0: all), the break mode, and a height for every line
// (0: the font's own).
struct UIKIT_EXPORT UIKitTextWrapping {
  CGFloat width = 0;
  long maximumLines = 0;
  NSLineBreakMode lineBreakMode = NSLineBreakMode::byTruncatingTail;
  CGFloat lineHeight = 0;
};

class UIKIT_EXPORT UIKitTextLayout {
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

  // The same on several lines: a line feed (or CR, or CR LF, or a line or
  // paragraph separator) starts a new line, and the lines count together
  // against the maximum. When lines are cut, the last one kept ends in an
  // ellipsis: it holds the rest of its line (up to the next line feed), cut
  // to the width.
  // The number of lines the text takes (0 for no text) and their size:
  // the widest line's width by the lines' height.
  long lineCount(const std::string& text, const UIFontPtr& font, const UIKitTextWrapping& wrapping);
  CGSize size(const std::string& text, const UIFontPtr& font, const UIKitTextWrapping& wrapping);
  // Draws the lines as a block centred vertically in the rectangle, each
  // line's text centred vertically in its line height.
  void draw(CGContextRef context, CGRect rect, const std::string& text, const UIFontPtr& font,
            const UIColorPtr& color, NSTextAlignment alignment, const UIKitTextWrapping& wrapping);

 private:
  friend CGRect NSStringBoundingRectWithSize(const std::string&, CGSize, NSStringDrawingOptions,
                                             const NSStringAttributes&);
  PangoLayout* layoutFor(const std::string& text, const UIFontPtr& font);
  PangoLayout* wrappedLayoutFor(const std::string& text, const UIFontPtr& font,
                                const UIKitTextWrapping& wrapping, NSTextAlignment alignment);

  // The settings that a wrapped layout was last made for.
  struct WrappedSettings {
    int width = -1;  // Pango units; -1: no wrapping
    int wrap = 0;    // PangoWrapMode
    long most = 0;
    bool truncates = false;
    NSTextAlignment alignment = NSTextAlignment::left;
    bool operator==(const WrappedSettings&) const = default;
  };

  PangoLayout* layout_ = nullptr;
  PangoContext* context_ = nullptr;
  bool wrapped_ = false;        // whether layout_ holds the text for several lines
  std::string separated_;       // a wrapped layout's text, line feeds made separators
  bool cutAtLineFeed_ = false;  // whether layout_ holds only a part of it
  std::optional<WrappedSettings> settings_;
};
