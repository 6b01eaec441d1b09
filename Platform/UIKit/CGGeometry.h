#pragma once
// Points, sizes and rectangles in the platform's coordinate type, and the
// saturating conversion of a coordinate to a 32-bit integer.

#include <cstdint>

#include "Platform/UIKit/UIKitExport.h"

#ifdef ZRL_CGFLOAT_IS_FLOAT
using CGFloat = float;
#else
using CGFloat = double;
#endif

struct UIKIT_EXPORT CGPoint {
  CGFloat x = 0;
  CGFloat y = 0;
  friend bool operator==(const CGPoint&, const CGPoint&) = default;
};

struct UIKIT_EXPORT CGSize {
  CGFloat width = 0;
  CGFloat height = 0;
  friend bool operator==(const CGSize&, const CGSize&) = default;
};

struct UIKIT_EXPORT CGRect {
  CGPoint origin;
  CGSize size;
  friend bool operator==(const CGRect&, const CGRect&) = default;
};

inline constexpr CGPoint CGPointMake(CGFloat x, CGFloat y) {
  return CGPoint{x, y};
}
inline constexpr CGSize CGSizeMake(CGFloat width, CGFloat height) {
  return CGSize{width, height};
}
inline constexpr CGRect CGRectMake(CGFloat x, CGFloat y, CGFloat width, CGFloat height) {
  return CGRect{{x, y}, {width, height}};
}
inline constexpr CGRect CGRectZero{};

// The value truncated toward zero to a 32-bit signed integer. Values beyond
// the range saturate at its ends and NaN gives 0, so that no coordinate,
// however large or invalid, reaches undefined behaviour.
UIKIT_EXPORT int32_t CGFloatToInt32(CGFloat value);
