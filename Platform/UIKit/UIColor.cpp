#include "Platform/UIKit/UIColor.h"

#include <algorithm>

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

double clampUnit(double value) {
  // NaN becomes 0 as well.
  return value > 0 ? std::min(value, 1.0) : 0.0;
}

}  // namespace

UIColorPtr UIColor::colorWithRed(double red, double green, double blue, double alpha) {
  return std::make_shared<const UIColor>(clampUnit(red), clampUnit(green), clampUnit(blue),
                                         clampUnit(alpha));
}

UIColorPtr UIColor::colorWithHexString(std::string_view text) {
  if (text.empty() || text.front() != '#') return nullptr;
  text.remove_prefix(1);
  if (text.size() != 6 && text.size() != 8) return nullptr;
  double channels[4] = {0, 0, 0, 1};
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = hexDigit(text[i]);
    const int low = hexDigit(text[i + 1]);
    if (high < 0 || low < 0) return nullptr;
    channels[i / 2] = (high * 16 + low) / 255.0;
  }
  return colorWithRed(channels[0], channels[1], channels[2], channels[3]);
}

UIColorPtr UIColor::clearColor() {
  static const UIColorPtr color = colorWithRed(0, 0, 0, 0);
  return color;
}
UIColorPtr UIColor::blackColor() {
  static const UIColorPtr color = colorWithRed(0, 0, 0, 1);
  return color;
}
UIColorPtr UIColor::whiteColor() {
  static const UIColorPtr color = colorWithRed(1, 1, 1, 1);
  return color;
}
UIColorPtr UIColor::orangeColor() {
  static const UIColorPtr color = colorWithRed(1, 0.5, 0, 1);
  return color;
}
UIColorPtr UIColor::greenColor() {
  static const UIColorPtr color = colorWithRed(0, 1, 0, 1);
  return color;
}
