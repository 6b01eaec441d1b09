#pragma once
// Window rectangles of the many views of one walk over a tree: each view's
// offset from its window is found once and kept for the views below it, so
// a chain of n views costs n steps rather than n squared.

#include <unordered_map>

#include "Platform/UIKit/UIView.h"
#include "ZorlanSDK/ZorlanSDKExport.h"

class ZORLANSDK_EXPORT ZRLWindowRects {
 public:
  // What ZRLUtilities::windowRectOfView gives: the view's frame in its
  // window's coordinates, the zero rectangle for no view or a view without
  // superview. The views must not move while the object is in use.
  CGRect windowRectOfView(const UIViewPtr& view);

 private:
  // Where the view's own coordinates put their origin in its window.
  CGPoint offsetOfView(const UIViewPtr& view);

  std::unordered_map<const UIView*, CGPoint> offsets_;
};
