// The capture on the recording host: the layout's identifiers and
// rectangles, the order in which the host builds it, and the screenshot.

#include <limits>

#include <gmock/gmock.h>

#include "Platform/UIKit/UIKit.h"
#include "ZRLWYSIWYGPlugin/ZRLLayoutHelper.h"
#include "ZRLWYSIWYGPlugin/ZRLScreenshotHelper.h"
#include "tests/ZRLWYSIWYGPlugin/PluginTestSupport.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using json = nlohmann::json;

namespace {

// A view that counts how often its native ID is read.
class CountingView : public UIView {
 public:
  using UIView::UIView;
  std::optional<std::string> nativeID() const override {
    ++reads;
    return UIView::nativeID();
  }
  mutable int reads = 0;
};

ZRLViewPtr wrap(UIViewPtr view, std::optional<std::string> name) {
  auto wrapper = std::make_shared<ZRLView>(std::move(view));
  wrapper->setName(std::move(name));
  return wrapper;
}

class CaptureTest : public PluginTest {
 protected:
  CaptureTest() : PluginTest(2) {}
  void TearDown() override {
    PluginTest::TearDown();
    ZRLUtilities::removeAllIgnoredViews();
    UIScreen::mainScreen()->setScale(3);
  }

  // A key window of the size holding a root view with a light background.
  UIViewPtr showWindow(CGSize size) {
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, size.width, size.height));
    auto top = std::make_shared<UIView>(window_->bounds());
    top->setBackgroundColor(UIColor::whiteColor());
    window_->setRootView(top);
    window_->makeKeyAndVisible();
    return top;
  }

  std::shared_ptr<UIWindow> window_;
};

TEST_F(CaptureTest, IdentifiersArePositionalOrCellTagsAndNodesHaveTheirFormat) {
  auto parent = std::make_shared<UIView>(CGRectMake(0, 0, 100, 100));
  auto a = std::make_shared<CountingView>(CGRectMake(0, 0, 10, 10));
  a->setNativeID("ats_a");
  auto b = std::make_shared<UIView>(CGRectMake(0, 0, 5, 5));
  class OrderCell : public UICollectionViewCell {};
  auto e = std::make_shared<UITableViewCell>(CGRectMake(0, 0, 10, 10));
  e->setTag(7);
  auto collectionCell = std::make_shared<OrderCell>();
  collectionCell->setTag(-3);
  for (const auto& view : std::vector<UIViewPtr>{a, e, collectionCell})
    parent->addSubview(view);
  a->addSubview(b);

  auto root = wrap(parent, "Root");
  auto wrapperA = wrap(a, "A");
  wrapperA->subviews().push_back(wrap(b, "B"));
  auto wrapperE = wrap(e, "E");
  auto twin = wrap(std::make_shared<UITableViewCell>(), "E");
  root->subviews().assign({wrapperA, wrapperE, wrap(collectionCell, "C"), wrapperE, twin,
                           wrap(nullptr, std::nullopt), wrap(std::make_shared<UIView>(), "A")});
  twin->view()->setTag(7);

  json layout = json::array();
  ZRLLayoutHelper().constructViewHierarchyJSONForRootView(root, "ZRL", layout);
  std::vector<std::string> ids;
  for (const auto& node : layout)
    ids.push_back(node.at("id"));
  // A cell's identifier ends in its tag; a view held twice keeps its first
  // position; a wrapper without a name prints (null).
  EXPECT_THAT(ids, ElementsAre("ZRL:A:0", "ZRL:E:7", "ZRL:C:-3", "ZRL:E:7", "ZRL:E:7",
                               "ZRL:(null):5", "ZRL:A:6"));
  // Whole nodes: no "view" key without a name.
  EXPECT_EQ(layout[0]["views"][0], json::parse(R"({"id": "ZRL:A:0:B:0", "view": "B",
      "naf": false, "bounds": {"top": 0, "bottom": 5, "left": 0, "right": 5}, "views": []})"));
  EXPECT_EQ(layout[5], json::parse(R"({"id": "ZRL:(null):5", "naf": false,
      "bounds": {"top": 0, "bottom": 0, "left": 0, "right": 0}, "views": []})"));
  // Outside a React Native app no native ID is asked for; the host is asked
  // once per view.
  EXPECT_EQ(a->reads, 0);
  EXPECT_EQ(controller_->reactNativeQuestions, 8);
}

TEST_F(CaptureTest, RectanglesUseWindowPointsReplaceNegativeOriginsAndTruncateAfterSums) {
  const auto boundsOf = [](CGRect frame, CGPoint boundsOrigin = CGPointMake(0, 0)) {
    auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 400, 800));
    auto container = std::make_shared<UIView>(CGRectMake(0, 0, 400, 800));
    window->addSubview(container);
    auto view = std::make_shared<UIView>(frame);
    view->setBounds(CGRect{boundsOrigin, frame.size});
    container->addSubview(view);
    const json bounds = ZRLLayoutHelper::boundsOfView(view);
    return std::vector<int64_t>{bounds["left"], bounds["top"], bounds["right"], bounds["bottom"]};
  };
  EXPECT_THAT(boundsOf(CGRectMake(-15, 40, 100, 30)), ElementsAre(0, 40, 100, 70));
  EXPECT_THAT(boundsOf(CGRectMake(-15, -1, 100, 30), CGPointMake(5, 6)),
              ElementsAre(5, 6, 105, 36));
  EXPECT_THAT(boundsOf(CGRectMake(10.7, 20.2, 100.5, 30.9)), ElementsAre(10, 20, 110, 50));
  EXPECT_THAT(boundsOf(CGRectMake(0, -0.0, 1, 1), CGPointMake(9, 9)), ElementsAre(0, 0, 1, 1));
  // Toward zero below zero too; the right edge is the truncated left plus the width.
  EXPECT_THAT(boundsOf(CGRectMake(-5, 5, 10, 10), CGPointMake(-2.7, 0)), ElementsAre(-2, 5, 8, 15));
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_THAT(boundsOf(CGRectMake(3e9, 1e300, 1e10, 5)), ElementsAre(kMax, kMax, kMax, kMax));
  EXPECT_THAT(boundsOf(CGRectMake(nan, 5, nan, 5)), ElementsAre(0, 5, 0, 10));
  EXPECT_THAT(boundsOf(CGRectMake(1, 1, -1e300, -3e9)), ElementsAre(1, 1, kMin, kMin));
  EXPECT_THAT(boundsOf(CGRectMake(-5, -5, 10, 10), CGPointMake(-1e300, nan)),
              ElementsAre(kMin, 0, kMin + 10, 10));

  // No superview, or no view: every edge 0.
  const auto zero = json{{"top", 0}, {"bottom", 0}, {"left", 0}, {"right", 0}};
  EXPECT_EQ(ZRLLayoutHelper::boundsOfView(std::make_shared<UIView>(CGRectMake(5, 5, 5, 5))), zero);
  EXPECT_EQ(ZRLLayoutHelper::boundsOfView(nullptr), zero);
}

TEST_F(CaptureTest, ConstructViewHierarchyAsksTheHostInOrder) {
  EXPECT_EQ(ZRLLayoutHelper().constructViewHierarchy(), json::array());

  UIViewPtr top = showWindow(CGSizeMake(200, 100));
  auto lower = std::make_shared<UIView>(CGRectMake(0, 50, 10, 10));
  lower->setAccessibilityIdentifier("Lower");
  auto upper = std::make_shared<UILabel>(CGRectMake(0, 10, 10, 10));
  auto skipped = std::make_shared<UIView>(CGRectMake(0, 0, 10, 10));
  for (const auto& view : std::vector<UIViewPtr>{lower, upper, skipped})
    top->addSubview(view);
  ZRLUtilities::addIgnoredView(skipped);
  // Nothing is written above the debug level (the fixture's is 2).
  ZRLLayoutHelper().constructViewHierarchy();
  EXPECT_TRUE(log_.lines().empty());

  LOG_LEVEL = 1;
  const json layout = ZRLLayoutHelper().constructViewHierarchy();
  // Sorted by the host (top edge first); identifiers from the sorted order.
  ASSERT_EQ(layout.size(), 2U);
  EXPECT_EQ(layout[0]["id"], "ZRL:UILabel:0");
  EXPECT_EQ(layout[1]["id"], "ZRL:Lower:1");
  // The views as they are, the ignored one among them; then the wrappers,
  // without it.
  EXPECT_THAT(log_.lines(),
              ElementsAre(HasSubstr("<ZRL DEBUG> <> The View hierary is as follows <> "
                                    "-[ZRLLayoutHelper constructViewHierarchy]:"),
                          HasSubstr("<UIView: frame = (0 0; 10 10)>"),
                          HasSubstr("<> The ZRL View hierary is as follows <>"),
                          ::testing::Not(HasSubstr("(0 0; 10 10)"))));
}

// The previews find their target by the rules that made the layout: every
// node's identifier leads back to its view and its bounds.
TEST_F(CaptureTest, EveryIdentifierOfTheLayoutFindsItsViewAgain) {
  controller_->setReactNative(true);
  UIViewPtr top = showWindow(CGSizeMake(300, 400));
  auto list = std::make_shared<UIView>(CGRectMake(-20, 30, 200, 200));  // sticks out left
  list->setAccessibilityIdentifier("List");
  list->setBounds(CGRectMake(0, 10, 200, 200));  // scrolled by 10
  std::vector<UIViewPtr> cells;
  for (int i = 0; i < 3; ++i) {
    auto cell = std::make_shared<UITableViewCell>(CGRectMake(0, 10.5 + 40 * i, 200, 40));
    cell->setTag(i == 2 ? 0 : 5);            // the first two share an identifier
    if (i == 2) cell->setNativeID("login");  // not "ats_": no native identifier
    cell->addSubview(std::make_shared<UILabel>(CGRectMake(8, 4, 100, 20)));
    list->addSubview(cell);
    cells.push_back(cell);
  }
  auto native = std::make_shared<CountingView>(CGRectMake(10, 300, 50, 50));
  native->setNativeID("ats_buy");
  native->addSubview(std::make_shared<UIView>(CGRectMake(1, 1, 5, 5)));
  auto hidden = std::make_shared<UIView>(CGRectMake(0, 0, 5, 5));
  hidden->setAccessibilityIdentifier("Hidden");
  hidden->setHidden(true);
  for (const auto& view : std::vector<UIViewPtr>{list, native, hidden})
    top->addSubview(view);

  const json layout = ZRLLayoutHelper().constructViewHierarchy();
  EXPECT_EQ(native->reads, 1) << "read once per view";
  std::vector<const json*> nodes;
  for (const auto& node : layout)
    nodes.push_back(&node);
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (const auto& child : (*nodes[i])["views"])
      nodes.push_back(&child);
  }
  EXPECT_EQ(nodes.size(), 9U);
  for (const json* node : nodes) {
    const std::string id = (*node)["id"];
    const auto found = ZRLViewIdentifiers::viewWithIdentifier(id);
    ASSERT_TRUE(found) << id;
    if (id.starts_with("ZRL:List:0:UITableViewCell:5")) continue;  // twins: below
    const ZRLLayoutBounds& b = found->bounds;
    EXPECT_EQ((*node)["bounds"],
              (json{{"top", b.top}, {"bottom", b.bottom}, {"left", b.left}, {"right", b.right}}))
        << id;
  }
  // Twins: the first in the layout's order.
  EXPECT_EQ(ZRLViewIdentifiers::viewWithIdentifier("ZRL:List:0:UITableViewCell:5")->view, cells[0]);
  EXPECT_EQ(ZRLViewIdentifiers::viewWithIdentifier("[zrl_ats_buy_zrl]")->view, native);
  EXPECT_EQ(ZRLViewIdentifiers::viewWithIdentifier("ZRL:List:0:UITableViewCell:0")->view, cells[2]);
  EXPECT_FALSE(ZRLViewIdentifiers::viewWithIdentifier("ZRL:Hidden:2"));
  EXPECT_FALSE(ZRLViewIdentifiers::viewWithIdentifier("ZRL"));
  window_.reset();
  EXPECT_FALSE(ZRLViewIdentifiers::viewWithIdentifier("ZRL:List:0"));
}

TEST_F(CaptureTest, ScreenshotIsTheKeyWindowInBase64Lines) {
  // No key window: no screenshot (and below, once the window has gone).
  EXPECT_FALSE(ZRLScreenshotHelper::getBase64EncodedStringForCurrentScreen());

  UIViewPtr top = showWindow(CGSizeMake(320, 568));
  auto box = std::make_shared<UIView>(CGRectMake(-10, 30, 50, 20));
  box->setBackgroundColor(UIColor::colorWithHexString("#204060"));
  top->addSubview(box);
  // Lines of 64 characters, CR LF between them (the encoder's own tests
  // check the rest of the format; zrl-sim's capture test, at a scale of 2,
  // the image's size of one pixel per point).
  const auto text = ZRLScreenshotHelper::getBase64EncodedStringForCurrentScreen();
  ASSERT_TRUE(text && text->size() > 66U);
  EXPECT_EQ(text->substr(64, 2), "\r\n");

  // A context that the caller left current is removed; one below it stays.
  UIGraphicsBeginImageContext(CGSizeMake(1, 1));
  CGContextRef below = UIGraphicsGetCurrentContext();
  UIGraphicsBeginImageContext(CGSizeMake(1, 1));
  EXPECT_TRUE(ZRLScreenshotHelper::captureScreen());
  EXPECT_EQ(UIGraphicsGetCurrentContext(), below);
  window_.reset();
  EXPECT_EQ(ZRLScreenshotHelper::captureScreen(), nullptr);
  EXPECT_EQ(UIGraphicsGetCurrentContext(), nullptr);
}

TEST_F(CaptureTest, AChainOfTwentyThousandViewsIsLaidOutInLinearTime) {
  // Native IDs keep the identifiers short, so only the window rectangles
  // could make such a chain quadratic: found by walking up to the window
  // for every view, they would take billions of steps.
  controller_->setReactNative(true);
  constexpr int kDepth = 20000;
  UIViewPtr parent = showWindow(CGSizeMake(10, 10));
  for (int i = 1; i <= kDepth; ++i) {
    auto child = std::make_shared<UIView>(CGRectMake(1, 2, 10, 10));
    if (i == kDepth / 2) child->setBounds(CGRectMake(3, 1, 10, 10));  // scrolled content
    child->setNativeID("ats_" + std::to_string(i));
    parent->addSubview(child);
    parent = child;
  }
  parent.reset();
  const json layout = ZRLLayoutHelper().constructViewHierarchy();
  int depth = 0;
  for (const json* nodes = &layout; !nodes->empty(); nodes = &(*nodes)[0]["views"]) {
    const json& node = (*nodes)[0];
    ++depth;
    ASSERT_EQ(node["id"], "[zrl_ats_" + std::to_string(depth) + "_zrl]");
    // Each level adds (1, 2); below the scrolled one, (3, 1) less.
    const int left = depth > kDepth / 2 ? depth - 3 : depth;
    const int top = depth > kDepth / 2 ? 2 * depth - 1 : 2 * depth;
    ASSERT_EQ(node["bounds"],
              (json{{"left", left}, {"top", top}, {"right", left + 10}, {"bottom", top + 10}}))
        << "at depth " << depth;
  }
  EXPECT_EQ(depth, kDepth);
}

}  // namespace
