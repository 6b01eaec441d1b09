// Draws the floating button's "zrl_icon" (150 x 150 pixels, the 50-point
// button at scale 3): a round blue badge with a white frame-and-cursor mark.
// Build and run:
//   g++ -std=c++20 scripts/make-zrl-icon.cpp $(pkg-config --cflags --libs cairo) -o /tmp/icon
//   /tmp/icon ZRLWYSIWYGPlugin/Resources/zrl_icon.png
#include <cairo.h>

#include <cmath>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
    return 2;
  }
  const int side = 150;
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, side, side);
  cairo_t* cr = cairo_create(surface);
  const double mid = side / 2.0;
  // Badge with a light rim.
  cairo_arc(cr, mid, mid, mid - 2, 0, 2 * M_PI);
  cairo_pattern_t* fill = cairo_pattern_create_linear(0, 0, side, side);
  cairo_pattern_add_color_stop_rgb(fill, 0, 0.20, 0.45, 0.95);
  cairo_pattern_add_color_stop_rgb(fill, 1, 0.10, 0.20, 0.60);
  cairo_set_source(cr, fill);
  cairo_fill_preserve(cr);
  cairo_set_source_rgba(cr, 1, 1, 1, 0.8);
  cairo_set_line_width(cr, 4);
  cairo_stroke(cr);
  cairo_pattern_destroy(fill);
  // A dashed selection frame.
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, 7);
  const double dashes[] = {14, 8};
  cairo_set_dash(cr, dashes, 2, 0);
  cairo_rectangle(cr, 38, 38, 62, 62);
  cairo_stroke(cr);
  cairo_set_dash(cr, nullptr, 0, 0);
  // A pointer in the frame's lower right corner.
  cairo_move_to(cr, 80, 80);
  cairo_line_to(cr, 80, 122);
  cairo_line_to(cr, 91, 111);
  cairo_line_to(cr, 100, 128);
  cairo_line_to(cr, 108, 124);
  cairo_line_to(cr, 99, 107);
  cairo_line_to(cr, 114, 106);
  cairo_close_path(cr);
  cairo_set_source_rgb(cr, 1, 0.6, 0.1);
  cairo_fill_preserve(cr);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, 3);
  cairo_stroke(cr);
  cairo_destroy(cr);
  const cairo_status_t status = cairo_surface_write_to_png(surface, argv[1]);
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    std::fprintf(stderr, "cannot write %s: %s\n", argv[1], cairo_status_to_string(status));
    return 1;
  }
  return 0;
}
