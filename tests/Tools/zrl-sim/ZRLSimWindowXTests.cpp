// `zrl-sim run --window` on a virtual X server (CTest runs this program
// under xvfb-run): the window shows what `snapshot` writes, a mouse drag
// that xdotool sends docks the floating button as the `drag` command does,
// the end of the input leaves the window open and its close button ends
// the run.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/NSData.h"
#include "Platform/UIKit/UIImage.h"
#include "ToolTestSupport.h"
#include "X11TestDisplay.h"

using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

// Generous: the sanitizer builds on a busy two-core machine.
constexpr auto kDeadline = 60s;

// The login scene at one pixel per point, the scale at which `snapshot`
// draws, so that the window's pixels and the snapshot's can be the same.
std::filesystem::path writeScene(const std::filesystem::path& folder) {
  json scene = json::parse(readFile(std::string(ZRL_SCENES_DIR) + "/login.json"));
  scene["screen"]["scale"] = 1;
  auto path = folder / "login-1x.json";
  std::ofstream(path) << scene.dump();
  return path;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread starts
    if (const char* reason = std::getenv("ZRL_WINDOW_TEST_SKIP")) GTEST_SKIP() << reason;
    display_ = X11TestDisplay::open();
    ASSERT_NE(display_, nullptr) << "no X display; this test runs under xvfb-run";
    scene_ = writeScene(folder_);
  }

  // A simulator with no dashboard to reach: the preview stream only fails
  // and retries, which changes nothing on the screen.
  std::vector<std::string> simulator(const std::string& defaults, bool window) const {
    std::vector<std::string> argv{ZRL_SIM_PATH,    "run",        "--scene",
                                  scene_.string(), "--defaults", (folder_ / defaults).string(),
                                  "--dashboard",   "127.0.0.1:1"};
    if (window) argv.emplace_back("--window");
    return argv;
  }

  static json dump(ChildProcess& sim) {
    EXPECT_TRUE(sim.writeInput("dump\n"));
    const auto line = sim.readLine(kDeadline);
    if (!line) {
      ADD_FAILURE() << "no dump line; standard error:\n" << sim.errorOutput();
      return json::object();
    }
    return json::parse(*line, nullptr, false);
  }

  // The window that xdotool finds once it is mapped.
  static std::optional<unsigned long> findWindow() {
    ChildProcess search({ZRL_XDOTOOL, "search", "--sync", "--onlyvisible", "--name", "^zrl-sim: "});
    const auto line = search.readLine(kDeadline);
    if (!line || search.wait(kDeadline) != 0) return std::nullopt;
    return static_cast<unsigned long>(std::stoul(*line));
  }

  // The snapshot's pixels as 0xRRGGBB. Every pixel of it is opaque (the
  // screen is drawn over black), so its colours are exact; the count of
  // pixels that are not is returned in `translucent`.
  static std::vector<uint32_t> snapshotPixels(const std::filesystem::path& png, int& width,
                                              int& height, int& translucent) {
    const auto image = UIImage::imageWithData(NSData(readFile(png)));
    if (!image) return {};
    width = image->pixelWidth();
    height = image->pixelHeight();
    translucent = 0;
    std::vector<uint32_t> pixels;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        const UIImagePixel p = image->pixelAt(x, y).value_or(UIImagePixel{});
        if (p.alpha != 255) ++translucent;
        pixels.push_back(uint32_t{p.red} << 16 | uint32_t{p.green} << 8 | p.blue);
      }
    }
    return pixels;
  }

  // Takes a snapshot and waits until the window shows exactly its pixels
  // (the window redraws on its own time, and a docking animation plays
  // first); returns how many pixels still differ at the deadline.
  size_t differenceFromSnapshot(ChildProcess& sim, unsigned long window, const std::string& name) {
    const auto png = folder_ / name;
    EXPECT_TRUE(sim.writeInput("snapshot " + png.string() + "\n"));
    dump(sim);  // the snapshot is written before the dump line comes
    int width = 0;
    int height = 0;
    int translucent = 0;
    const std::vector<uint32_t> expected = snapshotPixels(png, width, height, translucent);
    EXPECT_EQ(width, 375);
    EXPECT_EQ(height, 667);
    EXPECT_EQ(translucent, 0);
    size_t differing = expected.size();
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (differing != 0 && std::chrono::steady_clock::now() < deadline) {
      const std::vector<uint32_t> shown = display_->grab(window, width, height);
      differing = shown.size() == expected.size() ? 0 : expected.size();
      for (size_t i = 0; i < shown.size() && i < expected.size(); ++i)
        differing += shown[i] != expected[i] ? 1 : 0;
      // Looks again after the next frame could have been drawn.
      if (differing != 0) std::this_thread::sleep_for(20ms);
    }
    return differing;
  }

  // A mouse drag with the left button, in window pixels, through a middle
  // point, as a person makes it.
  static int drag(unsigned long window, double x1, double y1, double x2, double y2) {
    using Words = std::vector<std::string>;
    const auto moveTo = [id = std::to_string(window)](double x, double y) {
      return Words{"mousemove", "--window", id, std::to_string(static_cast<int>(x)),
                   std::to_string(static_cast<int>(y))};
    };
    Words argv{ZRL_XDOTOOL};
    for (const Words& step :
         {moveTo(x1, y1), Words{"mousedown", "1"}, moveTo((x1 + x2) / 2, (y1 + y2) / 2),
          moveTo(x2, y2), Words{"mouseup", "1"}})
      argv.insert(argv.end(), step.begin(), step.end());
    argv.insert(argv.begin() + 2, "--sync");  // the first move waits until it is done
    ChildProcess xdotool(argv);
    return xdotool.wait(kDeadline).value_or(-1);
  }

  std::unique_ptr<X11TestDisplay> display_;
  TemporaryDirectory directory_;
  const std::filesystem::path folder_{directory_.path()};
  std::filesystem::path scene_;
};

TEST_F(WindowTest, ShowsTheSnapshotAndTheMouseDragsLikeTheDragCommand) {
  ChildProcess sim(simulator("window.plist", true), ChildProcess::Input::pipe);
  ASSERT_TRUE(sim.waitForError("zrl-sim: window open: 375 x 667 pixels", 1, kDeadline))
      << sim.errorOutput();
  const std::optional<unsigned long> window = findWindow();
  ASSERT_TRUE(window) << sim.errorOutput();

  // The window shows what `snapshot` writes, pixel for pixel.
  const json start = dump(sim);
  EXPECT_EQ(differenceFromSnapshot(sim, *window, "start.png"), 0U) << sim.errorOutput();

  // Two drags of the floating button with the mouse: it docks, and the
  // window shows it there once the animation has played.
  const json& center = start["button"]["center"];
  const double x0 = center[0].get<double>();
  const double y0 = center[1].get<double>();
  ASSERT_EQ(drag(*window, x0, y0, 290, 400), 0);
  const json first = dump(sim);
  EXPECT_NE(first["button"], start["button"]);
  const double x1 = first["button"]["center"][0].get<double>();
  const double y1 = first["button"]["center"][1].get<double>();
  ASSERT_EQ(drag(*window, x1, y1, 60, 150), 0);
  const json second = dump(sim);
  EXPECT_NE(second["button"], first["button"]);
  EXPECT_EQ(differenceFromSnapshot(sim, *window, "docked.png"), 0U) << sim.errorOutput();

  // The same drags as commands, without a window, dock the same way.
  ChildProcess commands(simulator("commands.plist", false), ChildProcess::Input::pipe);
  EXPECT_EQ(dump(commands), start);
  const auto point = [](double v) { return std::to_string(static_cast<int>(v)); };
  ASSERT_TRUE(commands.writeInput("drag " + point(x0) + " " + point(y0) + " 290 400\n"));
  EXPECT_EQ(dump(commands), first);
  ASSERT_TRUE(commands.writeInput("drag " + point(x1) + " " + point(y1) + " 60 150\n"));
  EXPECT_EQ(dump(commands), second);
  commands.closeInput();
  EXPECT_EQ(commands.wait(kDeadline), 0) << commands.errorOutput();

  // The end of the input leaves the window open; its close button ends
  // the run.
  sim.closeInput();
  ASSERT_TRUE(sim.waitForError("the window stays open until it is closed", 1, kDeadline))
      << sim.errorOutput();
  EXPECT_TRUE(display_->isViewable(*window));
  display_->pressCloseButton(*window);
  EXPECT_EQ(sim.wait(kDeadline), 0) << sim.errorOutput();
}

TEST_F(WindowTest, QuitClosesTheWindow) {
  ChildProcess sim(simulator("quit.plist", true), ChildProcess::Input::pipe);
  ASSERT_TRUE(sim.waitForError("zrl-sim: window open", 1, kDeadline)) << sim.errorOutput();
  ASSERT_TRUE(findWindow());
  ASSERT_TRUE(sim.writeInput("quit\n"));
  EXPECT_EQ(sim.wait(kDeadline), 0) << sim.errorOutput();
}

}  // namespace
