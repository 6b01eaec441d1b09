#include "Platform/UIKit/UIGraphics.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "Platform/UIKit/UIImage.h"
#include "Platform/UIKit/UIScreen.h"

// One bitmap context: an image surface and its drawing state.
class CGContext {
 public:
  CGContext(cairo_surface_t* surface, CGFloat scale)
      : surface_(surface), cairo_(cairo_create(surface)), scale_(scale) {
    cairo_scale(cairo_, scale, scale);
  }
  ~CGContext() {
    cairo_destroy(cairo_);
    cairo_surface_destroy(surface_);
  }
  CGContext(const CGContext&) = delete;
  CGContext& operator=(const CGContext&) = delete;

  cairo_t* cairo() const { return cairo_; }
  cairo_surface_t* surface() const { return surface_; }
  CGFloat scale() const { return scale_; }

 private:
  cairo_surface_t* surface_;
  cairo_t* cairo_;
  CGFloat scale_;
};

namespace {

// Cairo's largest image side.
constexpr double kMaximumPixels = 32767;

std::vector<std::unique_ptr<CGContext>>& contextStack() {
  thread_local std::vector<std::unique_ptr<CGContext>> stack;
  return stack;
}

// Pixels for a length in points; 0 when there is no usable bitmap.
int pixels(CGFloat points, CGFloat scale) {
  const double length = std::ceil(static_cast<double>(points) * scale);
  if (!(length >= 1 && length <= kMaximumPixels)) return 0;
  return static_cast<int>(length);
}

}  // namespace

void UIGraphicsBeginImageContext(CGSize size) {
  UIGraphicsBeginImageContextWithOptions(size, false, 1);
}

void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, CGFloat scale) {
  if (scale == 0) scale = UIScreen::mainScreen()->scale();
  if (!(scale > 0 && std::isfinite(scale))) return;
  const int width = pixels(size.width, scale);
  const int height = pixels(size.height, scale);
  if (width == 0 || height == 0) return;
  cairo_surface_t* surface =
      cairo_image_surface_create(opaque ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return;
  }
  contextStack().push_back(std::make_unique<CGContext>(surface, scale));
}

CGContextRef UIGraphicsGetCurrentContext() {
  auto& stack = contextStack();
  return stack.empty() ? nullptr : stack.back().get();
}

UIImagePtr UIGraphicsGetImageFromCurrentImageContext() {
  CGContextRef context = UIGraphicsGetCurrentContext();
  if (context == nullptr) return nullptr;
  cairo_surface_t* source = context->surface();
  cairo_surface_flush(source);
  const int width = cairo_image_surface_get_width(source);
  const int height = cairo_image_surface_get_height(source);
  cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(copy) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(copy);
    return nullptr;
  }
  const int sourceStride = cairo_image_surface_get_stride(source);
  const int copyStride = cairo_image_surface_get_stride(copy);
  const unsigned char* from = cairo_image_surface_get_data(source);
  unsigned char* to = cairo_image_surface_get_data(copy);
  const bool opaque = cairo_image_surface_get_format(source) == CAIRO_FORMAT_RGB24;
  for (int y = 0; y < height; ++y) {
    const unsigned char* row = from + static_cast<ptrdiff_t>(y) * sourceStride;
    unsigned char* out = to + static_cast<ptrdiff_t>(y) * copyStride;
    std::memcpy(out, row, static_cast<size_t>(width) * 4);
    if (opaque) {
      // RGB24 leaves the alpha byte undefined: the image is fully opaque.
      for (int x = 0; x < width; ++x) {
        uint32_t pixel;
        std::memcpy(&pixel, out + 4 * static_cast<ptrdiff_t>(x), 4);
        pixel |= 0xff000000U;
        std::memcpy(out + 4 * static_cast<ptrdiff_t>(x), &pixel, 4);
      }
    }
  }
  cairo_surface_mark_dirty(copy);
  return std::make_shared<const UIImage>(copy, context->scale());
}

void UIGraphicsEndImageContext() {
  auto& stack = contextStack();
  if (!stack.empty()) stack.pop_back();
}

cairo_t* CGContextGetCairo(CGContextRef context) {
  return context == nullptr ? nullptr : context->cairo();
}

namespace {

// As the layer's drawing does: Cairo keeps 24.8 fixed point.
constexpr double kPathLimit = 1 << 20;

bool pathPoint(CGFloat x, CGFloat y, double& px, double& py) {
  if (!std::isfinite(x) || !std::isfinite(y)) return false;
  px = std::clamp(static_cast<double>(x), -kPathLimit, kPathLimit);
  py = std::clamp(static_cast<double>(y), -kPathLimit, kPathLimit);
  return true;
}

}  // namespace

void CGContextSetRGBFillColor(CGContextRef context, CGFloat red, CGFloat green, CGFloat blue,
                              CGFloat alpha) {
  if (cairo_t* cairo = CGContextGetCairo(context))
    cairo_set_source_rgba(cairo, red, green, blue, alpha);
}

void CGContextBeginPath(CGContextRef context) {
  if (cairo_t* cairo = CGContextGetCairo(context)) cairo_new_path(cairo);
}

void CGContextAddRect(CGContextRef context, CGRect rect) {
  cairo_t* cairo = CGContextGetCairo(context);
  double left = 0;
  double top = 0;
  double right = 0;
  double bottom = 0;
  if (cairo == nullptr || !pathPoint(rect.origin.x, rect.origin.y, left, top) ||
      !pathPoint(rect.origin.x + rect.size.width, rect.origin.y + rect.size.height, right,
                 bottom)) {
    return;
  }
  cairo_rectangle(cairo, left, top, right - left, bottom - top);
}

void CGContextMoveToPoint(CGContextRef context, CGFloat x, CGFloat y) {
  cairo_t* cairo = CGContextGetCairo(context);
  double px = 0;
  double py = 0;
  if (cairo != nullptr && pathPoint(x, y, px, py)) cairo_move_to(cairo, px, py);
}

void CGContextAddLineToPoint(CGContextRef context, CGFloat x, CGFloat y) {
  cairo_t* cairo = CGContextGetCairo(context);
  double px = 0;
  double py = 0;
  if (cairo != nullptr && pathPoint(x, y, px, py)) cairo_line_to(cairo, px, py);
}

void CGContextClosePath(CGContextRef context) {
  if (cairo_t* cairo = CGContextGetCairo(context)) cairo_close_path(cairo);
}

void CGContextFillPath(CGContextRef context) {
  cairo_t* cairo = CGContextGetCairo(context);
  if (cairo == nullptr) return;
  cairo_set_fill_rule(cairo, CAIRO_FILL_RULE_WINDING);
  cairo_fill(cairo);
}

void CGContextEOFillPath(CGContextRef context) {
  cairo_t* cairo = CGContextGetCairo(context);
  if (cairo == nullptr) return;
  cairo_set_fill_rule(cairo, CAIRO_FILL_RULE_EVEN_ODD);
  cairo_fill(cairo);
  cairo_set_fill_rule(cairo, CAIRO_FILL_RULE_WINDING);
}
