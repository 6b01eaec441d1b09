// The overlay: its window and menu, the routing of touches, the menu's
// placement, docking and dragging, and the test-device button with its
// stored flag.

#include <set>

#include "Platform/Foundation/NSUserDefaults.h"
#include "ZRLWYSIWYGPlugin/ZRLFloatingButton.h"
#include "tests/Platform/NetTestSupport.h"
#include "tests/ZRLWYSIWYGPlugin/PluginTestSupport.h"

using namespace std::chrono_literals;

namespace {

// An app window with one full-screen button below the overlay, on a
// 375 x 667 screen with a top safe-area inset of 20 and a bottom one of 34
// (the docking keeps its own bottom margin of 20, never the inset).
class FloatingButtonTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    NSUserDefaults::setStandardUserDefaultsPath(defaults_);
    screen_->setBounds(CGRectMake(0, 0, 375, 667));
    screen_->setSafeAreaInsets(UIEdgeInsets{20, 0, 34, 0});
    appButton_->addAction([this](const UIButtonPtr&) { ++appTaps_; }, UIControlEventTouchUpInside);
    appWindow_->setRootView(appButton_);
    appWindow_->makeKeyAndVisible();
    button_ = makeButton();
  }

  void TearDown() override {
    // The buttons and their windows keep each other: a finished test parts them.
    for (const auto& button : made_) {
      button->overlayWindow()->setHidden(true);
      button->overlayWindow()->setButton(nullptr);
    }
    made_.clear();
    DispatchMainLoop::drain();
    PluginTest::TearDown();
    screen_->setBounds(savedBounds_);
    screen_->setSafeAreaInsets(savedInsets_);
  }

  std::shared_ptr<ZRLFloatingButton> makeButton() {
    auto button = ZRLFloatingButton::make();
    made_.push_back(button);
    return button;
  }
  static void tap(CGPoint point) {
    UIApplication& app = UIApplication::sharedApplication();
    app.sendTouchBegan(point);
    app.sendTouchEnded(point);
  }

  TemporaryDirectory folder_;
  const std::string defaults_ = folder_.path() + "/defaults.json";
  std::shared_ptr<UIScreen> screen_ = UIScreen::mainScreen();
  const CGRect savedBounds_ = screen_->bounds();
  const UIEdgeInsets savedInsets_ = screen_->safeAreaInsets();
  std::shared_ptr<UIWindow> appWindow_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  std::shared_ptr<UIButton> appButton_ = std::make_shared<UIButton>(CGRectMake(0, 0, 375, 667));
  int appTaps_ = 0;
  std::vector<std::shared_ptr<ZRLFloatingButton>> made_;
  std::shared_ptr<ZRLFloatingButton> button_;  // the first one, made after the app's window
};

// (zrl-sim's run test sees the button's frame below the inset and the
// menu's frames, measured on the longer title, in its dump.)
TEST_F(FloatingButtonTest, CreationBuildsTheOverlayWithAHiddenMenu) {
  auto window = button_->overlayWindow();
  EXPECT_FALSE(window->isHidden());
  EXPECT_EQ(window->windowLevel(), std::numeric_limits<CGFloat>::max());
  EXPECT_EQ(window->subviews(),
            (std::vector<UIViewPtr>{button_, button_->selectScreen(), button_->addTestDevice()}));
  EXPECT_TRUE(button_->buttonsHidden());
  EXPECT_NE(button_->backgroundImageForState(UIControlStateNormal), nullptr) << "zrl_icon";
  // The measure: 18-point titles, at most 0.66 of the window's width,
  // rounded up to whole points (on a full window: zrl-sim's run test sees
  // the menu's frames).
  const auto narrow = std::make_shared<UIView>(CGRectMake(0, 0, 270, 667));
  EXPECT_EQ(ZRLFloatingButton::getBoundingRectSizeForText("Remove Test Device", narrow),
            CGSizeMake(115, 42))
      << "wrapped within 178.2 points, though 182 would fit on 0.68 of it";
  EXPECT_EQ(ZRLFloatingButton::getBoundingRectSizeForText(std::nullopt, window), CGSizeMake(0, 0));
  // The overlay never takes key status from the app.
  window->makeKeyWindow();
  EXPECT_EQ(UIApplication::sharedApplication().keyWindow(), appWindow_);
}

TEST_F(FloatingButtonTest, TouchesReachTheOverlayOnlyOnVisibleControls) {
  // Menu closed: where the action buttons would be, the app gets the tap
  // (and "Select Screen" does not, or its next tap would not turn it green).
  button_->positionButtons();
  tap(button_->selectScreen()->center());
  // The floating button takes its own tap and opens the menu.
  tap(button_->center());
  EXPECT_FALSE(button_->buttonsHidden());
  // Menu open: each action button takes its tap (so neither is hidden), the
  // rest passes through: the app has seen two taps, this one and the first.
  tap(button_->selectScreen()->center());
  EXPECT_TRUE(button_->isSelectScreenButtonGreenColor());
  tap(CGPointMake(300, 600));
  EXPECT_EQ(appTaps_, 2);
  tap(button_->addTestDevice()->center());
  EXPECT_TRUE(button_->isTestDevice());
  // A second tap closes the menu; both action buttons hide together.
  tap(button_->center());
  EXPECT_TRUE(button_->buttonsHidden());
  EXPECT_TRUE(button_->selectScreen()->isHidden());
  EXPECT_TRUE(button_->addTestDevice()->isHidden());

  // Unset controls claim nothing.
  auto bare = ZRLFloatingButtonWindow::make();
  EXPECT_FALSE(bare->pointInside(CGPointMake(35, 45), nullptr));
  bare->setAtdButton(button_->addTestDevice());
  button_->addTestDevice()->setHidden(false);
  EXPECT_TRUE(bare->pointInside(button_->addTestDevice()->center(), nullptr));
  EXPECT_FALSE(bare->pointInside(CGPointMake(35, 45), nullptr));
  bare->setHidden(true);
}

TEST_F(FloatingButtonTest, MenuPlacementFollowsTheSidesAndHalves) {
  button_->selectScreen()->setFrame(CGRectMake(0, 0, 120, 32));
  button_->addTestDevice()->setFrame(CGRectMake(0, 0, 170, 32));
  const auto place = [&](CGPoint centre) {
    button_->setCenter(centre);
    button_->positionButtons();
    return std::pair{button_->selectScreen()->center(), button_->addTestDevice()->center()};
  };
  EXPECT_EQ(place({35, 100}), std::pair(CGPointMake(70, 156), CGPointMake(95, 203)));
  EXPECT_EQ(place({340, 600}), std::pair(CGPointMake(305, 544), CGPointMake(280, 497)));
  // Left side, lower half; right side, upper half.
  EXPECT_EQ(place({35, 600}), std::pair(CGPointMake(70, 544), CGPointMake(95, 497)));
  EXPECT_EQ(place({340, 100}), std::pair(CGPointMake(305, 156), CGPointMake(280, 203)));
  // 187.9 truncates to 187 < 187.5: the left side when placing.
  EXPECT_EQ(place({187.9, 100}).first.x, 222);
  // Exact middle lines (an even screen): trunc(x) == W/2 is the right side,
  // y == H/2 opens upward.
  button_->overlayWindow()->setFrame(CGRectMake(0, 0, 376, 668));
  EXPECT_EQ(place({188.6, 334}), std::pair(CGPointMake(153, 278), CGPointMake(128, 231)));

  // Opening the menu places it first, from where the button is now.
  button_->overlayWindow()->setFrame(CGRectMake(0, 0, 375, 667));
  button_->setCenter(CGPointMake(35, 100));
  tap(button_->center());
  ASSERT_FALSE(button_->buttonsHidden());
  EXPECT_EQ(button_->selectScreen()->center(), CGPointMake(70, 156));
  EXPECT_EQ(button_->addTestDevice()->center(), CGPointMake(95, 203));
}

TEST_F(FloatingButtonTest, DockingTableAndReach) {
  const auto dock = [&](CGPoint centre) {
    button_->setCenter(centre);
    button_->dockButton();
    return button_->center();
  };
  EXPECT_EQ(dock({100.7, 300.4}), CGPointMake(35, 300));
  EXPECT_EQ(dock({200, 30.9}), CGPointMake(340, 75));
  EXPECT_EQ(dock({50, 660.5}), CGPointMake(35, 615));
  EXPECT_EQ(dock({187.5, 400}), CGPointMake(340, 400));
  EXPECT_EQ(dock({187.9, 400}), CGPointMake(340, 400));
  // Bottom edge exactly at the height: the bottom test does not fire.
  EXPECT_EQ(dock({50, 642}), CGPointMake(35, 642));
  // Far above or below the screen: still docked within reach.
  EXPECT_EQ(dock({50, -500}), CGPointMake(35, 45));
  EXPECT_EQ(dock({50, 2000}), CGPointMake(35, 622));
  // Those two limits are whole points like the rest of the docking.
  screen_->setSafeAreaInsets(UIEdgeInsets{20.6, 0, 34, 0});
  button_ = makeButton();
  button_->overlayWindow()->setFrame(CGRectMake(0, 0, 375, 667.5));
  EXPECT_EQ(dock({50, -500}), CGPointMake(35, 45));
  EXPECT_EQ(dock({50, 2000}), CGPointMake(35, 622));
}

TEST_F(FloatingButtonTest, DragsMoveExactlyAndDockOnRelease) {
  const CGPoint start = button_->center();  // (35, 45)
  // Follow the finger exactly until release: the first small moves, below
  // the distance at which a pan is recognised, are not lost.
  UIApplication& app = UIApplication::sharedApplication();
  app.sendTouchBegan(start);
  app.sendTouchMoved(CGPointMake(start.x + 1, start.y + 0.5));
  app.sendTouchMoved(CGPointMake(start.x + 2, start.y + 1));
  for (int i = 1; i <= 7; ++i)
    app.sendTouchMoved(CGPointMake(start.x + 3 * i, start.y + 40.5 * i));
  EXPECT_EQ(button_->center(), CGPointMake(start.x + 21, start.y + 283.5));
  app.sendTouchEnded(CGPointMake(start.x + 21, start.y + 283.5));
  EXPECT_EQ(button_->center(), CGPointMake(35, 328));  // (animated: zrl-sim's window loop test)
  // A drag never also taps: the menu stayed closed.
  EXPECT_TRUE(button_->buttonsHidden());

  // While the menu is open a drag neither moves nor docks the button. (A
  // cancelled drag docks: zrl-sim's run tests.)
  tap(button_->center());
  ASSERT_FALSE(button_->buttonsHidden());
  app.sendTouchBegan(button_->center());
  for (const CGFloat y : {200.0, 300.0, 500.0})
    app.sendTouchMoved(CGPointMake(100, y));
  app.sendTouchEnded(CGPointMake(100, 500));
  EXPECT_EQ(button_->center(), CGPointMake(35, 328));
  EXPECT_EQ(appTaps_, 0);
}

TEST_F(FloatingButtonTest, TestDeviceTitlesColoursAndStoredFlag) {
  const UIButtonPtr atd = button_->addTestDevice();
  const CGSize size = atd->frame().size;
  for (const bool registered : {true, false}) {
    button_->setTitleForTestDeviceButton();
    EXPECT_EQ(button_->isTestDevice(), registered);
    EXPECT_EQ(atd->currentTitle(), registered ? "Remove Test Device" : "Add Test Device");
    EXPECT_EQ(*atd->backgroundColor(),
              registered ? *UIColor::greenColor() : *UIColor::orangeColor());
    EXPECT_EQ(*atd->currentTitleColor(), *UIColor::blackColor());
    EXPECT_EQ(atd->frame().size, size);
  }
  ASSERT_TRUE(controller_->waitForRequests(2));
  // The add is built on a background queue, so the two may arrive in
  // either order.
  std::multiset<std::string> methods;
  for (const auto& request : controller_->requests())
    methods.insert(request.method);
  EXPECT_EQ(methods, (std::multiset<std::string>{"DELETE", "POST"}));

  // "Select Screen" goes green, orange, green.
  for (bool green : {true, false, true}) {
    button_->selectScreenButtonTapped(button_->selectScreen());
    EXPECT_EQ(*button_->selectScreen()->backgroundColor(),
              green ? *UIColor::greenColor() : *UIColor::orangeColor());
  }

  // Only a type-0 "BACKGROUND" event stores the flag (the next test, and
  // zrl-sim's run tests, see one that does).
  button_->setTitleForTestDeviceButton();
  button_->onEvent(std::make_shared<ZRLEvent>(0, "FOREGROUND"));
  button_->onEvent(std::make_shared<ZRLEvent>(1, "BACKGROUND"));
  EXPECT_FALSE(ZRLFloatingButton::getTestDeviceStatus());
}

TEST_F(FloatingButtonTest, AFailedRequestIsUndoneUnlessALaterTapChangedTheState) {
  const UIButtonPtr atd = button_->addTestDevice();
  controller_->setReply(ScriptedReply{500, nullptr});
  button_->setTitleForTestDeviceButton();
  EXPECT_TRUE(button_->isTestDevice());
  ASSERT_TRUE(DispatchMainLoop::runUntil([&] { return !button_->isTestDevice(); }, 10s));
  EXPECT_EQ(atd->currentTitle(), "Add Test Device");
  EXPECT_EQ(*atd->backgroundColor(), *UIColor::orangeColor());

  // Two quick taps: the first failure finds a later tap and changes nothing;
  // the second's failure puts back what the first tap showed.
  button_->setTitleForTestDeviceButton();
  button_->setTitleForTestDeviceButton();
  ASSERT_TRUE(controller_->waitForRequests(3));
  controller_->waitForReplies();
  ASSERT_TRUE(DispatchMainLoop::runUntil([&] { return button_->isTestDevice(); }, 10s));
  EXPECT_EQ(atd->currentTitle(), "Remove Test Device");
  EXPECT_EQ(*atd->backgroundColor(), *UIColor::greenColor());

  // The app goes to the background between a tap and its failure: the flag
  // it stored is the one that the failure undoes, so it is stored again.
  controller_->waitForReplies();
  button_->setTitleForTestDeviceButton();
  ASSERT_FALSE(button_->isTestDevice());
  controller_->postEvent(std::make_shared<ZRLEvent>(0, "BACKGROUND"));
  controller_->waitUntilEventsDelivered();
  ASSERT_TRUE(DispatchMainLoop::runUntil([&] { return button_->isTestDevice(); }, 10s));
  // A restart: the store is read anew from its file.
  NSUserDefaults::setStandardUserDefaultsPath(defaults_);
  EXPECT_TRUE(ZRLFloatingButton::getTestDeviceStatus());
  EXPECT_TRUE(makeButton()->isTestDevice());
}

}  // namespace
