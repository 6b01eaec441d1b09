#include "Platform/UIKit/CALayer.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "Platform/UIKit/UIView.h"

namespace {

// Cairo keeps coordinates in 24.8 fixed point: anything far outside the
// bitmap is clamped to a margin around it, which draws the same pixels.
constexpr double kDrawingLimit = 1 << 20;

double clampCoordinate(double value) {
  return std::clamp(value, -kDrawingLimit, kDrawingLimit);
}

bool finite(const CGRect& rect) {
  return std::isfinite(rect.origin.x) && std::isfinite(rect.origin.y) &&
         std::isfinite(rect.size.width) && std::isfinite(rect.size.height);
}

// The path of a view's box at (x, y) in the context, rounded as its layer
// asks and shrunk by inset on each side; false when nothing is left.
bool addBoxPath(cairo_t* cairo, const UIView& view, double x, double y, double inset) {
  const CGSize size = view.bounds().size;
  if (!(size.width > 0 && size.height > 0)) return false;
  const double left = clampCoordinate(x) + inset;
  const double top = clampCoordinate(y) + inset;
  const double right = clampCoordinate(x + size.width) - inset;
  const double bottom = clampCoordinate(y + size.height) - inset;
  const double width = right - left;
  const double height = bottom - top;
  if (!(width > 0 && height > 0)) return false;
  const double radius =
      std::min<double>(view.layer().cornerRadius() - inset, std::min(width, height) / 2);
  if (radius > 0) {
    cairo_new_sub_path(cairo);
    cairo_arc(cairo, right - radius, top + radius, radius, -M_PI / 2, 0);
    cairo_arc(cairo, right - radius, bottom - radius, radius, 0, M_PI / 2);
    cairo_arc(cairo, left + radius, bottom - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cairo, left + radius, top + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cairo);
  } else {
    cairo_rectangle(cairo, left, top, width, height);
  }
  return true;
}

void fillBackground(cairo_t* cairo, const UIView& view, double x, double y) {
  const UIColorPtr& color = view.backgroundColor();
  if (!color || color->alpha() <= 0) return;
  if (!addBoxPath(cairo, view, x, y, 0)) return;
  cairo_set_source_rgba(cairo, color->red(), color->green(), color->blue(), color->alpha());
  cairo_fill(cairo);
}

void strokeBorder(cairo_t* cairo, const UIView& view, double x, double y) {
  const UIColorPtr& color = view.layer().borderColor();
  const double width = view.layer().borderWidth();
  if (!color || color->alpha() <= 0 || !(width > 0 && std::isfinite(width))) return;
  // The line's middle runs half its width inside the edge.
  if (!addBoxPath(cairo, view, x, y, width / 2)) return;
  cairo_set_source_rgba(cairo, color->red(), color->green(), color->blue(), color->alpha());
  cairo_set_line_width(cairo, width);
  cairo_stroke(cairo);
}

// NaN sorts as 0, so that the order stays a strict weak one.
double zOrder(const UIView& view) {
  const double z = view.layer().zPosition();
  return std::isnan(z) ? 0.0 : z;
}

struct PendingView {
  const UIView* view;
  // Where the origin of the view's own coordinates lies in the context.
  double originX;
  double originY;
};

}  // namespace

void CALayer::renderInContext(CGContextRef context) const {
  cairo_t* cairo = CGContextGetCairo(context);
  if (cairo == nullptr) return;
  const CGRect rootBounds = view_.bounds();
  std::vector<PendingView> pending{{&view_, -rootBounds.origin.x, -rootBounds.origin.y}};
  std::vector<const UIView*> ordered;
  while (!pending.empty()) {
    const PendingView item = pending.back();
    pending.pop_back();
    const UIView& view = *item.view;
    if (view.isHidden()) continue;
    const CGRect bounds = view.bounds();
    if (!finite(bounds) || !std::isfinite(item.originX) || !std::isfinite(item.originY)) continue;

    fillBackground(cairo, view, item.originX + bounds.origin.x, item.originY + bounds.origin.y);
    cairo_save(cairo);
    cairo_translate(cairo, clampCoordinate(item.originX), clampCoordinate(item.originY));
    view.drawRect(context, bounds);
    cairo_restore(cairo);
    strokeBorder(cairo, view, item.originX + bounds.origin.x, item.originY + bounds.origin.y);

    // Children go onto the stack last-drawn first, so that each subtree is
    // finished before the next sibling is drawn over it.
    ordered.clear();
    for (const UIViewPtr& child : view.subviews())
      ordered.push_back(child.get());
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const UIView* a, const UIView* b) { return zOrder(*a) < zOrder(*b); });
    for (auto child = ordered.rbegin(); child != ordered.rend(); ++child) {
      const CGRect frame = (*child)->frame();
      const CGRect childBounds = (*child)->bounds();
      pending.push_back({*child, item.originX + frame.origin.x - childBounds.origin.x,
                         item.originY + frame.origin.y - childBounds.origin.y});
    }
  }
}
