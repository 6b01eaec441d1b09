// The simulator's window in process, on SDL's display-less video driver:
// its size for a screen, the mouse as the finger, the frames it shows of a
// run at the window's scale, and the docking animation drawn over its
// duration while the model is final at once. Without a display the program
// says so.

#include <SDL.h>
#include <cairo.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Tools/zrl-sim/ZRLSimRun.h"
#include "Tools/zrl-sim/ZRLSimWindow.h"
#include "Tools/zrl-sim/ZRLSimWindowLoop.h"
#include "ZRLWYSIWYGPlugin/ZRLFloatingButton.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#include "tests/Tools/zrl-sim/SimTestSupport.h"

namespace {

using Phase = ZRLSimTouchPhase;

TEST(ZRLSimWindowGeometryTest, ScaleAndMouseMapping) {
  struct Case {
    CGSize screen;
    CGFloat scale;
    std::optional<CGSize> display;
    CGFloat pixelsPerPoint;
    int width, height;  // 0: not checked
  };
  const double nan = std::nan("");
  // The screen's own scale when it fits, never raised; on a small display
  // the largest step of 1/8 that fits; scales that are not positive
  // numbers count as 1.
  const std::vector<Case> cases = {
      {CGSizeMake(390, 844), 3, std::nullopt, 3, 1170, 2532},
      {CGSizeMake(375, 667), 2, CGSizeMake(4000, 4000), 2, 750, 1334},
      {CGSizeMake(390, 844), 3, CGSizeMake(1920, 1032), 1.125, 439, 950},
      {CGSizeMake(100, 100), 0, std::nullopt, 1, 100, 100},
      {CGSizeMake(100, 100), -2, std::nullopt, 1, 100, 100},
      {CGSizeMake(100, 100), nan, std::nullopt, 1, 100, 100},
  };
  for (const Case& c : cases) {
    const auto geometry = ZRLSimWindowGeometry::make(c.screen, c.scale, c.display);
    EXPECT_EQ(geometry.pixelsPerPoint, c.pixelsPerPoint) << c.scale;
    EXPECT_EQ(geometry.pixelWidth, c.width) << c.scale;
    EXPECT_EQ(geometry.pixelHeight, c.height) << c.scale;
  }
  // A display smaller than one step still gets a window that fits.
  const auto tiny = ZRLSimWindowGeometry::make(CGSizeMake(390, 844), 3, CGSizeMake(10, 10));
  EXPECT_GT(tiny.pixelsPerPoint, 0);
  EXPECT_LE(tiny.pixelWidth, 10);
  EXPECT_LE(tiny.pixelHeight, 10);

  // A pixel is its coordinates over the scale, held on the glass.
  const auto two = ZRLSimWindowGeometry::make(CGSizeMake(375, 667), 2, std::nullopt);
  EXPECT_EQ(two.pointForPixel(70, 101), CGPointMake(35, 50.5));
  EXPECT_EQ(two.pointForPixel(-5, 5000), CGPointMake(0, 667));
  EXPECT_EQ(two.pointForPixel(749, 1333), CGPointMake(374.5, 666.5));
  const auto capped = ZRLSimWindowGeometry::make(CGSizeMake(390, 844), 3, CGSizeMake(1920, 1032));
  EXPECT_EQ(capped.pointForPixel(9, 18), CGPointMake(8, 16));
}

// The mouse on SDL's dummy video driver, which needs no display, in the
// cases that the loop's and the X server's drags do not make: other
// buttons, a release that the window never saw, a lost focus, and the
// close button while the finger is down.
TEST(ZRLSimWindowTest, TheMouseIsTheFingerWhenReleasesGoAstray) {
  ::setenv("SDL_VIDEODRIVER", "dummy", 1);  // NOLINT(concurrency-mt-unsafe)
  std::string error;
  auto window = ZRLSimWindow::open(CGSizeMake(200, 300), 2, "zrl-sim test", error);
  ASSERT_NE(window, nullptr) << error;
  const auto push = [](SDL_Event event) { ASSERT_EQ(SDL_PushEvent(&event), 1) << SDL_GetError(); };
  const auto button = [&](Uint32 type, int x, int y, Uint8 which = SDL_BUTTON_LEFT) {
    SDL_Event event{};
    event.type = type;
    event.button.button = which;
    event.button.x = x;
    event.button.y = y;
    push(event);
  };
  const auto motion = [&](int x, int y, Uint32 state) {
    SDL_Event event{};
    event.type = SDL_MOUSEMOTION;
    event.motion.x = x;
    event.motion.y = y;
    event.motion.state = state;
    push(event);
  };
  const auto windowEvent = [&](Uint8 what) {
    SDL_Event event{};
    event.type = SDL_WINDOWEVENT;
    event.window.event = what;
    push(event);
  };
  const auto touches = [&] { return window->poll(std::chrono::milliseconds(0)).touches; };

  // Motion without a press, and other buttons, touch nothing.
  motion(10, 10, 0);
  button(SDL_MOUSEBUTTONDOWN, 10, 10, SDL_BUTTON_RIGHT);
  button(SDL_MOUSEBUTTONUP, 10, 10, SDL_BUTTON_RIGHT);
  EXPECT_TRUE(touches().empty());

  // A release that the window never saw ends the touch at the next motion.
  button(SDL_MOUSEBUTTONDOWN, 20, 20);
  motion(30, 30, 0);
  motion(40, 40, SDL_BUTTON_LMASK);
  EXPECT_EQ(touches(),
            (std::vector<ZRLSimTouch>{{Phase::began, {10, 10}}, {Phase::ended, {15, 15}}}));

  // Losing the focus cancels the touch where the finger was.
  button(SDL_MOUSEBUTTONDOWN, 20, 20);
  motion(24, 28, SDL_BUTTON_LMASK);
  windowEvent(SDL_WINDOWEVENT_FOCUS_LOST);
  button(SDL_MOUSEBUTTONUP, 24, 28);
  EXPECT_EQ(touches(),
            (std::vector<ZRLSimTouch>{
                {Phase::began, {10, 10}}, {Phase::moved, {12, 14}}, {Phase::cancelled, {12, 14}}}));

  // The close button ends the run; a touch still down is cancelled first.
  button(SDL_MOUSEBUTTONDOWN, 2, 4);
  EXPECT_EQ(touches().size(), 1U);
  windowEvent(SDL_WINDOWEVENT_CLOSE);
  const ZRLSimWindowEvents closing = window->poll(std::chrono::milliseconds(0));
  EXPECT_TRUE(closing.closeRequested);
  EXPECT_EQ(closing.touches, (std::vector<ZRLSimTouch>{{Phase::cancelled, {1, 2}}}));
  window.reset();
  ::unsetenv("SDL_VIDEODRIVER");  // NOLINT(concurrency-mt-unsafe)
}

TEST(ZRLSimWindowLoopTest, DrawsTheRunAndTheDockingAnimation) {
  const TemporaryDirectory directory;
  const std::filesystem::path folder = directory.path();
  const auto scene = folder / "small.json";
  std::ofstream(scene) << R"({"screen": {"width": 300, "height": 330, "scale": 2},
    "initial": "Home", "screens": {"Home": {"class": "UIView", "frame": [0, 0, 300, 330],
    "backgroundColor": "#f4f5f7", "subviews": [{"class": "UILabel", "frame": [20, 40, 200, 30],
    "text": "Home", "textColor": "#1f4e8c", "fontSize": 20}]}}})";
  ZRLSimRunOptions options;
  options.scenePath = scene.string();
  options.defaultsPath = (folder / "defaults.plist").string();
  options.dashboardHost = "127.0.0.1:1";
  options.safeTop = 20;
  int status = 0;
  std::string error;
  const std::unique_ptr<ZRLSimRun> run = ZRLSimRun::start(options, &status, &error);
  ASSERT_NE(run, nullptr) << error;

  ::setenv("SDL_VIDEODRIVER", "dummy", 1);  // NOLINT(concurrency-mt-unsafe)
  std::unique_ptr<ZRLSimWindow> window =
      ZRLSimWindow::open(run->screenSize(), 2, "zrl-sim test", error);
  ASSERT_NE(window, nullptr) << error;
  ASSERT_EQ(window->geometry().pixelsPerPoint, 2);
  auto now = std::chrono::steady_clock::now();
  {
    ZRLSimWindowLoop loop(*run, *window, [&] { return now; });
    const auto showsRender = [&] {
      const UIImagePtr image = run->render(2);
      const auto* pixels = cairo_image_surface_get_data(image->cairoSurface());
      constexpr size_t kBytes = size_t{600} * 660 * 4;
      return image->pixelWidth() == 600 && image->pixelHeight() == 660 &&
             window->shownPixels().size() == kBytes &&
             std::memcmp(window->shownPixels().data(), pixels, kBytes) == 0;
    };
    EXPECT_TRUE(loop.draw());
    EXPECT_TRUE(showsRender());
    EXPECT_FALSE(loop.draw()) << "nothing changed";

    // A drag (the X server's test drags with the mouse) dropped at
    // (140, 160).
    const auto button = ZRLWYSIWYGPlugin::sharedInstance()->zrlButton();
    const CGPoint start = button->center();
    const unsigned long animations = UIView::lastAnimation().count;
    EXPECT_TRUE(loop.execute("drag " + std::to_string(start.x) + " " + std::to_string(start.y) +
                             " 140 160"));
    ASSERT_EQ(UIView::lastAnimation().count, animations + 1);
    // The model is final at once: docked 10 points from the left edge.
    const CGRect docked = button->frame();
    EXPECT_EQ(button->center(), CGPointMake(35, 160));
    EXPECT_TRUE(loop.animating());

    // Half-way through the 0.3 s, the button is drawn half-way (eased)
    // from where it was dropped to where it docks, then put back.
    now += std::chrono::milliseconds(150);
    EXPECT_TRUE(loop.draw());
    EXPECT_EQ(button->frame(), docked);
    button->setFrame(ZRLSimWindowLoop::interpolate(CGRectMake(115, 135, 50, 50), docked, 0.5));
    EXPECT_TRUE(showsRender());
    button->setFrame(docked);
    EXPECT_FALSE(showsRender());
    EXPECT_FALSE(loop.draw()) << "frames come at most every 16 ms";

    // After the duration the last frame is the final state, and the loop
    // draws no more.
    now += std::chrono::milliseconds(200);
    EXPECT_FALSE(loop.animating());
    EXPECT_TRUE(loop.draw());
    EXPECT_TRUE(showsRender());
    EXPECT_FALSE(loop.draw());

    // A command redraws; the close button asks the run to end.
    EXPECT_TRUE(loop.execute("screen Home"));
    EXPECT_FALSE(loop.execute("quit"));
    SDL_Event close{};
    close.type = SDL_WINDOWEVENT;
    close.window.event = SDL_WINDOWEVENT_CLOSE;
    ASSERT_EQ(SDL_PushEvent(&close), 1);
    loop.turn(std::chrono::milliseconds(0));
    EXPECT_TRUE(loop.closeRequested());
  }
  window.reset();
  ::unsetenv("SDL_VIDEODRIVER");  // NOLINT(concurrency-mt-unsafe)
  run->finish();
}

// Without a display, or with one that is not there (SDL's fallback that
// shows nothing is no window either), the program says so and starts
// nothing.
TEST(ZRLSimWindowProgramTest, WithoutADisplayItSaysSoAndExitsTwo) {
  // Only this process's environment changes, before the children start.
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"})
    ::unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
  const std::vector<std::string> run{ZRL_SIM_PATH,         "run",         "--window",   "--scene",
                                     sampleScene("login"), "--dashboard", "127.0.0.1:1"};
  ChildProcess none(run);
  EXPECT_EQ(none.wait(), 2);
  const std::string error = none.errorOutput();
  EXPECT_NE(error.find("zrl-sim: --window: no display to open a window on (DISPLAY is not set)"),
            std::string::npos)
      << error;
  EXPECT_EQ(error.find("Initialized"), std::string::npos) << "the plug-in never started";

  std::vector<std::string> absent{"/usr/bin/env", "DISPLAY=:65000"};
  absent.insert(absent.end(), run.begin(), run.end());
  ChildProcess gone(absent);
  EXPECT_EQ(gone.wait(), 2);
  EXPECT_NE(gone.errorOutput().find("zrl-sim: --window: no display"), std::string::npos)
      << gone.errorOutput();
}

}  // namespace
