#pragma once
// The host's wrapper of a platform view: the view, the name that tools know
// it by, and the wrappers of the subviews that the host keeps, in the
// order in which they are to be read.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/UIKit/UIView.h"
#include "ZorlanSDK/ZorlanSDKExport.h"

class ZRLView;
using ZRLViewPtr = std::shared_ptr<ZRLView>;

class ZORLANSDK_EXPORT ZRLView {
 public:
  // A wrapper of the view, without subviews. Its name is the view's own
  // (its accessibility identifier) when it has one, else its class name;
  // a wrapper of no view has no name.
  explicit ZRLView(UIViewPtr view);
  // Takes a tree of any depth apart without deep recursion.
  ~ZRLView();
  ZRLView(const ZRLView&) = delete;
  ZRLView& operator=(const ZRLView&) = delete;

  const UIViewPtr& view() const { return view_; }
  const std::optional<std::string>& name() const { return name_; }
  void setName(std::optional<std::string> name) { name_ = std::move(name); }
  std::vector<ZRLViewPtr>& subviews() { return subviews_; }
  const std::vector<ZRLViewPtr>& subviews() const { return subviews_; }

 private:
  UIViewPtr view_;
  std::optional<std::string> name_;
  std::vector<ZRLViewPtr> subviews_;
};
