#include "ZorlanSDK/ZRLView.h"

ZRLView::ZRLView(UIViewPtr view) : view_(std::move(view)) {
  if (!view_) return;
  name_ = view_->accessibilityIdentifier();
  if (!name_ || name_->empty()) name_ = view_->className();
}

ZRLView::~ZRLView() {
  std::vector<ZRLViewPtr> pending = std::move(subviews_);
  while (!pending.empty()) {
    ZRLViewPtr wrapper = std::move(pending.back());
    pending.pop_back();
    if (wrapper.use_count() == 1) {
      for (ZRLViewPtr& child : wrapper->subviews_)
        pending.push_back(std::move(child));
      wrapper->subviews_.clear();
    }
  }
}
