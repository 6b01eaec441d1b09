#pragma once
// Bitmap drawing contexts in the platform's manner: a stack of contexts per
// thread, begun, made current, read as an image and ended. Drawing goes
// through Cairo; CGContextGetCairo gives a view's drawing code its surface.

#include <memory>

#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/UIKitExport.h"

class UIImage;
class CGContext;
using CGContextRef = CGContext*;
using UIImagePtr = std::shared_ptr<const UIImage>;
typedef struct _cairo cairo_t;  // NOLINT(modernize-use-using): Cairo's own declaration

// Begins a bitmap context of the size in points at scale 1, not opaque,
// cleared to transparent, and makes it current on this thread. An empty,
// invalid or oversized size begins nothing.
UIKIT_EXPORT void UIGraphicsBeginImageContext(CGSize size);
// The same with a scale (pixels per point; 0 means the main screen's).
UIKIT_EXPORT void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, CGFloat scale);
// The current context of this thread, or null.
UIKIT_EXPORT CGContextRef UIGraphicsGetCurrentContext();
// A copy of the current context's pixels as an image, or null.
UIKIT_EXPORT UIImagePtr UIGraphicsGetImageFromCurrentImageContext();
// Ends (removes) the current context of this thread; nothing when none.
UIKIT_EXPORT void UIGraphicsEndImageContext();

// The Cairo drawing state of a context; its user space is in points.
UIKIT_EXPORT cairo_t* CGContextGetCairo(CGContextRef context);

// Paths and fills in the platform's manner, in the context's user space (a
// view's drawRect: its own coordinates). A fill consumes the path. Points
// far outside any bitmap are clamped and non-finite ones dropped, so no
// value can put the context into an error. A null context does nothing.
UIKIT_EXPORT void CGContextSetRGBFillColor(CGContextRef context, CGFloat red, CGFloat green,
                                           CGFloat blue, CGFloat alpha);
UIKIT_EXPORT void CGContextBeginPath(CGContextRef context);
UIKIT_EXPORT void CGContextAddRect(CGContextRef context, CGRect rect);
UIKIT_EXPORT void CGContextMoveToPoint(CGContextRef context, CGFloat x, CGFloat y);
UIKIT_EXPORT void CGContextAddLineToPoint(CGContextRef context, CGFloat x, CGFloat y);
UIKIT_EXPORT void CGContextClosePath(CGContextRef context);
// Fills by the non-zero winding rule, or (EO) by the even-odd rule: an
// area inside an even number of subpaths stays unfilled.
UIKIT_EXPORT void CGContextFillPath(CGContextRef context);
UIKIT_EXPORT void CGContextEOFillPath(CGContextRef context);
