// The UI plug-in's previews: where the placement rules put each part, what
// the builders read from an untrusted configuration, and what they draw in
// the key window (pixels, taps, replacement, the nudge's timer).

#include <thread>

#include <gtest/gtest.h>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/UIKit/UIKit.h"
#include "ZRLRTAPlugin/ZRLRTAPlugin.h"

namespace {

// Rectangles compared edge by edge: {left, top, right, bottom}.
std::vector<double> edges(CGRect rect) {
  return {rect.origin.x, rect.origin.y, rect.origin.x + rect.size.width,
          rect.origin.y + rect.size.height};
}

constexpr CGSize kPhone{375, 667};
constexpr UIEdgeInsets kInsets{47, 0, 34, 0};
// One line of title and two of text: cards 22 + 6 + 40 + 24 = 92 high.
ZRLPreviewPlacement place(ZRLPreviewKind kind, std::optional<CGRect> target, CGSize window = kPhone,
                          UIEdgeInsets insets = kInsets) {
  return ZRLPreviewPlace(kind, window, insets, target, 1, 2);
}

// A placement's parts as JSON, those that are absent left out.
nlohmann::json summary(const ZRLPreviewPlacement& p) {
  nlohmann::json result = {{"card", edges(p.card)}};
  if (p.dimmed) result["dimmed"] = true;
  if (p.spotlight) result["spotlight"] = edges(*p.spotlight);
  if (p.arrow) result["tip"] = {p.arrow->tip.x, p.arrow->tip.y};
  if (p.closeButton) result["close"] = edges(*p.closeButton);
  return result;
}

TEST(ZRLPreviewLayoutTest, CardsSpotlightsAndArrowsFollowTheRules) {
  using K = ZRLPreviewKind;
  const CGRect middle = CGRectMake(100, 300, 100, 40);
  struct Row {
    K kind;
    std::optional<CGRect> target;
    const char* expected;  // the summary, edges as {left, top, right, bottom}
    CGSize window = kPhone;
    UIEdgeInsets insets = kInsets;
  };
  const std::vector<Row> rows = {
      // A coach mark: the spotlight grown by 8, the card 12 below it,
      // centred on the target and then kept 16 inside the window.
      {K::coachMark, middle,
       R"({"dimmed": true, "spotlight": [92, 292, 208, 348], "card": [16, 360, 336, 452]})"},
      // A tooltip: measured from the target itself, an arrow across the gap.
      {K::tooltip, middle, R"({"card": [16, 352, 336, 444], "tip": [150, 340]})"},
      // No room below the bottom inset: above the target, the arrow downward.
      {K::tooltip, CGRectMake(100, 600, 100, 30),
       R"({"card": [16, 496, 336, 588], "tip": [150, 600]})"},
      // Corners: the spotlight clipped to the window, the card kept inside
      // it, the arrow's tip kept 16 inside the card.
      {K::coachMark, CGRectMake(0, 0, 40, 40),
       R"({"dimmed": true, "spotlight": [0, 0, 48, 48], "card": [16, 60, 336, 152]})"},
      {K::tooltip, CGRectMake(0, 0, 40, 40), R"({"card": [16, 52, 336, 144], "tip": [32, 40]})"},
      {K::coachMark, CGRectMake(335, 627, 40, 40),
       R"({"dimmed": true, "spotlight": [327, 619, 375, 667], "card": [39, 515, 359, 607]})"},
      // Partly off screen, and larger than the window: no room above or
      // below, so the card is clamped into the safe area and the tooltip
      // has no arrow.
      {K::coachMark, CGRectMake(300, 200, 200, 40),
       R"({"dimmed": true, "spotlight": [292, 192, 375, 248], "card": [39, 260, 359, 352]})"},
      {K::coachMark, CGRectMake(-100, 300, 150, 40),
       R"({"dimmed": true, "spotlight": [0, 292, 58, 348], "card": [16, 360, 336, 452]})"},
      {K::coachMark, CGRectMake(-50, -50, 500, 800),
       R"({"dimmed": true, "spotlight": [0, 0, 375, 667], "card": [39, 541, 359, 633]})"},
      {K::tooltip, CGRectMake(-50, -50, 500, 800), R"({"card": [39, 541, 359, 633]})"},
      // Below and above count only where the card lies wholly in the safe
      // area: not in the top inset, nor past the bottom one.
      {K::tooltip, CGRectMake(100, 0, 100, 20), R"({"card": [16, 47, 336, 139]})"},
      {K::coachMark, CGRectMake(100, 660, 100, 40),
       R"({"dimmed": true, "spotlight": [92, 652, 208, 667], "card": [16, 541, 336, 633]})"},
      // Side insets (a phone on its side) win over the 16-point margin.
      {K::tooltip, CGRectMake(0, 100, 40, 40), R"({"card": [44, 152, 364, 244], "tip": [60, 140]})",
       CGSizeMake(844, 390), UIEdgeInsets{0, 44, 21, 44}},
      // No target: centred and clamped, the coach mark dimming everything.
      {K::coachMark, std::nullopt, R"({"dimmed": true, "card": [27.5, 287.5, 347.5, 379.5]})"},
      {K::tooltip, std::nullopt, R"({"card": [27.5, 287.5, 347.5, 379.5]})"},
      // The nudge: a banner below the top inset, the whole width less 16 a
      // side; the target does not matter.
      {K::nudge, middle, R"({"card": [16, 55, 359, 147]})"},
      // The in-app message: dimmed, centred, 48 taller, "Close" 12 above
      // its bottom.
      {K::inApp, middle,
       R"({"dimmed": true, "card": [27.5, 263.5, 347.5, 403.5],
           "close": [137.5, 355.5, 237.5, 391.5]})"}};
  for (const Row& row : rows) {
    const ZRLPreviewPlacement p = place(row.kind, row.target, row.window, row.insets);
    EXPECT_EQ(summary(p), nlohmann::json::parse(row.expected)) << row.expected;
    const bool targeted = row.target && (row.kind == K::coachMark || row.kind == K::tooltip);
    EXPECT_EQ(p.target ? edges(*p.target) : std::vector<double>{},
              targeted ? edges(*row.target) : std::vector<double>{});
  }

  // The card's lines, and the arrow's base on the card's side of the gap.
  ZRLPreviewPlacement p = place(K::coachMark, middle);
  EXPECT_EQ(edges(p.title), (std::vector<double>{28, 372, 324, 394}));
  EXPECT_EQ(edges(p.text), (std::vector<double>{28, 400, 324, 440}));
  p = place(K::tooltip, middle);
  EXPECT_EQ(p.arrow->baseLeft, CGPointMake(142, 352));
  EXPECT_EQ(p.arrow->baseRight, CGPointMake(158, 352));
  EXPECT_EQ(place(K::tooltip, CGRectMake(100, 600, 100, 30)).arrow->baseLeft.y, 600 - 12);
  p = ZRLPreviewPlace(K::tooltip, CGSizeMake(375, 200), kInsets, std::nullopt, 2, 6);
  EXPECT_EQ(p.card.origin.y, 47) << "the top inset wins when the card does not fit";
  EXPECT_EQ(ZRLPreviewTextWidth(K::nudge, kPhone), 375 - 56);
  EXPECT_EQ(ZRLPreviewTextWidth(K::inApp, kPhone), 296);
}

TEST(ZRLPreviewContentTest, FieldsOfTheWrongTypeAreAbsentAndStringsAreBounded) {
  nlohmann::json config = nlohmann::json::parse(
      R"({"ui": {"display_type": "coach_mark", "view_id": 7, "title": ["a"], "text": "fine"}})");
  ZRLPreviewContent content = ZRLPreviewContent::fromConfiguration(config, true);
  EXPECT_EQ(content.displayType, "coach_mark");
  EXPECT_FALSE(content.viewId);
  EXPECT_FALSE(content.title);
  EXPECT_EQ(content.text, "fine");
  EXPECT_EQ(content.problems,
            "\"view_id\" is number, not a string; \"title\" is array, not a string");
  // A nudge or an in-app message needs no target.
  const auto problems = [](const nlohmann::json& refused, bool targeted) {
    return ZRLPreviewContent::fromConfiguration(refused, targeted).problems;
  };
  EXPECT_EQ(problems({{"ui", {{"title", "t"}, {"text", ""}}}}, false), "");
  EXPECT_EQ(problems({{"ui", "x"}}, true), "\"ui\" is string, not an object");
  EXPECT_EQ(problems(nlohmann::json::array(), true), "the configuration is array, not an object");
  EXPECT_EQ(problems({{"ui", nlohmann::json::object()}}, true),
            "\"view_id\" is missing; \"title\" is missing; \"text\" is missing");

  // Cut at 4,096 bytes, never inside a character; ill-formed bytes replaced
  // first.
  const std::string euro = "\xE2\x82\xAC";
  const std::string longTitle = std::string(4094, 'a') + euro + "tail";
  const std::string longId = "ZRL:" + std::string(5000, 'v') + ":0";
  const std::string fffd = "\xEF\xBF\xBD";
  config["ui"] = {
      {"title", longTitle}, {"text", "a\xFF" + std::string("b\xE2\x82")}, {"view_id", longId}};
  content = ZRLPreviewContent::fromConfiguration(config, true);
  EXPECT_EQ(content.title, std::string(4094, 'a'));
  EXPECT_EQ(content.text, "a" + fffd + "b" + fffd + fffd);
  EXPECT_EQ(content.viewId, longId.substr(0, 4096));
  EXPECT_EQ(ZRLPreviewShownText(std::string(4093, 'a') + euro), std::string(4093, 'a') + euro);
  EXPECT_EQ(ZRLPreviewShownText(std::string(5000, '\xFF')).size(), 4095U);
}

// The app's grey (128), and the same under black at 60% (51).
constexpr uint8_t kApp = 128;
constexpr uint8_t kDimmedApp = 51;

// A 375 x 667 key window with a grey root view holding a white target, and
// the previews that the builders draw in it.
class PreviewDrawingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousInsets_ = UIScreen::mainScreen()->safeAreaInsets();
    UIScreen::mainScreen()->setSafeAreaInsets(kInsets);
    window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, kPhone.width, kPhone.height));
    auto root = std::make_shared<UIView>(window_->bounds());
    root->setBackgroundColor(UIColor::colorWithRed(kApp / 255.0, kApp / 255.0, kApp / 255.0, 1));
    target_ = std::make_shared<UIView>(CGRectMake(100, 300, 100, 40));
    target_->setAccessibilityIdentifier("Login");
    target_->setBackgroundColor(UIColor::whiteColor());
    root->addSubview(target_);
    window_->setRootView(root);
    window_->makeKeyAndVisible();
    ZRLPreviewPresenter::setTimer([this](double seconds, std::function<void()> fire) {
      timers_.emplace_back(seconds, std::move(fire));
    });
  }
  void TearDown() override {
    DispatchMainLoop::drain();
    ZRLPreviewPresenter::dismiss();
    ZRLPreviewPresenter::setTimer({});
    UIScreen::mainScreen()->setSafeAreaInsets(previousInsets_);
    for (auto* builder : std::initializer_list<ZRLPreviewBuilder*>{
             ZRLCoachMarkHelper::sharedHelper().get(), ZRLTooltipBuilder::sharedBuilder().get(),
             ZRLNudgeHelper::sharedHelper().get(), ZRLInapp::sharedInstance().get()})
      builder->resetConfigurations();
  }

  static nlohmann::json config(const std::string& type, std::optional<std::string> viewId) {
    nlohmann::json ui = {{"display_type", type}, {"title", "Log in"}, {"text", "Tap to sign in"}};
    if (viewId) ui["view_id"] = *viewId;
    return {{"ui", ui}};
  }

  UIImagePtr render() const {
    UIGraphicsBeginImageContextWithOptions(kPhone, false, 1);
    window_->layer().renderInContext(UIGraphicsGetCurrentContext());
    UIImagePtr image = UIGraphicsGetImageFromCurrentImageContext();
    UIGraphicsEndImageContext();
    return image;
  }

  static void tap(CGPoint point) {
    UIApplication::sharedApplication().sendTouchBegan(point);
    UIApplication::sharedApplication().sendTouchEnded(point);
  }

  std::shared_ptr<UIWindow> window_;
  UIViewPtr target_;
  std::vector<std::pair<double, std::function<void()>>> timers_;
  UIEdgeInsets previousInsets_;
};

uint8_t grey(const UIImagePtr& image, CGFloat x, CGFloat y) {
  return image->pixelAt(static_cast<int>(x), static_cast<int>(y)).value_or(UIImagePixel{}).green;
}

TEST_F(PreviewDrawingTest, EachPreviewDrawsTakesItsTouchesAndReplacesTheLast) {
  // Called from a background queue, as the preview channel does: nothing
  // changes until the main queue runs.
  std::thread([] {
    ZRLCoachMarkHelper::sharedHelper()->buildAndShowCoachMarkWithUIConfig(
        config("coach_mark", "ZRL:Login:0"));
  }).join();
  EXPECT_FALSE(ZRLPreviewPresenter::shown());
  DispatchMainLoop::drain();
  auto shown = ZRLPreviewPresenter::shown();
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->kind, ZRLPreviewKind::coachMark);
  EXPECT_EQ(edges(*shown->placement.target), edges(target_->frame()));
  // One line of title, one of text.
  EXPECT_EQ(shown->placement.card.size.height, 22 + 6 + 20 + 24);

  const UIImagePtr image = render();
  EXPECT_EQ(grey(image, 5, 5), kDimmedApp);
  // (zrl-sim's run tests check the spotlight's and the card's pixels.)
  const CGRect title = shown->placement.title;
  int dark = 0;
  for (int x = 0; x < 60; ++x) {
    for (int y = 0; y < 22; ++y)
      dark += grey(image, title.origin.x + x, title.origin.y + y) < 100 ? 1 : 0;
  }
  EXPECT_GT(dark, 20) << "the title's letters";

  tap(CGPointMake(5, 600));
  EXPECT_FALSE(ZRLPreviewPresenter::shown());
  EXPECT_EQ(grey(render(), 5, 5), kApp);

  // A nudge dims nothing and leaves on its timer.
  ZRLNudgeHelper::sharedHelper()->buildAndShowNudgeWithUIConfig(config("passive_nudge", {}));
  DispatchMainLoop::drain();
  ASSERT_EQ(timers_.size(), 1U);
  EXPECT_EQ(timers_[0].first, 4.0);
  EXPECT_EQ(ZRLPreviewPresenter::shown()->kind, ZRLPreviewKind::nudge);
  EXPECT_EQ(grey(render(), 5, 300), kApp) << "a nudge dims nothing";
  timers_[0].second();
  EXPECT_FALSE(ZRLPreviewPresenter::shown());

  // A tooltip replaces a nudge, whose timer then leaves the tooltip alone;
  // only the tooltip's card and arrow take touches.
  ZRLNudgeHelper::sharedHelper()->buildAndShowNudgeWithUIConfig(config("passive_nudge", {}));
  ZRLTooltipBuilder::sharedBuilder()->buildAndShowInlineActionWithUIConfig(
      config("inline", "ZRL:Login:0"));
  DispatchMainLoop::drain();
  ASSERT_EQ(timers_.size(), 2U);
  timers_[1].second();
  shown = ZRLPreviewPresenter::shown();
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->kind, ZRLPreviewKind::tooltip);
  EXPECT_EQ(std::ranges::count(window_->subviews(), ZRLPreviewViewTag, &UIView::tag), 1);
  const UIImagePtr withTooltip = render();
  EXPECT_EQ(grey(withTooltip, 5, 5), kApp);
  EXPECT_EQ(grey(withTooltip, 150, 345), 255) << "the arrow";
  tap(CGPointMake(5, 5));
  EXPECT_TRUE(ZRLPreviewPresenter::shown()) << "a touch beside a tooltip is the app's";
  tap(CGPointMake(150, 345));
  EXPECT_FALSE(ZRLPreviewPresenter::shown());

  // The in-app message: dimmed, closed by its button.
  ZRLInapp::sharedInstance()->buildAndShowInAppWithUIConfig(config("banner", {}));
  DispatchMainLoop::drain();
  shown = ZRLPreviewPresenter::shown();
  ASSERT_TRUE(shown && shown->placement.closeButton);
  EXPECT_EQ(grey(render(), 5, 5), kDimmedApp);
  const CGRect close = *shown->placement.closeButton;
  tap(CGPointMake(close.origin.x + 50, close.origin.y + 18));
  EXPECT_FALSE(ZRLPreviewPresenter::shown());
}

TEST_F(PreviewDrawingTest, BuildersKeepTheirLatestConfigurationsAndLogWhatTheyCannotDraw) {
  using namespace std::chrono_literals;
  const auto builder = ZRLInapp::sharedInstance();
  constexpr size_t kKept = ZRLPreviewBuilder::kKeptConfigurations;
  for (size_t i = 0; i < kKept + 8; ++i) {
    nlohmann::json numbered = config("banner", {});
    numbered["n"] = i;
    builder->buildAndShowInAppWithUIConfig(numbered);
  }
  const auto kept = builder->configurations();
  ASSERT_EQ(kept.size(), kKept);
  EXPECT_EQ(kept.front()["n"], 8);
  EXPECT_EQ(kept.back()["n"], kKept + 7);
  EXPECT_EQ(builder->configurationCount(), kKept + 8);
  EXPECT_TRUE(builder->waitForConfigurations(kKept + 8, 0ms));
  EXPECT_FALSE(builder->waitForConfigurations(kKept + 9, 0ms));
  builder->resetConfigurations();
  EXPECT_EQ(builder->configurationCount(), 0U);

  // Missing targets and configurations are logged and never fatal.
  NSLogCapture log;
  ZRLCoachMarkHelper::sharedHelper()->buildAndShowCoachMarkWithUIConfig(
      config("coach_mark", "ZRL:Gone:3"));
  DispatchMainLoop::drain();
  auto shown = ZRLPreviewPresenter::shown();
  ASSERT_TRUE(shown);
  EXPECT_FALSE(shown->placement.target || shown->placement.spotlight);
  EXPECT_EQ(log.count("coach_mark preview: no view on screen has the identifier ZRL:Gone:3"), 1U);

  // Data that was not JSON: the in-app builder draws nothing, says so, and
  // leaves the preview on screen.
  builder->buildAndShowInAppWithUIConfig(std::nullopt);
  DispatchMainLoop::drain();
  EXPECT_EQ(log.count("in_app preview without a configuration: nothing is drawn"), 1U);
  EXPECT_EQ(ZRLPreviewPresenter::shown()->kind, ZRLPreviewKind::coachMark);
  EXPECT_EQ(builder->configurations(), std::vector{nlohmann::json()});
  // (zrl-sim's run tests send a configuration 100,000 levels deep and a
  // million elements wide through the builders.)
}

}  // namespace
