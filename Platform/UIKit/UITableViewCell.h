#pragma once
// The cells of table and collection views: plain views that class tests
// single out (a subclass of either counts as one).

#include "Platform/UIKit/UIKitExport.h"
#include "Platform/UIKit/UIView.h"

class UIKIT_EXPORT UITableViewCell : public UIView {
 public:
  using UIView::UIView;
  const char* className() const override { return "UITableViewCell"; }
};

class UIKIT_EXPORT UICollectionViewCell : public UIView {
 public:
  using UIView::UIView;
  const char* className() const override { return "UICollectionViewCell"; }
};
