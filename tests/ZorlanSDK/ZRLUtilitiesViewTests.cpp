#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Platform/Foundation/NSLog.h"
#include "Platform/UIKit/UIKit.h"
#include "ZorlanSDK/ZRLJSONWriter.h"
#include "ZorlanSDK/ZorlanSDK.h"

namespace {

UIViewPtr named(const char* name, CGRect frame) {
  auto view = std::make_shared<UIView>(frame);
  view->setAccessibilityIdentifier(name);
  return view;
}

std::vector<std::string> names(const ZRLView& wrapper) {
  std::vector<std::string> result;
  for (const auto& child : wrapper.subviews())
    result.push_back(child->name().value_or("(none)"));
  return result;
}

class ZRLUtilitiesViewTest : public ::testing::Test {
 protected:
  void SetUp() override { previousLevel_ = LOG_LEVEL.exchange(2); }
  void TearDown() override {
    LOG_LEVEL = previousLevel_;
    ZRLUtilities::removeAllIgnoredViews();
  }
  uintptr_t previousLevel_ = 0;
};

TEST_F(ZRLUtilitiesViewTest, WrapperTreeLeavesOutHiddenAndIgnoredSubtreesAndNamesEachView) {
  auto top = named("Top", CGRectMake(0, 0, 100, 100));
  auto kept = named("Kept", CGRectMake(0, 0, 10, 10));
  auto unnamed = std::make_shared<UILabel>(CGRectMake(0, 0, 10, 10));
  auto hidden = named("Hidden", CGRectMake(0, 0, 10, 10));
  hidden->setHidden(true);
  hidden->addSubview(named("BelowHidden", CGRectZero));
  auto ignoredView = named("Ignored", CGRectMake(0, 0, 10, 10));
  ignoredView->addSubview(named("BelowIgnored", CGRectZero));
  auto cell = std::make_shared<UITableViewCell>(CGRectMake(0, 20, 10, 10));
  cell->setAccessibilityIdentifier("");  // empty: the class name stands in
  kept->addSubview(named("Inner", CGRectZero));
  for (const auto& view : std::vector<UIViewPtr>{kept, unnamed, hidden, ignoredView, cell})
    top->addSubview(view);
  ZRLUtilities::addIgnoredView(ignoredView);

  auto root = std::make_shared<ZRLView>(top);
  EXPECT_EQ(root->name(), "Top");
  ZRLUtilities::constructCustomViewHierarchyForView(top, root, ZRLUtilities::ignoredViews(),
                                                    nullptr, nullptr);
  EXPECT_THAT(names(*root), ::testing::ElementsAre("Kept", "UILabel", "UITableViewCell"));
  EXPECT_THAT(names(*root->subviews()[0]), ::testing::ElementsAre("Inner"));
  EXPECT_EQ(root->subviews()[1]->view(), unnamed);
  EXPECT_FALSE(ZRLView(nullptr).name());

  // An ignored view that nobody else keeps drops out of the list.
  ignoredView.reset();
  top->subviews()[3]->removeFromSuperview();
  EXPECT_TRUE(ZRLUtilities::ignoredViews().empty());
}

TEST_F(ZRLUtilitiesViewTest, SortIsStableByTopThenLeftInWindowCoordinates) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 400, 400));
  auto top = named("Top", CGRectMake(0, 0, 400, 400));
  window->addSubview(top);
  // A container scrolled by 100: its child at y 120 sits at 20 in the window.
  auto scroller = named("Scroller", CGRectMake(0, 0, 400, 400));
  scroller->setBounds(CGRectMake(0, 100, 400, 400));
  scroller->addSubview(named("Later", CGRectMake(0, 150, 10, 10)));   // window y 50
  scroller->addSubview(named("Sooner", CGRectMake(0, 120, 10, 10)));  // window y 20
  top->addSubview(named("C", CGRectMake(50, 30, 10, 10)));
  top->addSubview(named("B", CGRectMake(20, 30, 10, 10)));
  top->addSubview(named("Twin1", CGRectMake(5, 5, 10, 10)));
  top->addSubview(named("Twin2", CGRectMake(5, 5, 10, 10)));
  top->addSubview(named("NaN", CGRectMake(std::nan(""), std::nan(""), 1, 1)));
  top->addSubview(scroller);

  auto root = std::make_shared<ZRLView>(top);
  ZRLUtilities::constructCustomViewHierarchyForView(top, root, {}, nullptr, nullptr);
  ZRLUtilities::sortSubViewsWithRootView(root);
  // The scroller (at 0, 0) and the NaN view (counted as 0, 0) keep their order.
  EXPECT_THAT(names(*root), ::testing::ElementsAre("NaN", "Scroller", "Twin1", "Twin2", "B", "C"));
  EXPECT_THAT(names(*root->subviews()[1]), ::testing::ElementsAre("Sooner", "Later"));
}

TEST_F(ZRLUtilitiesViewTest, DumpsAreWrittenOnlyAtTheDebugLevel) {
  auto top = named("Top", CGRectMake(0, 0, 100, 100));
  auto child = named("Child", CGRectMake(1, 2, 3, 4));
  child->setTag(5);
  top->addSubview(child);
  auto root = std::make_shared<ZRLView>(top);
  ZRLUtilities::constructCustomViewHierarchyForView(top, root, {}, nullptr, nullptr);

  NSLogCapture log;
  std::string separator = "::";
  ZRLUtilities::logViewWithRoot(top, separator);
  ZRLUtilities::logZRLViewWithRoot(root, separator);
  EXPECT_TRUE(log.lines().empty());

  LOG_LEVEL = 1;
  ZRLUtilities::logViewWithRoot(top, separator);
  ZRLUtilities::logZRLViewWithRoot(root, separator);
  ASSERT_EQ(log.lines().size(), 2U);
  EXPECT_THAT(log.lines()[0],
              ::testing::HasSubstr("\n::<UIView: frame = (0 0; 100 100); name = Top>\n"
                                   "::| <UIView: frame = (1 2; 3 4); name = Child; tag = 5>"));
  EXPECT_THAT(log.lines()[1], ::testing::HasSubstr("\n::| <ZRLView: Child <UIView:"));
  EXPECT_EQ(separator, "::");
}

TEST_F(ZRLUtilitiesViewTest, DeepTreesAreDumpedWithoutDeepRecursion) {
  // The capture tests wrap, sort and free a chain four times as deep; the
  // dump, quadratic in size, only at this depth.
  constexpr int kDepth = 5000;
  auto top = named("Top", CGRectMake(0, 0, 10, 10));
  UIViewPtr parent = top;
  for (int i = 0; i < kDepth; ++i) {
    auto child = named("V", CGRectMake(0, 0, 10, 10));
    parent->addSubview(child);
    parent = child;
  }
  parent.reset();
  auto root = std::make_shared<ZRLView>(top);
  ZRLUtilities::constructCustomViewHierarchyForView(top, root, {}, nullptr, nullptr);
  LOG_LEVEL = 1;
  NSLogCapture log;
  std::string separator;
  ZRLUtilities::logZRLViewWithRoot(root, separator);
  EXPECT_EQ(log.lines().size(), 1U);
}

TEST(ZRLJSONWriterDepthTest, DeeplyNestedValuesAreWrittenWithoutDeepRecursion) {
  constexpr int kDepth = 100000;
  nlohmann::json root = nlohmann::json::array();
  nlohmann::json* at = &root;
  for (int i = 0; i < kDepth; ++i) {
    at->push_back({{"a", nlohmann::json::array()}, {"b", i}});
    at = &(*at)[0]["a"];
  }
  std::string expected;
  for (int i = 0; i < kDepth; ++i)
    expected += "[{\"a\":";
  expected += "[]";
  for (int i = kDepth; i-- > 0;)
    expected += ",\"b\":" + std::to_string(i) + "}]";
  EXPECT_EQ(ZRLJSONWriter::stringWithJSONObject(root), expected);
  // For people: cut past a depth, still JSON.
  EXPECT_EQ(ZRLJSONWriter::stringWithJSONObject(root, 3),
            "[{\"a\":[\"(cut: nested too deep)\"],\"b\":0}]");
  EXPECT_EQ(ZRLJSONWriter::stringWithJSONObject(nlohmann::json::array(), 0),
            "\"(cut: nested too deep)\"");
}

}  // namespace
