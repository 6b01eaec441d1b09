#include "Platform/UIKit/UIView.h"

#include <algorithm>

#include "Platform/UIKit/UIGestureRecognizer.h"
#include "Platform/UIKit/UIScreen.h"
#include "Platform/UIKit/UIWindow.h"

UIView::UIView(CGRect frame)
    : origin_(frame.origin), bounds_{CGPointMake(0, 0), frame.size}, layer_(*this) {}

UIView::~UIView() {
  // Subtrees owned only by this view are flattened into a work list, so
  // that a chain of thousands of views is released one view at a time.
  std::vector<UIViewPtr> pending = std::move(subviews_);
  while (!pending.empty()) {
    UIViewPtr view = std::move(pending.back());
    pending.pop_back();
    if (view.use_count() == 1) {
      for (UIViewPtr& child : view->subviews_)
        pending.push_back(std::move(child));
      view->subviews_.clear();
    }
  }
}

void UIView::setFrame(CGRect frame) {
  willChangeGeometry();
  origin_ = frame.origin;
  bounds_.size = frame.size;
}

void UIView::setBounds(CGRect bounds) {
  willChangeGeometry();
  // The centre stays; written as a shift so that an unchanged size leaves
  // the origin exactly as it was.
  origin_.x += (bounds_.size.width - bounds.size.width) / 2;
  origin_.y += (bounds_.size.height - bounds.size.height) / 2;
  bounds_ = bounds;
}

CGPoint UIView::center() const {
  return CGPointMake(origin_.x + bounds_.size.width / 2, origin_.y + bounds_.size.height / 2);
}

void UIView::setCenter(CGPoint center) {
  willChangeGeometry();
  origin_ = CGPointMake(center.x - bounds_.size.width / 2, center.y - bounds_.size.height / 2);
}

void UIView::addSubview(const UIViewPtr& view) {
  insertSubview(view, subviews_.size());
}

void UIView::insertSubview(const UIViewPtr& view, size_t index) {
  if (!view || view.get() == this) return;
  // A view cannot become a subview of its own descendant (a view without
  // subviews is nobody's ancestor, which keeps building trees linear).
  for (const UIView* ancestor = view->subviews_.empty() ? nullptr : superview_.lock().get();
       ancestor != nullptr; ancestor = ancestor->superview_.lock().get()) {
    if (ancestor == view.get()) return;
  }
  // The reference may live in the old superview's list, which the removal
  // below erases: hold the view first.
  const UIViewPtr keep = view;  // NOLINT(performance-unnecessary-copy-initialization)
  view->removeFromSuperview();
  index = std::min(index, subviews_.size());
  subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(index), keep);
  keep->superview_ = weak_from_this();
}

void UIView::removeFromSuperview() {
  const UIViewPtr parent = superview_.lock();
  superview_.reset();
  if (!parent) return;
  auto& siblings = parent->subviews_;
  const auto at = std::find_if(siblings.begin(), siblings.end(),
                               [this](const UIViewPtr& view) { return view.get() == this; });
  if (at != siblings.end()) siblings.erase(at);
}

std::shared_ptr<UIWindow> UIView::window() const {
  for (const UIView* view = this; view != nullptr; view = view->superview_.lock().get()) {
    if (const auto* window = dynamic_cast<const UIWindow*>(view)) {
      return std::const_pointer_cast<UIWindow>(
          std::static_pointer_cast<const UIWindow>(window->shared_from_this()));
    }
  }
  return nullptr;
}

const UIView* UIView::offsetToRoot(CGPoint& offset) const {
  offset = CGPointMake(0, 0);
  const UIView* view = this;
  for (UIViewPtr parent = superview_.lock(); parent; parent = parent->superview_.lock()) {
    offset.x += view->origin_.x - view->bounds_.origin.x;
    offset.y += view->origin_.y - view->bounds_.origin.y;
    view = parent.get();
  }
  return view;
}

CGPoint UIView::convertPoint(CGPoint point, const UIView* view) const {
  CGPoint fromOffset;
  const UIView* root = offsetToRoot(fromOffset);
  CGPoint converted = CGPointMake(point.x + fromOffset.x, point.y + fromOffset.y);
  if (view == nullptr) return converted;
  CGPoint toOffset;
  const UIView* targetRoot = view->offsetToRoot(toOffset);
  if (targetRoot != root) {
    // Through the screen: each outermost view's coordinates sit at its
    // frame there.
    converted.x += root->origin_.x - root->bounds_.origin.x - targetRoot->origin_.x +
                   targetRoot->bounds_.origin.x;
    converted.y += root->origin_.y - root->bounds_.origin.y - targetRoot->origin_.y +
                   targetRoot->bounds_.origin.y;
  }
  return CGPointMake(converted.x - toOffset.x, converted.y - toOffset.y);
}

CGRect UIView::convertRect(CGRect rect, const UIView* view) const {
  return CGRect{convertPoint(rect.origin, view), rect.size};
}

void UIView::drawRect(CGContextRef /*context*/, CGRect /*rect*/) const {}

bool UIView::pointInside(CGPoint point, const UIEvent* /*event*/) const {
  return point.x >= bounds_.origin.x && point.y >= bounds_.origin.y &&
         point.x < bounds_.origin.x + bounds_.size.width &&
         point.y < bounds_.origin.y + bounds_.size.height;
}

UIViewPtr UIView::hitTest(CGPoint point, const UIEvent* event) {
  if (hidden_ || !pointInside(point, event)) return nullptr;
  // A copy: a view may change the tree while it is asked.
  const std::vector<UIViewPtr> children = subviews_;
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    const UIViewPtr& child = *it;
    const CGPoint local = CGPointMake(point.x - child->origin_.x + child->bounds_.origin.x,
                                      point.y - child->origin_.y + child->bounds_.origin.y);
    if (UIViewPtr hit = child->hitTest(local, event)) return hit;
  }
  return shared_from_this();
}

UIEdgeInsets UIView::safeAreaInsets() const {
  const auto screen = UIScreen::mainScreen();
  return screen ? screen->safeAreaInsets() : UIEdgeInsets{};
}

void UIView::addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer) {
  if (!recognizer) return;
  recognizer->setView(shared_from_this());
  recognizers_.push_back(recognizer);
}

namespace {
UIViewAnimationRecord& animationRecord() {
  static UIViewAnimationRecord record;
  return record;
}

// The changes of the animation block that runs on this thread, or null.
// Per thread, so that views changed on other threads never touch it.
thread_local std::vector<UIViewAnimationChange>* animatedChanges = nullptr;
}  // namespace

void UIView::willChangeGeometry() {
  if (animatedChanges == nullptr) return;
  std::weak_ptr<UIView> self = weak_from_this();
  if (self.expired()) return;  // not owned by a shared pointer: nobody can draw it later
  for (const UIViewAnimationChange& change : *animatedChanges) {
    if (!change.view.owner_before(self) && !self.owner_before(change.view)) return;
  }
  animatedChanges->push_back(UIViewAnimationChange{std::move(self), frame(), frame()});
}

void UIView::animateWithDuration(double duration, const std::function<void()>& animations) {
  // A block inside a block belongs to the outer animation.
  if (animatedChanges != nullptr) {
    if (animations) animations();
    return;
  }
  std::vector<UIViewAnimationChange> changes;
  struct Collecting {
    explicit Collecting(std::vector<UIViewAnimationChange>* into) { animatedChanges = into; }
    ~Collecting() { animatedChanges = nullptr; }
    Collecting(const Collecting&) = delete;
    Collecting& operator=(const Collecting&) = delete;
  };
  {
    const Collecting collecting(&changes);
    if (animations) animations();
  }
  std::erase_if(changes, [](UIViewAnimationChange& change) {
    const UIViewPtr view = change.view.lock();
    if (view) change.to = view->frame();
    return !view || change.to == change.from;
  });
  UIViewAnimationRecord& record = animationRecord();
  record.duration = duration;
  ++record.count;
  record.changes = std::move(changes);
}

UIViewAnimationRecord UIView::lastAnimation() {
  return animationRecord();
}
