#include "Tools/zrl-sim/ZRLSimWindowLoop.h"

#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/UIKit/UIImage.h"
#include "Tools/zrl-sim/ZRLSimCapture.h"
#include "Tools/zrl-sim/ZRLSimInput.h"
#include "Tools/zrl-sim/ZRLSimRun.h"
#include "Tools/zrl-sim/ZRLSimScene.h"
#include "Tools/zrl-sim/ZRLSimWindow.h"

using namespace std::chrono_literals;

namespace {

// How long a turn waits for the window when nothing else is to be done: a
// frame of a 60 Hz display, so that main-queue work that other threads
// post shows without a noticeable delay.
constexpr auto kIdleWait = 16ms;
// Frames of an animation are drawn at most this often.
constexpr auto kFrameInterval = 16ms;
// Commands run for at most this long before the window gets a turn.
constexpr auto kCommandSlice = 50ms;

}  // namespace

ZRLSimWindowLoop::ZRLSimWindowLoop(ZRLSimRun& run, ZRLSimWindow& window, Clock clock)
    : run_(run),
      window_(window),
      clock_(clock ? std::move(clock) : [] { return std::chrono::steady_clock::now(); }),
      animationCount_(UIView::lastAnimation().count) {
  // While a command runs the main queue (`wait`, the end of the run), the
  // window still takes the mouse and shows what happens.
  run_.setWaitTick([this] {
    takeEvents(0ms);
    draw();
  });
}

ZRLSimWindowLoop::~ZRLSimWindowLoop() {
  run_.setWaitTick(nullptr);
}

CGRect ZRLSimWindowLoop::interpolate(CGRect from, CGRect to, double progress) {
  const double t = std::clamp(progress, 0.0, 1.0);
  const double eased = t * t * (3 - 2 * t);
  const auto mix = [eased](CGFloat a, CGFloat b) {
    return static_cast<CGFloat>(a + (b - a) * eased);
  };
  return CGRectMake(mix(from.origin.x, to.origin.x), mix(from.origin.y, to.origin.y),
                    mix(from.size.width, to.size.width), mix(from.size.height, to.size.height));
}

bool ZRLSimWindowLoop::execute(const std::string& line) {
  ++lineNumber_;
  // The window's events that came before the line go first, so that a
  // command sees what the mouse did before it was typed.
  takeEvents(0ms);
  run_.step();
  const bool goOn = run_.execute(line, lineNumber_) != ZRLSimRun::Result::quit;
  run_.step();
  return goOn;
}

void ZRLSimWindowLoop::turn(std::chrono::milliseconds wait) {
  takeEvents(animating() ? std::min(wait, std::chrono::milliseconds(kFrameInterval)) : wait);
  run_.step();
  draw();
}

void ZRLSimWindowLoop::takeEvents(std::chrono::milliseconds wait) {
  const ZRLSimWindowEvents events = window_.poll(wait);
  for (const ZRLSimTouch& touch : events.touches) {
    switch (touch.phase) {
      case ZRLSimTouchPhase::began:
        run_.touchDown(touch.point);
        break;
      case ZRLSimTouchPhase::moved:
        run_.touchMove(touch.point);
        break;
      case ZRLSimTouchPhase::ended:
        run_.touchUp(touch.point);
        break;
      case ZRLSimTouchPhase::cancelled:
        run_.touchCancel(touch.point);
        break;
    }
  }
  if (events.closeRequested) closeRequested_ = true;
}

void ZRLSimWindowLoop::noticeAnimation() {
  const UIViewAnimationRecord record = UIView::lastAnimation();
  if (record.count == animationCount_) return;
  animationCount_ = record.count;
  if (animation_) animationEnded_ = true;  // a new one takes its place
  animation_.reset();
  if (record.duration > 0 && !record.changes.empty()) {
    animation_ =
        Animation{clock_(), std::chrono::duration<double>(record.duration), record.changes};
  }
}

bool ZRLSimWindowLoop::animating() {
  noticeAnimation();
  if (animation_ && clock_() - animation_->start >= animation_->duration) {
    animation_.reset();
    animationEnded_ = true;  // its last frame is the final state
  }
  return animation_.has_value();
}

bool ZRLSimWindowLoop::draw() {
  const TimePoint now = clock_();
  const bool playing = animating();
  const uint64_t changes = run_.changeCount();
  if (playing) {
    if (drawnChange_ && now - lastAnimationFrame_ < kFrameInterval) return false;
    lastAnimationFrame_ = now;
  } else if (drawnChange_ == changes && !animationEnded_) {
    return false;
  }
  drawnChange_ = changes;
  animationEnded_ = false;

  // The model is already final: each animated view that is still where the
  // animation left it is drawn part of the way, then put back.
  std::vector<std::pair<UIViewPtr, CGRect>> moved;
  if (playing) {
    const double progress = (now - animation_->start) / animation_->duration;
    for (const UIViewAnimationChange& change : animation_->changes) {
      const UIViewPtr view = change.view.lock();
      if (!view || view->frame() != change.to) continue;  // changed since: the model wins
      moved.emplace_back(view, change.to);
      view->setFrame(interpolate(change.from, change.to, progress));
    }
  }
  const UIImagePtr image = run_.render(window_.geometry().pixelsPerPoint);
  for (const auto& [view, frame] : moved)
    view->setFrame(frame);
  if (!image) return false;
  return window_.draw([&](cairo_t* cairo) {
    // The image has the window's pixels: copied one to one.
    cairo_identity_matrix(cairo);
    cairo_set_source_surface(cairo, image->cairoSurface(), 0, 0);
    cairo_paint(cairo);
  });
}

int ZRLSimWindowLoop::main(const ZRLSimRunOptions& options) {
  std::vector<std::string> script;
  if (options.scriptPath && !ZRLSimReadScript(*options.scriptPath, script)) {
    ZRLSimWriteErrorLine("zrl-sim: " + *options.scriptPath + ": the script cannot be read");
    return kZRLSimExitUsage;
  }
  // The window's size comes from the scene, which is read before anything
  // starts, so that a bad scene opens no window.
  std::string error;
  const std::optional<ZRLSimScene> scene = ZRLSimScene::loadFile(options.scenePath, error);
  if (!scene) {
    ZRLSimWriteErrorLine("zrl-sim: " + error);
    return kZRLSimExitUsage;
  }
  const CGSize points = scene->screenSize();
  const CGFloat scale = scene->screenScale();
  std::unique_ptr<ZRLSimWindow> window = ZRLSimWindow::open(
      points, scale, "zrl-sim: " + options.scenePath.substr(options.scenePath.rfind('/') + 1),
      error);
  if (!window) {
    ZRLSimWriteErrorLine("zrl-sim: --window: " + error);
    return kZRLSimExitUsage;
  }
  int status = kZRLSimExitSuccess;
  const std::unique_ptr<ZRLSimRun> run = ZRLSimRun::start(options, &status, &error);
  if (!run) {
    ZRLSimWriteErrorLine("zrl-sim: " + error);
    return status;
  }
  const ZRLSimWindowGeometry& geometry = window->geometry();
  char scaleText[32];
  std::snprintf(scaleText, sizeof scaleText, "%g", static_cast<double>(geometry.pixelsPerPoint));
  ZRLSimWriteErrorLine("zrl-sim: window open: " + std::to_string(geometry.pixelWidth) + " x " +
                       std::to_string(geometry.pixelHeight) + " pixels, " + scaleText +
                       " per point; the mouse is the finger");

  std::optional<ZRLSimInputLines> input;
  if (!options.scriptPath) input.emplace();
  size_t scriptLine = 0;
  const auto next = [&]() -> std::optional<std::string> {
    if (input) return input->take();
    if (scriptLine < script.size()) return script[scriptLine++];
    return std::nullopt;
  };
  const auto ended = [&] { return input ? input->ended() : scriptLine == script.size(); };

  bool quit = false;
  bool endNoted = false;
  {
    ZRLSimWindowLoop loop(*run, *window);
    loop.draw();
    while (!quit && !loop.closeRequested()) {
      // Commands that are waiting run first, for a slice of time.
      const auto sliceEnd = std::chrono::steady_clock::now() + kCommandSlice;
      bool ranCommand = false;
      while (!quit && !loop.closeRequested() && std::chrono::steady_clock::now() < sliceEnd) {
        std::optional<std::string> line = next();
        if (!line) break;
        ranCommand = true;
        quit = !loop.execute(*line);
      }
      if (quit) break;
      if (!endNoted && ended()) {
        endNoted = true;
        ZRLSimWriteErrorLine(
            "zrl-sim: end of the commands; the window stays open until it is closed");
      }
      loop.turn(ranCommand ? 0ms : std::chrono::milliseconds(kIdleWait));
    }
  }
  // The window goes at once; the run then waits for the answers to its
  // requests, so that none of their lines is lost.
  window.reset();
  run->finish();
  return kZRLSimExitSuccess;
}
