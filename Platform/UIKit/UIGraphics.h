#pragma once
// Bitmap drawing contexts in the platform's manner: a stack of contexts per
// thread, begun, made current, read as an image and ended. Drawing goes
// through Cairo; CGContextGetCairo gives a view's drawing code its surface.

#include <memory>

#include "Platform/UIKit/CGGeometry.h"

class UIImage;
class CGContext;
using CGContextRef = CGContext*;
using UIImagePtr = std::shared_ptr<const UIImage>;
typedef struct _cairo cairo_t;  // NOLINT(modernize-use-using): Cairo's own declaration

// Begins a bitmap context of the size in points at scale 1, not opaque,
// cleared to transparent, and makes it current on this thread. An empty,
// invalid or oversized size begins nothing.
void UIGraphicsBeginImageContext(CGSize size);
// The same with a scale (pixels per point; 0 means the main screen's).
void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, CGFloat scale);
// The current context of this thread, or null.
CGContextRef UIGraphicsGetCurrentContext();
// A copy of the current context's pixels as an image, or null.
UIImagePtr UIGraphicsGetImageFromCurrentImageContext();
// Ends (removes) the current context of this thread; nothing when none.
void UIGraphicsEndImageContext();

// The Cairo drawing state of a context; its user space is in points.
cairo_t* CGContextGetCairo(CGContextRef context);
