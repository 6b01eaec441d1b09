#pragma once
// The platform's view: a rectangle in its superview (frame, bounds, centre),
// ordered subviews, visibility, tag, colours and a layer, conversion of
// points and rectangles between views, and the drawing of its own content.
// Views belong to the main thread; nothing here takes a lock.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "Platform/UIKit/CALayer.h"
#include "Platform/UIKit/CGGeometry.h"
#include "Platform/UIKit/UIColor.h"
#include "Platform/UIKit/UIKitExport.h"

class UIView;
class UIWindow;
class UIEvent;
class UITouch;
class UIGestureRecognizer;
using UIViewPtr = std::shared_ptr<UIView>;
using NSInteger = long;

// Distances inward from each edge of a rectangle.
struct UIKIT_EXPORT UIEdgeInsets {
  CGFloat top = 0;
  CGFloat left = 0;
  CGFloat bottom = 0;
  CGFloat right = 0;
  friend bool operator==(const UIEdgeInsets&, const UIEdgeInsets&) = default;
};

// A view whose frame an animation block changed: where it was before the
// block and where the block left it.
struct UIKIT_EXPORT UIViewAnimationChange {
  std::weak_ptr<UIView> view;
  CGRect from;
  CGRect to;
};

// What animateWithDuration last did: a front end interpolates from the
// views' former state to the final one over the duration.
struct UIKIT_EXPORT UIViewAnimationRecord {
  double duration = 0;
  unsigned long count = 0;                     // animations run so far in this process
  std::vector<UIViewAnimationChange> changes;  // views whose frame moved
};

class UIKIT_EXPORT UIView : public std::enable_shared_from_this<UIView> {
 public:
  UIView() : UIView(CGRectZero) {}
  explicit UIView(CGRect frame);
  // Takes a tree of any depth apart without deep recursion.
  virtual ~UIView();
  UIView(const UIView&) = delete;
  UIView& operator=(const UIView&) = delete;

  // The class's name as the platform reports it ("UIView", "UILabel", ...).
  virtual const char* className() const { return "UIView"; }
  // Class test in the platform's manner: true for T and its subclasses.
  template <typename T>
  bool isKindOfClass() const {
    if constexpr (std::is_base_of_v<T, UIView>) {
      return true;
    } else {
      return dynamic_cast<const T*>(this) != nullptr;
    }
  }

  // Geometry. The frame is in the superview's coordinates; the bounds are
  // the view's own (their origin shifts the content); the centre is the
  // frame's middle. Changing the bounds' size keeps the centre.
  CGRect frame() const { return CGRect{origin_, bounds_.size}; }
  void setFrame(CGRect frame);
  CGRect bounds() const { return bounds_; }
  void setBounds(CGRect bounds);
  CGPoint center() const;
  void setCenter(CGPoint center);

  // The tree. A view has at most one superview; adding it elsewhere moves it.
  UIViewPtr superview() const { return superview_.lock(); }
  const std::vector<UIViewPtr>& subviews() const { return subviews_; }
  void addSubview(const UIViewPtr& view);
  void insertSubview(const UIViewPtr& view, size_t index);
  void removeFromSuperview();
  // The window that holds the view (the view itself when it is one), or null.
  std::shared_ptr<UIWindow> window() const;

  bool isHidden() const { return hidden_; }
  virtual void setHidden(bool hidden) { hidden_ = hidden; }
  NSInteger tag() const { return tag_; }
  void setTag(NSInteger tag) { tag_ = tag; }
  // The fill behind the content; null draws nothing.
  const UIColorPtr& backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(UIColorPtr color) { backgroundColor_ = std::move(color); }
  CALayer& layer() { return layer_; }
  const CALayer& layer() const { return layer_; }

  // The identifier that the app gives the view for tools to find it.
  const std::optional<std::string>& accessibilityIdentifier() const { return identifier_; }
  void setAccessibilityIdentifier(std::optional<std::string> value) {
    identifier_ = std::move(value);
  }
  // A React Native view's native ID; absent for other views.
  virtual std::optional<std::string> nativeID() const { return nativeID_; }
  void setNativeID(std::optional<std::string> value) { nativeID_ = std::move(value); }

  // Conversion from this view's coordinates into those of another view; a
  // null target means the window (for a view in no window: the outermost
  // superview). Views in different windows convert through the screen.
  CGPoint convertPoint(CGPoint point, const UIView* view) const;
  CGRect convertRect(CGRect rect, const UIView* view) const;
  CGPoint convertPoint(CGPoint point, const UIViewPtr& view) const {
    return convertPoint(point, view.get());
  }
  CGRect convertRect(CGRect rect, const UIViewPtr& view) const {
    return convertRect(rect, view.get());
  }

  // Hit testing. pointInside: the point (in this view's coordinates) lies
  // within the bounds. hitTest: the deepest visible view under the point,
  // the last-added subview first; null when this view is hidden or the
  // point is outside it.
  virtual bool pointInside(CGPoint point, const UIEvent* event) const;
  virtual UIViewPtr hitTest(CGPoint point, const UIEvent* event);

  // The screen's safe-area insets (the simulated system uses them always).
  UIEdgeInsets safeAreaInsets() const;

  // Gesture recognisers see the touches of this view and its subviews.
  void addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
  const std::vector<std::shared_ptr<UIGestureRecognizer>>& gestureRecognizers() const {
    return recognizers_;
  }

  // The touch that hit testing gave this view, phase by phase. A cancelled
  // touch ends without touchesEnded.
  virtual void touchesBegan(const UITouch& /*touch*/) {}
  virtual void touchesMoved(const UITouch& /*touch*/) {}
  virtual void touchesEnded(const UITouch& /*touch*/) {}
  virtual void touchesCancelled(const UITouch& /*touch*/) {}

  // Runs the block at once, so the final state is set, and records the
  // animation with the frames that the block changed (main thread only).
  static void animateWithDuration(double duration, const std::function<void()>& animations);
  static UIViewAnimationRecord lastAnimation();

  // Draws the view's own content (not its background, not its subviews)
  // with the context's origin at the origin of the view's coordinates.
  virtual void drawRect(CGContextRef context, CGRect rect) const;

 private:
  // Offset from this view's coordinates to those of its outermost
  // superview, which it returns.
  const UIView* offsetToRoot(CGPoint& offset) const;
  // Notes the frame before a change, while an animation block runs.
  void willChangeGeometry();

  CGPoint origin_;
  CGRect bounds_;
  std::weak_ptr<UIView> superview_;
  std::vector<UIViewPtr> subviews_;
  bool hidden_ = false;
  NSInteger tag_ = 0;
  UIColorPtr backgroundColor_;
  CALayer layer_;
  std::optional<std::string> identifier_;
  std::optional<std::string> nativeID_;
  std::vector<std::shared_ptr<UIGestureRecognizer>> recognizers_;
};
