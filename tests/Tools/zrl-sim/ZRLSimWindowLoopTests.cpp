// The loop of `zrl-sim run --window` in process, on SDL's display-less
// video driver: the window shows what the run renders at the window's
// scale, and the docking animation is drawn over its duration while the
// model is final at once.

#include <SDL.h>
#include <cairo.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ChildProcess.h"
#include "Platform/UIKit/UIImage.h"
#include "Tools/zrl-sim/ZRLSimRun.h"
#include "Tools/zrl-sim/ZRLSimWindow.h"
#include "Tools/zrl-sim/ZRLSimWindowLoop.h"
#include "ZRLWYSIWYGPlugin/ZRLFloatingButton.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"

namespace {

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
  const std::vector<std::string> run{ZRL_SIM_PATH,
                                     "run",
                                     "--window",
                                     "--scene",
                                     std::string(ZRL_SCENES_DIR) + "/login.json",
                                     "--dashboard",
                                     "127.0.0.1:1"};
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
