#include "Platform/UIKit/UIKitText.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <vector>

// Fontconfig keeps caches for the life of the process that the leak
// checker cannot see it holding; they are reported as leaks at exit. Its
// own allocations are left out of the report (as large projects that draw
// text under the address sanitizer do); everything else is still checked.
#if defined(__SANITIZE_ADDRESS__)
#define ZRL_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZRL_LEAK_CHECKED 1
#endif
#endif
#ifdef ZRL_LEAK_CHECKED
extern "C" const char* __lsan_default_suppressions();   // NOLINT(bugprone-reserved-identifier)
extern "C" const char* __lsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
  return "leak:libfontconfig.so\n";
}
#endif

namespace {

// One context per thread: Pango's objects are not shared between threads.
PangoContext* threadContext() {
  struct Holder {
    PangoContext* context = nullptr;
    ~Holder() {
      if (context != nullptr) g_object_unref(context);
    }
  };
  thread_local Holder holder;
  if (holder.context == nullptr) {
    PangoFontMap* fontMap = pango_cairo_font_map_get_default();
    holder.context = pango_font_map_create_context(fontMap);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    pango_cairo_context_set_font_options(holder.context, options);
    cairo_font_options_destroy(options);
    pango_context_set_round_glyph_positions(holder.context, FALSE);
  }
  return holder.context;
}

PangoLayout* newLayout(PangoContext* context, const UIFontPtr& font) {
  PangoLayout* layout = pango_layout_new(context);
  const UIFontPtr used = font ? font : UIFont::systemFontOfSize(17);
  PangoFontDescription* description = pango_font_description_new();
  pango_font_description_set_family(description, used->familyName().c_str());
  pango_font_description_set_weight(description,
                                    used->isBold() ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  const double size = std::isfinite(used->pointSize()) && used->pointSize() > 0
                          ? std::fmin(used->pointSize(), 4096.0)
                          : 17.0;
  pango_font_description_set_absolute_size(description, size * PANGO_SCALE);
  pango_layout_set_font_description(layout, description);
  pango_font_description_free(description);
  return layout;
}

// The text with each line break (LF, CR or CR LF) made a line separator:
// Pango then breaks the line there but keeps one paragraph, so that a
// limit of lines counts the lines of the whole text.
std::string withLineSeparators(const std::string& text) {
  static constexpr std::string_view kLineSeparator = "\xE2\x80\xA8";  // U+2028
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      result += kLineSeparator;
    } else if (text[i] == '\n') {
      result += kLineSeparator;
    } else {
      result.push_back(text[i]);
    }
  }
  return result;
}

int pangoUnits(CGFloat points) {
  return static_cast<int>(std::lround(static_cast<double>(points) * PANGO_SCALE));
}

}  // namespace

UIKitTextLayout::~UIKitTextLayout() {
  invalidate();
}

void UIKitTextLayout::invalidate() {
  if (layout_ != nullptr) g_object_unref(layout_);
  layout_ = nullptr;
  context_ = nullptr;
}

PangoLayout* UIKitTextLayout::layoutFor(const std::string& text, const UIFontPtr& font) {
  PangoContext* context = threadContext();
  // A layout made on another thread's context is made anew (the cached one
  // keeps that context alive, so its address cannot come back meanwhile).
  if (layout_ != nullptr && context_ == context && !wrapped_) return layout_;
  invalidate();
  layout_ = newLayout(context, font);
  context_ = context;
  wrapped_ = false;
  pango_layout_set_single_paragraph_mode(layout_, TRUE);
  pango_layout_set_text(layout_, text.c_str(), static_cast<int>(text.size()));
  return layout_;
}

PangoLayout* UIKitTextLayout::wrappedLayoutFor(const std::string& text, const UIFontPtr& font,
                                               const UIKitTextWrapping& wrapping,
                                               NSTextAlignment alignment) {
  PangoContext* context = threadContext();
  if (layout_ == nullptr || context_ != context || !wrapped_) {
    invalidate();
    layout_ = newLayout(context, font);
    context_ = context;
    wrapped_ = true;
    const std::string separated = withLineSeparators(text);
    pango_layout_set_text(layout_, separated.c_str(), static_cast<int>(separated.size()));
  }
  // Pango lays the text out again only when one of these changes.
  const bool wraps = std::isfinite(wrapping.width) && wrapping.width > 0 && wrapping.width < 1e6;
  pango_layout_set_width(layout_, wraps ? pangoUnits(wrapping.width) : -1);
  pango_layout_set_wrap(layout_, wrapping.lineBreakMode == NSLineBreakMode::byCharWrapping
                                     ? PANGO_WRAP_CHAR
                                     : PANGO_WRAP_WORD_CHAR);
  // Without a limit nothing is truncated (Pango reads a height of -1 with
  // an ellipsis as "one line").
  const long most = std::clamp<long>(wrapping.maximumLines, 0, 1 << 20);
  const bool truncates = wrapping.lineBreakMode == NSLineBreakMode::byTruncatingTail && most > 0;
  pango_layout_set_ellipsize(layout_, truncates ? PANGO_ELLIPSIZE_END : PANGO_ELLIPSIZE_NONE);
  pango_layout_set_height(layout_, truncates ? -static_cast<int>(most) : -1);
  pango_layout_set_alignment(layout_, alignment == NSTextAlignment::center  ? PANGO_ALIGN_CENTER
                                      : alignment == NSTextAlignment::right ? PANGO_ALIGN_RIGHT
                                                                            : PANGO_ALIGN_LEFT);
  return layout_;
}

long UIKitTextLayout::lineCount(const std::string& text, const UIFontPtr& font,
                                const UIKitTextWrapping& wrapping) {
  if (text.empty()) return 0;
  const long lines =
      pango_layout_get_line_count(wrappedLayoutFor(text, font, wrapping, NSTextAlignment::left));
  return wrapping.maximumLines > 0 ? std::min(lines, wrapping.maximumLines) : lines;
}

namespace {

// One kept line of a wrapped layout: where its logical box lies in the
// layout, and its baseline.
struct LaidOutLine {
  PangoLayoutLine* line;
  PangoRectangle logical;  // layout coordinates, Pango units
  int baseline;            // layout coordinates, Pango units
};

std::vector<LaidOutLine> keptLines(PangoLayout* layout, long most) {
  std::vector<LaidOutLine> lines;
  PangoLayoutIter* iter = pango_layout_get_iter(layout);
  do {
    if (most > 0 && static_cast<long>(lines.size()) == most) break;
    LaidOutLine kept{};
    kept.line = pango_layout_iter_get_line_readonly(iter);
    pango_layout_iter_get_line_extents(iter, nullptr, &kept.logical);
    kept.baseline = pango_layout_iter_get_baseline(iter);
    lines.push_back(kept);
  } while (pango_layout_iter_next_line(iter) != FALSE);
  pango_layout_iter_free(iter);
  return lines;
}

}  // namespace

CGSize UIKitTextLayout::size(const std::string& text, const UIFontPtr& font,
                             const UIKitTextWrapping& wrapping) {
  if (text.empty()) return CGSizeMake(0, 0);
  const std::vector<LaidOutLine> lines = keptLines(
      wrappedLayoutFor(text, font, wrapping, NSTextAlignment::left), wrapping.maximumLines);
  double width = 0;
  double height = 0;
  for (const LaidOutLine& line : lines) {
    width = std::max(width, static_cast<double>(line.logical.width) / PANGO_SCALE);
    height += wrapping.lineHeight > 0 ? static_cast<double>(wrapping.lineHeight)
                                      : static_cast<double>(line.logical.height) / PANGO_SCALE;
  }
  return CGSizeMake(width, height);
}

void UIKitTextLayout::draw(CGContextRef context, CGRect rect, const std::string& text,
                           const UIFontPtr& font, const UIColorPtr& color,
                           NSTextAlignment alignment, const UIKitTextWrapping& wrapping) {
  cairo_t* cairo = CGContextGetCairo(context);
  if (cairo == nullptr || text.empty() || !color || color->alpha() <= 0) return;
  const std::vector<LaidOutLine> lines =
      keptLines(wrappedLayoutFor(text, font, wrapping, alignment), wrapping.maximumLines);
  const double fixed = wrapping.lineHeight > 0 ? static_cast<double>(wrapping.lineHeight) : 0;
  double blockHeight = 0;
  for (const LaidOutLine& line : lines)
    blockHeight += fixed > 0 ? fixed : static_cast<double>(line.logical.height) / PANGO_SCALE;
  cairo_save(cairo);
  cairo_rectangle(cairo, rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
  cairo_clip(cairo);
  cairo_set_source_rgba(cairo, color->red(), color->green(), color->blue(), color->alpha());
  double top = rect.origin.y + (rect.size.height - blockHeight) / 2;
  for (const LaidOutLine& line : lines) {
    const double height = static_cast<double>(line.logical.height) / PANGO_SCALE;
    const double pitch = fixed > 0 ? fixed : height;
    // The line's origin: its box in the layout less the box's own offset
    // from the origin.
    PangoRectangle own;
    pango_layout_line_get_extents(line.line, nullptr, &own);
    const double x = rect.origin.x + static_cast<double>(line.logical.x - own.x) / PANGO_SCALE;
    const double ascent = static_cast<double>(line.baseline - line.logical.y) / PANGO_SCALE;
    cairo_move_to(cairo, x, top + (pitch - height) / 2 + ascent);
    pango_cairo_show_layout_line(cairo, line.line);
    top += pitch;
  }
  cairo_restore(cairo);
}

CGSize UIKitTextLayout::size(const std::string& text, const UIFontPtr& font) {
  PangoRectangle logical;
  pango_layout_get_extents(layoutFor(text, font), nullptr, &logical);
  return CGSizeMake(static_cast<CGFloat>(logical.width) / PANGO_SCALE,
                    static_cast<CGFloat>(logical.height) / PANGO_SCALE);
}

void UIKitTextLayout::draw(CGContextRef context, CGRect rect, const std::string& text,
                           const UIFontPtr& font, const UIColorPtr& color,
                           NSTextAlignment alignment) {
  cairo_t* cairo = CGContextGetCairo(context);
  if (cairo == nullptr || text.empty() || !color || color->alpha() <= 0) return;
  const CGSize measured = size(text, font);
  double x = rect.origin.x;
  if (alignment == NSTextAlignment::center) x += (rect.size.width - measured.width) / 2;
  if (alignment == NSTextAlignment::right) x += rect.size.width - measured.width;
  const double y = rect.origin.y + (rect.size.height - measured.height) / 2;
  cairo_save(cairo);
  cairo_rectangle(cairo, rect.origin.x, rect.origin.y, rect.size.width, rect.size.height);
  cairo_clip(cairo);
  cairo_set_source_rgba(cairo, color->red(), color->green(), color->blue(), color->alpha());
  cairo_move_to(cairo, x, y);
  pango_cairo_show_layout(cairo, layoutFor(text, font));
  cairo_restore(cairo);
}

CGRect NSStringBoundingRectWithSize(const std::string& text, CGSize size,
                                    NSStringDrawingOptions options,
                                    const NSStringAttributes& attributes) {
  if (text.empty()) return CGRectZero;
  UIKitTextLayout measuring;
  PangoLayout* layout = measuring.layoutFor(text, attributes.font);
  if ((options & NSStringDrawingUsesLineFragmentOrigin) != 0 && std::isfinite(size.width) &&
      size.width > 0 && size.width < 1e6) {
    pango_layout_set_single_paragraph_mode(layout, FALSE);
    pango_layout_set_width(layout, static_cast<int>(size.width * PANGO_SCALE));
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  }
  PangoRectangle logical;
  pango_layout_get_extents(layout, nullptr, &logical);
  return CGRectMake(0, 0, static_cast<CGFloat>(logical.width) / PANGO_SCALE,
                    static_cast<CGFloat>(logical.height) / PANGO_SCALE);
}
