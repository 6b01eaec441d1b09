// The simulator's window in process, on SDL's display-less video driver:
// its size for a screen, the mouse as the finger, and the frames it shows.

#include <SDL.h>
#include <cairo.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Tools/zrl-sim/ZRLSimWindow.h"

namespace {

using Phase = ZRLSimTouchPhase;

TEST(ZRLSimWindowGeometryTest, ScaleAndMouseMapping) {
  // The screen's own scale when it fits; never raised.
  const auto full = ZRLSimWindowGeometry::make(CGSizeMake(390, 844), 3, std::nullopt);
  EXPECT_EQ(full.pixelsPerPoint, 3);
  EXPECT_EQ(full.pixelWidth, 1170);
  EXPECT_EQ(full.pixelHeight, 2532);
  EXPECT_EQ(
      ZRLSimWindowGeometry::make(CGSizeMake(375, 667), 2, CGSizeMake(4000, 4000)).pixelsPerPoint,
      2);
  // A tall screen on a small display comes down to a step of 1/8 that fits.
  const auto capped = ZRLSimWindowGeometry::make(CGSizeMake(390, 844), 3, CGSizeMake(1920, 1032));
  EXPECT_EQ(capped.pixelsPerPoint, 1.125);
  EXPECT_EQ(capped.pixelWidth, 439);
  EXPECT_EQ(capped.pixelHeight, 950);
  // A display smaller than one step still gets a window that fits.
  const auto tiny = ZRLSimWindowGeometry::make(CGSizeMake(390, 844), 3, CGSizeMake(10, 10));
  EXPECT_GT(tiny.pixelsPerPoint, 0);
  EXPECT_LE(tiny.pixelWidth, 10);
  EXPECT_LE(tiny.pixelHeight, 10);
  // Scales that are not positive numbers count as 1.
  EXPECT_EQ(ZRLSimWindowGeometry::make(CGSizeMake(100, 100), 0, std::nullopt).pixelsPerPoint, 1);
  EXPECT_EQ(ZRLSimWindowGeometry::make(CGSizeMake(100, 100), -2, std::nullopt).pixelsPerPoint, 1);
  EXPECT_EQ(
      ZRLSimWindowGeometry::make(CGSizeMake(100, 100), std::nan(""), std::nullopt).pixelsPerPoint,
      1);

  // A pixel is its coordinates over the scale, held on the glass.
  const auto two = ZRLSimWindowGeometry::make(CGSizeMake(375, 667), 2, std::nullopt);
  EXPECT_EQ(two.pointForPixel(70, 101), CGPointMake(35, 50.5));
  EXPECT_EQ(two.pointForPixel(-5, 5000), CGPointMake(0, 667));
  EXPECT_EQ(two.pointForPixel(749, 1333), CGPointMake(374.5, 666.5));
  EXPECT_EQ(capped.pointForPixel(9, 18), CGPointMake(8, 16));
}

// A window on SDL's dummy video driver, which needs no display.
class ZRLSimWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("SDL_VIDEODRIVER", "dummy", 1);  // NOLINT(concurrency-mt-unsafe)
    std::string error;
    window_ = ZRLSimWindow::open(CGSizeMake(200, 300), 2, "zrl-sim test", error);
    ASSERT_NE(window_, nullptr) << error;
  }
  void TearDown() override {
    window_.reset();
    ::unsetenv("SDL_VIDEODRIVER");  // NOLINT(concurrency-mt-unsafe)
  }

  static void push(const SDL_Event& event) {
    SDL_Event copy = event;
    ASSERT_EQ(SDL_PushEvent(&copy), 1) << SDL_GetError();
  }
  static void button(Uint32 type, Uint8 which, int x, int y) {
    SDL_Event event{};
    event.type = type;
    event.button.button = which;
    event.button.x = x;
    event.button.y = y;
    push(event);
  }
  static void motion(int x, int y, Uint32 state) {
    SDL_Event event{};
    event.type = SDL_MOUSEMOTION;
    event.motion.x = x;
    event.motion.y = y;
    event.motion.state = state;
    push(event);
  }
  static void windowEvent(Uint8 what) {
    SDL_Event event{};
    event.type = SDL_WINDOWEVENT;
    event.window.event = what;
    push(event);
  }
  std::vector<ZRLSimTouch> touches() { return window_->poll(std::chrono::milliseconds(0)).touches; }

  std::unique_ptr<ZRLSimWindow> window_;
};

TEST_F(ZRLSimWindowTest, MouseIsTheFinger) {
  EXPECT_EQ(window_->geometry().pixelsPerPoint, 2);
  // Motion without a press, and other buttons, touch nothing.
  motion(10, 10, 0);
  button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT, 10, 10);
  button(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT, 10, 10);
  EXPECT_TRUE(touches().empty());

  // Press, drag (off the window too), release: one touch in points.
  button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 70, 100);
  motion(80, 120, SDL_BUTTON_LMASK);
  motion(900, -40, SDL_BUTTON_LMASK);
  button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 5, 5);  // a second press while down
  button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 90, 130);
  motion(100, 100, 0);
  EXPECT_EQ(touches(), (std::vector<ZRLSimTouch>{{Phase::began, {35, 50}},
                                                 {Phase::moved, {40, 60}},
                                                 {Phase::moved, {200, 0}},
                                                 {Phase::ended, {45, 65}}}));

  // A release that the window never saw ends the touch at the next motion.
  button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 20, 20);
  motion(30, 30, 0);
  motion(40, 40, SDL_BUTTON_LMASK);
  EXPECT_EQ(touches(),
            (std::vector<ZRLSimTouch>{{Phase::began, {10, 10}}, {Phase::ended, {15, 15}}}));

  // Losing the focus cancels the touch where the finger was.
  button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 20, 20);
  motion(24, 28, SDL_BUTTON_LMASK);
  windowEvent(SDL_WINDOWEVENT_FOCUS_LOST);
  button(SDL_MOUSEBUTTONUP, SDL_BUTTON_LEFT, 24, 28);
  EXPECT_EQ(touches(),
            (std::vector<ZRLSimTouch>{
                {Phase::began, {10, 10}}, {Phase::moved, {12, 14}}, {Phase::cancelled, {12, 14}}}));

  // The close button ends the run; a touch still down is cancelled first.
  button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT, 2, 4);
  EXPECT_EQ(touches().size(), 1U);
  windowEvent(SDL_WINDOWEVENT_CLOSE);
  const ZRLSimWindowEvents closing = window_->poll(std::chrono::milliseconds(0));
  EXPECT_TRUE(closing.closeRequested);
  EXPECT_EQ(closing.touches, (std::vector<ZRLSimTouch>{{Phase::cancelled, {1, 2}}}));
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  push(quit);
  EXPECT_TRUE(window_->poll(std::chrono::milliseconds(0)).closeRequested);
  // Waiting with nothing to take returns after the time-out, empty.
  const ZRLSimWindowEvents idle = window_->poll(std::chrono::milliseconds(1));
  EXPECT_FALSE(idle.closeRequested);
  EXPECT_TRUE(idle.touches.empty());
}

TEST(ZRLSimWindowOpenTest, WithoutADisplayItSaysSo) {
  // Only this process's environment changes, and no other thread reads it.
  std::string saved[2];
  const char* names[2] = {"DISPLAY", "WAYLAND_DISPLAY"};
  bool had[2] = {false, false};
  for (int i = 0; i < 2; ++i) {
    if (const char* value = std::getenv(names[i])) {  // NOLINT(concurrency-mt-unsafe)
      saved[i] = value;
      had[i] = true;
    }
    ::unsetenv(names[i]);  // NOLINT(concurrency-mt-unsafe)
  }
  ::unsetenv("SDL_VIDEODRIVER");  // NOLINT(concurrency-mt-unsafe)
  std::string error;
  const auto none = ZRLSimWindow::open(CGSizeMake(100, 100), 1, "zrl-sim test", error);
  EXPECT_EQ(none, nullptr);
  EXPECT_NE(error.find("no display"), std::string::npos) << error;
  EXPECT_NE(error.find("DISPLAY is not set"), std::string::npos) << error;
  // A display that is not there: SDL's fallback that shows nothing is no
  // window either.
  ::setenv("DISPLAY", ":65000", 1);  // NOLINT(concurrency-mt-unsafe)
  error.clear();
  const auto absent = ZRLSimWindow::open(CGSizeMake(100, 100), 1, "zrl-sim test", error);
  ::unsetenv("DISPLAY");  // NOLINT(concurrency-mt-unsafe)
  EXPECT_EQ(absent, nullptr);
  EXPECT_NE(error.find("no display"), std::string::npos) << error;
  for (int i = 0; i < 2; ++i) {
    if (had[i]) ::setenv(names[i], saved[i].c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }
}

}  // namespace
