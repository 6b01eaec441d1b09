#include "Platform/UIKit/CGGeometry.h"

#include <cmath>
#include <limits>

int32_t CGFloatToInt32(CGFloat value) {
  // Compared as double: every int32_t is exact there, and a float argument
  // widens without loss.
  const double number = value;
  if (std::isnan(number)) return 0;
  if (number >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (number <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(number);
}
