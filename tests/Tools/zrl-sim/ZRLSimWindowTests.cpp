// The simulator's window in process, on SDL's display-less video driver:
// its size for a screen, the mouse as the finger, and the frames it shows.

#include <SDL.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

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

}  // namespace
