// The view toolkit: geometry, drawing, images, text, windows, touches and
// animations.

#include <limits>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "Platform/UIKit/UIKit.h"

namespace {

UIImagePixel rgb(uint8_t red, uint8_t green, uint8_t blue) {
  return UIImagePixel{red, green, blue, 255};
}

UIViewPtr coloredView(CGRect frame, const char* hex) {
  auto view = std::make_shared<UIView>(frame);
  view->setBackgroundColor(UIColor::colorWithHexString(hex));
  return view;
}

// Draws the view into a fresh context of its size at scale 1.
UIImagePtr render(const UIView& view) {
  UIGraphicsBeginImageContext(view.bounds().size);
  view.layer().renderInContext(UIGraphicsGetCurrentContext());
  UIImagePtr image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return image;
}

TEST(UIKitViewTest, GeometryTreeAndConversion) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 300, 600));
  auto outer = std::make_shared<UIView>(CGRectMake(10, 20, 200, 300));
  outer->setBounds(CGRectMake(0, 50, 200, 300));  // scrolled down by 50
  auto inner = std::make_shared<UIView>(CGRectMake(5, 60, 40, 30));
  window->addSubview(outer);
  outer->addSubview(inner);

  EXPECT_EQ(outer->frame(), CGRectMake(10, 20, 200, 300));
  EXPECT_EQ(inner->window(), window);
  // x: 10 + 5; y: 20 - 50 + 60.
  EXPECT_EQ(outer->convertRect(inner->frame(), nullptr), CGRectMake(15, 30, 40, 30));
  EXPECT_EQ(inner->convertPoint(CGPointMake(1, 2), window), CGPointMake(16, 32));
  EXPECT_EQ(window->convertPoint(CGPointMake(16, 32), inner), CGPointMake(1, 2));

  // Through the screen between windows: the second window sits at (100, 0).
  auto other = std::make_shared<UIWindow>(CGRectMake(100, 0, 100, 100));
  auto otherChild = std::make_shared<UIView>(CGRectMake(10, 10, 5, 5));
  other->addSubview(otherChild);
  EXPECT_EQ(inner->convertPoint(CGPointMake(0, 0), otherChild), CGPointMake(-95, 20));

  // Changing the bounds' size keeps the centre.
  inner->setBounds(CGRectMake(0, 0, 20, 10));
  EXPECT_EQ(inner->frame(), CGRectMake(15, 70, 20, 10));

  // Moving a view to another parent; a view cannot hold its own ancestor.
  window->addSubview(inner);
  EXPECT_TRUE(outer->subviews().empty());
  EXPECT_EQ(inner->superview(), window);
  inner->addSubview(window);
  EXPECT_EQ(window->superview(), nullptr);
  inner->removeFromSuperview();
  EXPECT_EQ(window->subviews().size(), 1U);
  EXPECT_EQ(inner->window(), nullptr);

  // A window's root view is set once, and replaced whole.
  auto root = std::make_shared<UIView>();
  window->setRootView(root);
  window->setRootView(root);
  EXPECT_EQ(window->rootView(), root);
  EXPECT_EQ(window->subviews().size(), 2U);
  window->setRootView(std::make_shared<UIView>());
  EXPECT_EQ(root->superview(), nullptr);
}

TEST(UIKitViewTest, ChainsOfManyThousandLevelsConvertRenderAndFreeWithoutDeepRecursion) {
  constexpr int kDepth = 100000;
  auto root = std::make_shared<UIWindow>(CGRectMake(0, 0, 4, 4));
  root->setHidden(false);
  UIViewPtr parent = root;
  for (int i = 0; i < kDepth; ++i) {
    auto child = std::make_shared<UIView>(CGRectMake(0, 0, 4, 4));
    parent->addSubview(child);
    parent = child;
  }
  parent->setBackgroundColor(UIColor::colorWithHexString("#102030"));
  EXPECT_EQ(parent->convertRect(CGRectMake(1, 1, 1, 1), nullptr), CGRectMake(1, 1, 1, 1));
  EXPECT_EQ(parent->window(), root);
  EXPECT_EQ(render(*root)->pixelAt(2, 2), rgb(0x10, 0x20, 0x30));
}  // frees the whole chain

TEST(UIKitRenderTest, HexColoursBackgroundsCornersAndHiddenViews) {
  EXPECT_EQ(*UIColor::colorWithHexString("#FF8000"), UIColor(1, 128 / 255.0, 0, 1));
  EXPECT_EQ(UIColor::colorWithHexString("#ff800080")->alpha(), 128 / 255.0);
  for (const char* bad : {"", "#", "ff8000", "#ff80", "#ff80000", "#gg0000", "#ff8000 "}) {
    EXPECT_EQ(UIColor::colorWithHexString(bad), nullptr) << bad;
  }

  auto root = coloredView(CGRectMake(0, 0, 40, 30), "#ff0000");
  auto blue = coloredView(CGRectMake(10, 5, 10, 10), "#0000ff");
  auto hidden = coloredView(CGRectMake(0, 0, 40, 30), "#00ff00");
  hidden->setHidden(true);
  hidden->addSubview(coloredView(CGRectMake(0, 0, 5, 5), "#ffffff"));
  auto rounded = coloredView(CGRectMake(0, 20, 10, 10), "#00ffff");
  rounded->layer().setCornerRadius(5);
  // A shifted bounds origin moves the content.
  auto shifted = std::make_shared<UIView>(CGRectMake(20, 20, 10, 10));
  shifted->setBounds(CGRectMake(-2, 0, 10, 10));
  shifted->addSubview(coloredView(CGRectMake(0, 0, 2, 2), "#ff00ff"));
  for (const auto& view : {blue, hidden, rounded, shifted})
    root->addSubview(view);

  const UIImagePtr image = render(*root);
  ASSERT_TRUE(image);
  EXPECT_FALSE(image->pixelAt(40, 0));
  // (0, 20) is outside the rounded corner.
  const std::tuple<int, int, UIImagePixel> pixels[] = {
      {0, 0, rgb(255, 0, 0)},     {10, 5, rgb(0, 0, 255)},   {19, 14, rgb(0, 0, 255)},
      {20, 15, rgb(255, 0, 0)},   {5, 25, rgb(0, 255, 255)}, {0, 20, rgb(255, 0, 0)},
      {22, 20, rgb(255, 0, 255)}, {20, 20, rgb(255, 0, 0)}};
  for (const auto& [x, y, pixel] : pixels)
    EXPECT_EQ(image->pixelAt(x, y), pixel) << x << "," << y;
}

TEST(UIKitRenderTest, InvalidGeometryDrawsNothingAndBreaksNothing) {
  auto root = coloredView(CGRectMake(0, 0, 10, 10), "#0000ff");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  root->addSubview(coloredView(CGRectMake(nan, 0, 5, 5), "#ff0000"));
  root->addSubview(coloredView(CGRectMake(0, 0, 1e300, -1e300), "#ff0000"));
  auto huge = coloredView(CGRectMake(-1e300, -1e300, 2e300, 2e300), "#00ff00");
  huge->layer().setCornerRadius(nan);
  huge->layer().setZPosition(nan);
  root->addSubview(huge);
  root->addSubview(coloredView(CGRectMake(8, 8, 2, 2), "#ffffff"));
  const UIImagePtr image = render(*root);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixelAt(0, 0), rgb(0, 255, 0));
  EXPECT_EQ(image->pixelAt(9, 9), rgb(255, 255, 255));
}

TEST(UIKitGraphicsTest, ContextStackIsPerThreadAndRefusesEmptySizes) {
  EXPECT_EQ(UIGraphicsGetCurrentContext(), nullptr);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const CGSize refused : {CGSizeMake(0, 10), CGSizeMake(nan, 10), CGSizeMake(1e9, 10)}) {
    UIGraphicsBeginImageContext(refused);
    EXPECT_EQ(UIGraphicsGetCurrentContext(), nullptr) << refused.width;
  }
  EXPECT_EQ(UIGraphicsGetImageFromCurrentImageContext(), nullptr);

  UIGraphicsBeginImageContext(CGSizeMake(3, 2));
  CGContextRef outer = UIGraphicsGetCurrentContext();
  UIGraphicsBeginImageContextWithOptions(CGSizeMake(3, 2), false, 2);
  CGContextRef inner = UIGraphicsGetCurrentContext();
  ASSERT_NE(outer, nullptr);
  ASSERT_NE(inner, outer);
  const UIImagePtr scaled = UIGraphicsGetImageFromCurrentImageContext();
  EXPECT_EQ(scaled->pixelWidth(), 6);
  EXPECT_EQ(scaled->size(), CGSizeMake(3, 2));
  std::thread([] { EXPECT_EQ(UIGraphicsGetCurrentContext(), nullptr); }).join();
  UIGraphicsEndImageContext();
  EXPECT_EQ(UIGraphicsGetCurrentContext(), outer);
  const UIImagePtr plain = UIGraphicsGetImageFromCurrentImageContext();
  EXPECT_EQ(plain->pixelAt(0, 0), (UIImagePixel{0, 0, 0, 0}));  // cleared, not opaque
  UIGraphicsEndImageContext();
  UIGraphicsEndImageContext();  // nothing left to end
  EXPECT_EQ(UIGraphicsGetCurrentContext(), nullptr);
}

TEST(UIKitImageTest, PNGRoundTripUnpremultipliesColours) {
  const std::pair<const char*, UIImagePixel> colours[] = {
      {"#ff000080", {255, 0, 0, 0x80}}, {"#3366994d", {0x33, 0x66, 0x99, 0x4d}}, {"#00000000", {}}};
  auto root = std::make_shared<UIView>(CGRectMake(0, 0, 3, 1));
  for (int x = 0; x < 3; ++x)
    root->addSubview(coloredView(CGRectMake(x, 0, 1, 1), colours[x].first));
  const UIImagePtr image = render(*root);
  const std::optional<NSData> png = UIImagePNGRepresentation(image);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  const UIImagePtr decoded = UIImage::imageWithData(*png);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->pixelWidth(), 3);
  // Straight colours come back within the rounding of premultiplication.
  for (int x = 0; x < 3; ++x) {
    const UIImagePixel pixel = decoded->pixelAt(x, 0).value_or(UIImagePixel{1, 1, 1, 1});
    const UIImagePixel expected = colours[x].second;
    EXPECT_NEAR(pixel.red, expected.red, 3) << x;
    EXPECT_NEAR(pixel.green, expected.green, 3) << x;
    EXPECT_NEAR(pixel.blue, expected.blue, 3) << x;
    EXPECT_EQ(pixel.alpha, expected.alpha) << x;
  }
  for (const auto filter : {UIImagePNGFilter::up, UIImagePNGFilter::all}) {
    const auto other = UIImagePNGRepresentationWithSettings(image, 9, filter);
    ASSERT_TRUE(other);
    EXPECT_EQ(UIImage::imageWithData(*other)->pixelAt(1, 0), decoded->pixelAt(1, 0));
  }

  EXPECT_FALSE(UIImagePNGRepresentation(nullptr));
  EXPECT_EQ(UIImage::imageWithData("not a png"), nullptr);
  EXPECT_EQ(UIImage::imageWithData(png->substr(0, png->size() / 2)), nullptr);
}

TEST(UIKitTextTest, LabelsMeasureWithFixedSettingsAndPaintInsideTheirFrame) {
  auto label = std::make_shared<UILabel>(CGRectMake(10, 10, 200, 30));
  label->setText("Remove Test Device");
  label->setFont(UIFont::systemFontOfSize(18));
  const CGSize size = label->intrinsicContentSize();
  // DejaVu Sans at 18 points without hinting or rounding.
  EXPECT_NEAR(size.width, 181.494, 0.01);
  EXPECT_NEAR(size.height, 20.953, 0.01);

  auto root = coloredView(CGRectMake(0, 0, 220, 50), "#ffffff");
  root->addSubview(label);
  const UIImagePtr image = render(*root);
  int dark = 0;
  for (int y = 0; y < 50; ++y) {
    for (int x = 0; x < 220; ++x) {
      if (image->pixelAt(x, y)->red >= 128) continue;
      ++dark;
      EXPECT_TRUE(x >= 10 && x < 210 && y >= 10 && y < 40) << x << "," << y;
    }
  }
  EXPECT_GT(dark, 100);

  auto button = std::make_shared<UIButton>(CGRectMake(0, 0, 100, 40));
  button->setTitle("Go", UIControlStateNormal);
  EXPECT_EQ(button->titleForState(UIControlStateHighlighted), "Go");
  button->setTitle("Going", UIControlStateHighlighted);
  button->setState(UIControlStateHighlighted);
  EXPECT_EQ(button->currentTitle(), "Going");
}

TEST(UIKitTextTest, WrappedLabelsCountTheirLinesAtAFixedHeightAndMarkACut) {
  auto label = std::make_shared<UILabel>(CGRectMake(0, 0, 160, 60));
  label->setFont(UIFont::systemFontOfSize(15));
  label->setLineHeight(20);
  const auto lines = [&](CGFloat width, NSInteger most) {
    const CGRect used = label->textRectForBounds(CGRectMake(5, 5, width, 1000), most);
    EXPECT_LE(used.size.width, width);
    EXPECT_EQ(used.origin, CGPointMake(5, 5));
    return used.size.height / 20;
  };
  label->setText("one two three four five six seven eight nine ten");
  EXPECT_EQ(lines(1000, 0), 1);
  EXPECT_GE(lines(60, 0), 4);
  EXPECT_EQ(lines(60, 2), 2);
  // Line feeds of every kind break lines, and count against the limit.
  label->setText("a\nb\r\nc\rd\u2028e\u2029f");
  EXPECT_EQ(lines(1000, 0), 6);
  EXPECT_EQ(lines(1000, 3), 3);
  // A word longer than a line is broken between characters.
  label->setText(std::string(60, 'w'));
  EXPECT_GE(lines(100, 0), 5);
  label->setText("");
  EXPECT_EQ(lines(100, 0), 0);

  // A label cut at a line feed marks the cut: the last line kept shows its
  // own text and an ellipsis, as that text written out does, never the next
  // line run into it; a line too long for that gets Pango's ellipsis, as when
  // the cut falls inside a line.
  const auto drawn = [&](const std::string& text, NSInteger most) {
    label->setText(text);
    label->setNumberOfLines(most);
    auto root = coloredView(CGRectMake(0, 0, 160, 60), "#ffffff");
    root->addSubview(label);
    return UIImagePNGRepresentation(render(*root)).value_or("");
  };
  // (Compared as PNG bytes, which are the same for the same pixels.)
  EXPECT_TRUE(drawn("Line one\nline two\r\nline three", 2) == drawn("Line one\nline two\u2026", 0));
  EXPECT_TRUE(drawn("One\n\nthree\nfour", 2) == drawn("One\n\u2026", 0));
  EXPECT_TRUE(drawn("One\u2029two\u2029three", 2) == drawn("One\ntwo\u2026", 0));
  const std::string longLine = "a line far too long for the width of this label";
  EXPECT_TRUE(drawn("One\n" + longLine + "\nthree", 2) == drawn("One\n" + longLine, 2));
  EXPECT_FALSE(drawn("One\n" + longLine, 2) == drawn("One\n" + longLine, 0));
}

TEST(UIKitApplicationTest, KeyWindowFollowsTheWindowsThatLiveAndTakesTaps) {
  class Refusing : public UIWindow {
   public:
    using UIWindow::UIWindow;
    bool canBecomeKeyWindow() const override { return false; }
  };
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 100, 100));
  EXPECT_TRUE(window->isHidden());
  window->makeKeyAndVisible();
  EXPECT_FALSE(window->isHidden());
  EXPECT_TRUE(window->isKeyWindow());

  // Only a touch lifted inside the button is a tap. (The overlay's tests
  // route taps through windows of two levels, past hidden controls and a
  // window that declines the point.)
  auto button = std::make_shared<UIButton>(CGRectMake(10, 10, 40, 40));
  int taps = 0;
  button->addAction([&](const UIButtonPtr&) { ++taps; }, UIControlEventTouchUpInside);
  window->addSubview(button);
  for (const CGPoint end : {CGPointMake(80, 80), CGPointMake(30, 30)}) {
    UIApplication::sharedApplication().sendTouchBegan(CGPointMake(20, 20));
    UIApplication::sharedApplication().sendTouchEnded(end);
  }
  EXPECT_EQ(taps, 1);

  auto overlay = std::make_shared<Refusing>(CGRectMake(0, 0, 10, 10));
  overlay->setWindowLevel(UIWindowLevelAlert);
  overlay->makeKeyAndVisible();
  EXPECT_EQ(UIApplication::sharedApplication().keyWindow(), window);
  EXPECT_EQ(UIApplication::sharedApplication().windows().back(), overlay);
  window.reset();
  EXPECT_EQ(UIApplication::sharedApplication().keyWindow(), nullptr);
}

TEST(UIKitMiscTest, AnimationsBundlesAndEmptyText) {
  auto view = std::make_shared<UIView>(CGRectMake(0, 0, 10, 10));
  UIView::animateWithDuration(0.3, [&] { view->setCenter(CGPointMake(100, 100)); });
  const auto before = UIView::lastAnimation().count;
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
  EXPECT_EQ(record.count, before + 1) << "an inner block belongs to the outer animation";
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

  // (The overlay's tests check the measures of its titles.) Empty text
  // measures nothing.
  EXPECT_EQ(NSStringBoundingRectWithSize("", CGSizeMake(100, 100), 0,
                                         NSStringAttributes{UIFont::systemFontOfSize(18)}),
            CGRectZero);
}

}  // namespace
