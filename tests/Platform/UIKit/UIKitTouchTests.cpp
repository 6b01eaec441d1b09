#include <gtest/gtest.h>

#include "Platform/UIKit/UIKit.h"

namespace {

// A window that takes touches only in its left half.
class HalfWindow : public UIWindow {
 public:
  using UIWindow::UIWindow;
  bool pointInside(CGPoint point, const UIEvent* event) const override {
    return point.x < bounds().size.width / 2 && UIWindow::pointInside(point, event);
  }
};

struct Stack {
  Stack() {
    low->setRootView(lowButton);
    low->makeKeyAndVisible();
    high->setWindowLevel(UIWindowLevelAlert);
    high->addSubview(container);
    container->addSubview(inner);
    container->addSubview(hiddenOnTop);
    hiddenOnTop->setHidden(true);
    high->setHidden(false);
    lowButton->addAction([this](const UIButtonPtr&) { ++lowTaps; }, UIControlEventTouchUpInside);
    inner->addAction([this](const UIButtonPtr&) { ++innerTaps; }, UIControlEventTouchUpInside);
  }
  ~Stack() {
    low->setHidden(true);
    high->setHidden(true);
  }
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;

  std::shared_ptr<UIWindow> low = std::make_shared<UIWindow>(CGRectMake(0, 0, 400, 800));
  std::shared_ptr<UIButton> lowButton = std::make_shared<UIButton>(CGRectMake(0, 0, 400, 800));
  std::shared_ptr<HalfWindow> high = std::make_shared<HalfWindow>(CGRectMake(0, 0, 400, 800));
  UIViewPtr container = std::make_shared<UIView>(CGRectMake(50, 50, 100, 100));
  std::shared_ptr<UIButton> inner = std::make_shared<UIButton>(CGRectMake(10, 10, 40, 40));
  std::shared_ptr<UIButton> hiddenOnTop = std::make_shared<UIButton>(CGRectMake(0, 0, 100, 100));
  int lowTaps = 0;
  int innerTaps = 0;
};

void tap(CGPoint point) {
  UIApplication::sharedApplication().sendTouchBegan(point);
  UIApplication::sharedApplication().sendTouchEnded(point);
}

TEST(UIKitTouchTest, RoutingByLevelHitTestAndTouchUpInside) {
  Stack stack;
  // The deepest visible view under the point; hidden views are skipped.
  EXPECT_EQ(stack.high->hitTest(CGPointMake(70, 70), nullptr), stack.inner);
  EXPECT_EQ(stack.high->hitTest(CGPointMake(140, 140), nullptr), stack.container);
  tap(CGPointMake(70, 70));
  EXPECT_EQ(stack.innerTaps, 1);
  EXPECT_EQ(stack.lowTaps, 0);
  // The high window declines its right half: the window below gets it.
  tap(CGPointMake(300, 70));
  EXPECT_EQ(stack.lowTaps, 1);
  // Lifting the finger outside the button is no tap.
  UIApplication::sharedApplication().sendTouchBegan(CGPointMake(70, 70));
  UIApplication::sharedApplication().sendTouchEnded(CGPointMake(20, 20));
  EXPECT_EQ(stack.innerTaps, 1);
  // Key status: a window that refuses it leaves the key window as it was.
  EXPECT_TRUE(stack.low->isKeyWindow());
}

TEST(UIKitTouchTest, AnimationsBundlesAndTextMeasuring) {
  auto view = std::make_shared<UIView>(CGRectMake(0, 0, 10, 10));
  const auto before = UIView::lastAnimation().count;
  UIView::animateWithDuration(0.3, [&] { view->setCenter(CGPointMake(100, 100)); });
  EXPECT_EQ(view->center(), CGPointMake(100, 100));
  EXPECT_EQ(UIView::lastAnimation().count, before + 1);
  EXPECT_EQ(UIView::lastAnimation().duration, 0.3);
  // The record names each moved view once, from its frame before the block
  // to its frame after; views left where they were are not in it.
  auto still = std::make_shared<UIView>(CGRectMake(1, 2, 3, 4));
  UIView::animateWithDuration(0.3, [&] {
    view->setCenter(CGPointMake(20, 20));
    view->setFrame(CGRectMake(30, 40, 10, 10));
    still->setFrame(still->frame());
    UIView::animateWithDuration(1, [&] { view->setCenter(CGPointMake(50, 60)); });
  });
  const UIViewAnimationRecord record = UIView::lastAnimation();
  EXPECT_EQ(record.count, before + 2) << "an inner block belongs to the outer animation";
  ASSERT_EQ(record.changes.size(), 1U);
  EXPECT_EQ(record.changes[0].view.lock(), view);
  EXPECT_EQ(record.changes[0].from, CGRectMake(95, 95, 10, 10));
  EXPECT_EQ(record.changes[0].to, CGRectMake(45, 55, 10, 10));
  view->setCenter(CGPointMake(0, 0));
  EXPECT_EQ(UIView::lastAnimation().changes[0].to, CGRectMake(45, 55, 10, 10))
      << "changes after the block are not recorded";

  EXPECT_EQ(NSBundle::bundleWithIdentifier("test.none"), nullptr);
  EXPECT_EQ(UIImage::imageNamed("x", nullptr, nullptr), nullptr);
  NSBundle::registerBundle("test.empty", "/nonexistent-folder");
  EXPECT_EQ(
      UIImage::imageNamed("../etc/passwd", NSBundle::bundleWithIdentifier("test.empty"), nullptr),
      nullptr);

  // Fixed hinting and rounding: the measured size does not depend on the
  // machine's other fonts. Wrapping keeps the width within the limit.
  const NSStringAttributes attributes{UIFont::systemFontOfSize(18)};
  const CGRect one =
      NSStringBoundingRectWithSize("Remove Test Device", CGSizeMake(257.4, 844),
                                   NSStringDrawingUsesLineFragmentOrigin, attributes);
  EXPECT_NEAR(one.size.width, 181.5, 1.0);
  EXPECT_NEAR(one.size.height, 21, 1.0);
  const CGRect wrapped =
      NSStringBoundingRectWithSize("Remove Test Device", CGSizeMake(100, 844),
                                   NSStringDrawingUsesLineFragmentOrigin, attributes);
  EXPECT_LE(wrapped.size.width, 100);
  EXPECT_GT(wrapped.size.height, one.size.height);
  EXPECT_EQ(NSStringBoundingRectWithSize("", CGSizeMake(100, 100), 0, attributes), CGRectZero);
}

}  // namespace
