#pragma once
// `zrl-sim run --window`: the run loop of the simulator with its window. One
// turn takes the window's events (the mouse as the finger), runs the main
// queue's ready blocks and draws a new frame when the screen changed, the
// docking animation playing over its duration. Command lines run between
// turns, and the window stays live while a command runs the main queue.
// Main thread only.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Platform/UIKit/UIView.h"

class ZRLSimRun;
class ZRLSimWindow;
struct ZRLSimRunOptions;

class ZRLSimWindowLoop {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Clock = std::function<TimePoint()>;

  // The loop of a run in a window; the clock (the steady clock by default)
  // times the animations.
  ZRLSimWindowLoop(ZRLSimRun& run, ZRLSimWindow& window, Clock clock = nullptr);
  ~ZRLSimWindowLoop();
  ZRLSimWindowLoop(const ZRLSimWindowLoop&) = delete;
  ZRLSimWindowLoop& operator=(const ZRLSimWindowLoop&) = delete;

  // Runs one command line, after the window events that came before it;
  // false when it was `quit`.
  bool execute(const std::string& line);
  // One turn: waits up to `wait` for the window's events and routes them,
  // runs the main queue's ready blocks, and draws.
  void turn(std::chrono::milliseconds wait);
  // Draws a frame when the screen changed since the last one, or while an
  // animation plays; returns whether the window changed.
  bool draw();
  // Whether an animation is still playing.
  bool animating();
  // Whether the window's close button was pressed.
  bool closeRequested() const { return closeRequested_; }

  // The position of a frame `progress` (0 to 1) of the way through an
  // animation from one frame to another, easing in and out as the
  // platform's animations do by default.
  static CGRect interpolate(CGRect from, CGRect to, double progress);

  // The whole run: opens the window (exit status 2, with a message, when
  // there is no display), starts the run, reads command lines from the
  // script or standard input, and ends on `quit` or when the window is
  // closed. The end of the input leaves the window open. Returns the exit
  // status.
  static int main(const ZRLSimRunOptions& options);

 private:
  struct Animation {
    TimePoint start;
    std::chrono::duration<double> duration;
    std::vector<UIViewAnimationChange> changes;
  };
  void takeEvents(std::chrono::milliseconds wait);
  void noticeAnimation();

  ZRLSimRun& run_;
  ZRLSimWindow& window_;
  Clock clock_;
  size_t lineNumber_ = 0;
  bool closeRequested_ = false;
  std::optional<uint64_t> drawnChange_;
  unsigned long animationCount_ = 0;
  std::optional<Animation> animation_;
  bool animationEnded_ = false;
  TimePoint lastAnimationFrame_;
};
