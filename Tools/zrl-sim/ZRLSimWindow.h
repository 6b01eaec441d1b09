#pragma once
// The simulated device in a desktop window: SDL2 shows the frames that Cairo
// draws, and the mouse becomes one finger on the screen. SDL's video belongs
// to the thread that opened the window, so every call is made there (the
// program's main thread).

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/UIKit/CGGeometry.h"

typedef struct _cairo cairo_t;  // NOLINT(modernize-use-using): Cairo's own declaration
union SDL_Event;

// The window's size in pixels for a screen of some size in points.
struct ZRLSimWindowGeometry {
  CGSize points;
  CGFloat pixelsPerPoint = 1;
  int pixelWidth = 0;
  int pixelHeight = 0;

  // At the screen's scale, lowered (never raised) just enough for the window
  // to fit within `fit` pixels when that is given; a scale that is not a
  // positive number counts as 1.
  static ZRLSimWindowGeometry make(CGSize points, CGFloat scale, std::optional<CGSize> fit);
  // The point of the screen under a window pixel: the pixel's coordinates
  // divided by the pixels per point, held on the glass (0 to the width and
  // height), since a finger cannot leave the screen.
  CGPoint pointForPixel(CGFloat x, CGFloat y) const;
};

enum class ZRLSimTouchPhase { began, moved, ended, cancelled };

// One step of the finger, in screen points.
struct ZRLSimTouch {
  ZRLSimTouchPhase phase = ZRLSimTouchPhase::began;
  CGPoint point;
  friend bool operator==(const ZRLSimTouch&, const ZRLSimTouch&) = default;
};

// What the window's events asked for since the last poll.
struct ZRLSimWindowEvents {
  std::vector<ZRLSimTouch> touches;
  bool closeRequested = false;
};

class ZRLSimWindow {
 public:
  // Opens a window for a screen of `points` at `scale` pixels per point, or
  // returns null and says why in `error` (no display, SDL failing).
  static std::unique_ptr<ZRLSimWindow> open(CGSize points, CGFloat scale, const std::string& title,
                                            std::string& error);
  ~ZRLSimWindow();
  ZRLSimWindow(const ZRLSimWindow&) = delete;
  ZRLSimWindow& operator=(const ZRLSimWindow&) = delete;

  const ZRLSimWindowGeometry& geometry() const { return geometry_; }

  // Draws a frame and shows it when its pixels differ from those on show.
  // `paint` draws into a Cairo context whose user space is the screen in
  // points, over opaque black (what a screen shows where nothing is
  // drawn). Returns whether the window changed.
  bool draw(const std::function<void(cairo_t*)>& paint);

  // Waits up to `timeout` for an event of the window (zero: does not wait),
  // then takes every pending one. The left mouse button is the finger:
  // press, motion while pressed and release become a touch going down,
  // moving and going up; a touch still down when the window loses the
  // focus or is closed is cancelled. A window asked to close is hidden at
  // once. Exposure is handled here.
  ZRLSimWindowEvents poll(std::chrono::milliseconds timeout);

  // The pixels on show, as Cairo keeps them (premultiplied native-endian
  // ARGB, rows of 4 x width bytes).
  const std::vector<unsigned char>& shownPixels() const { return shown_; }

 private:
  struct Resources;
  explicit ZRLSimWindow(ZRLSimWindowGeometry geometry);
  void handle(const SDL_Event& event, ZRLSimWindowEvents& events);
  void present();

  ZRLSimWindowGeometry geometry_;
  std::unique_ptr<Resources> sdl_;
  std::vector<unsigned char> shown_;
  bool fingerDown_ = false;
  CGPoint fingerPoint_;
};
