#include "Platform/UIKit/UIKitText.h"

#include <pango/pangocairo.h>

#include <cmath>

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
  if (layout_ != nullptr && context_ == context) return layout_;
  invalidate();
  layout_ = pango_layout_new(context);
  context_ = context;
  const UIFontPtr used = font ? font : UIFont::systemFontOfSize(17);
  PangoFontDescription* description = pango_font_description_new();
  pango_font_description_set_family(description, used->familyName().c_str());
  pango_font_description_set_weight(description,
                                    used->isBold() ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  const double size = std::isfinite(used->pointSize()) && used->pointSize() > 0
                          ? std::fmin(used->pointSize(), 4096.0)
                          : 17.0;
  pango_font_description_set_absolute_size(description, size * PANGO_SCALE);
  pango_layout_set_font_description(layout_, description);
  pango_font_description_free(description);
  pango_layout_set_single_paragraph_mode(layout_, TRUE);
  pango_layout_set_text(layout_, text.c_str(), static_cast<int>(text.size()));
  return layout_;
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
