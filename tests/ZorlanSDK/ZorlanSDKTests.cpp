// The host SDK's stand-in: its JSON writer, its checks of strings and
// JSON objects, the device's facts, and the tree of view wrappers that it
// builds, sorts and dumps.

#include <cmath>

#include <gmock/gmock.h>

#include "Platform/Foundation/NSLog.h"
#include "Platform/UIKit/UIKit.h"
#include "ZorlanSDK/ZRLJSONWriter.h"
#include "ZorlanSDK/ZorlanSDK.h"

namespace {

TEST(ZRLJSONWriter, WritesWhatTheParserReadsBackAtAnyDepthAndReplacesInvalidUTF8) {
  const nlohmann::json value = {
      {"screen", {{"image", "iVBOR\r\nw0KG"}, {"navigation", "Caf\u00e9 \"\u2028\" \\ \t\x01"}}},
      {"layout", nlohmann::json::array({1, -2, 3.5, true, false, nullptr, nlohmann::json::object(),
                                        nlohmann::json::array(), 18446744073709551615ULL})},
      {"device_info", {{"width", 414}, {"height", 0}}}};
  const std::string text = ZRLJSONWriter::stringWithJSONObject(value);
  EXPECT_EQ(nlohmann::json::parse(text), value);
  EXPECT_EQ(text, value.dump()) << "same text as the JSON library for valid input";
  EXPECT_EQ(ZRLJSONWriter::stringWithJSONObject(std::nan("")), "null");

  // Deeply nested values are written without deep recursion.
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

  // Invalid UTF-8 becomes replacement characters wherever it stands.
  auto written = [](std::string_view bytes) {
    std::string out;
    ZRLJSONWriter::appendString(bytes, out);
    return out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(written("\xC3"), "\"" + fffd + "\"");                        // cut short
  EXPECT_EQ(written("\xE2\x82"), "\"" + fffd + fffd + "\"");             // each byte replaced
  EXPECT_EQ(written("\xED\xA0\x80"), "\"" + fffd + fffd + fffd + "\"");  // a surrogate
  EXPECT_EQ(written("\xC0\xAF"), "\"" + fffd + fffd + "\"");             // overlong
  EXPECT_EQ(written("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");        // valid 4-byte
  // Every byte at every place of a word.
  for (int byte = 0; byte < 256; ++byte) {
    for (size_t place = 0; place < 20; ++place) {
      std::string word(20, 'a');
      word[place] = static_cast<char>(byte);
      const std::string out = written(word);
      ASSERT_TRUE(nlohmann::json::accept(out)) << byte << " at " << place;
      if (byte < 0x80) {
        EXPECT_EQ(out, nlohmann::json(word).dump()) << byte << " at " << place;
      } else {
        EXPECT_EQ(nlohmann::json::parse(out).get<std::string>(),
                  word.substr(0, place) + fffd + word.substr(place + 1));
      }
    }
  }
}

// (The preview handler's tests give it text that is no JSON object.)
TEST(ZRLUtilities, NoTextIsNoJSONObject) {
  EXPECT_EQ(ZRLUtilities::dictionaryFromJsonString(std::nullopt), std::nullopt);
}

TEST(ZRLController, DeviceFactsCarryTheScreenSize) {
  auto controller = std::make_shared<ZRLController>();
  controller->setScreenSize(375, 812.5);
  controller->setDeviceFacts({{"os_version", "16.0"}});
  // The safe area is the screen's (the key window's), read when asked.
  const UIEdgeInsets previous = UIScreen::mainScreen()->safeAreaInsets();
  UIScreen::mainScreen()->setSafeAreaInsets({59, 0, 34.5, 0});
  const nlohmann::json facts = controller->deviceInfo()->jsonDictModified();
  UIScreen::mainScreen()->setSafeAreaInsets(previous);
  EXPECT_EQ(facts["dimensions"], (nlohmann::json{{"width", 375}, {"height", 812.5}}));
  EXPECT_EQ(facts["os_version"], "16.0");
  EXPECT_EQ(facts["safe_area_insets"],
            (nlohmann::json{{"top", 59}, {"left", 0}, {"bottom", 34.5}, {"right", 0}}));
}

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

TEST_F(ZRLUtilitiesViewTest, WrapperTreeLeavesOutHiddenAndIgnoredSubtreesNamesEachViewAndIsDumped) {
  auto top = named("Top", CGRectMake(0, 0, 100, 100));
  auto kept = named("Kept", CGRectMake(1, 2, 3, 4));
  kept->setTag(5);
  auto unnamed = std::make_shared<UILabel>(CGRectMake(0, 0, 10, 10));
  auto hidden = named("Hidden", CGRectMake(0, 0, 10, 10));
  hidden->setHidden(true);
  hidden->addSubview(named("BelowHidden", CGRectZero));
  auto ignoredView = named("Ignored", CGRectMake(0, 0, 10, 10));
  ignoredView->addSubview(named("BelowIgnored", CGRectZero));
  auto cell = std::make_shared<UITableViewCell>(CGRectMake(0, 20, 10, 10));
  cell->setAccessibilityIdentifier("");  // empty: the class name stands in
  // Below it a chain of 5,000: the capture tests wrap, sort and free one
  // four times as deep; the dumps, quadratic in size, only this one.
  UIViewPtr parent = named("Inner", CGRectZero);
  kept->addSubview(parent);
  for (int i = 0; i < 5000; ++i) {
    auto next = named("V", CGRectMake(0, 0, 10, 10));
    parent->addSubview(next);
    parent = next;
  }
  parent.reset();
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

  // Both trees are dumped without deep recursion. (The capture tests check
  // that nothing is written above the debug level.)
  NSLogCapture log;
  std::string separator = "::";
  LOG_LEVEL = 1;
  ZRLUtilities::logViewWithRoot(top, separator);
  ZRLUtilities::logZRLViewWithRoot(root, separator);
  ASSERT_EQ(log.lines().size(), 2U);
  EXPECT_THAT(log.lines()[0],
              ::testing::HasSubstr("\n::<UIView: frame = (0 0; 100 100); name = Top>\n"
                                   "::| <UIView: frame = (1 2; 3 4); name = Kept; tag = 5>"));
  EXPECT_THAT(log.lines()[1], ::testing::HasSubstr("\n::| <ZRLView: Kept <UIView:"));
  EXPECT_EQ(separator, "::");

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

}  // namespace
