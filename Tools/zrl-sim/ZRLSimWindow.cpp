#include "Tools/zrl-sim/ZRLSimWindow.h"

#include <SDL.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Room that a desktop's title bar and borders take around the window.
constexpr int kDecorationHeight = 48;
// No side of the window beyond this many pixels, whatever the display says.
constexpr CGFloat kLargestSide = 8192;
// When the scale has to come down, it comes down to a multiple of this, so
// that the picture scales by a simple ratio.
constexpr CGFloat kScaleStep = 0.125;

}  // namespace

ZRLSimWindowGeometry ZRLSimWindowGeometry::make(CGSize points, CGFloat scale,
                                                std::optional<CGSize> fit) {
  ZRLSimWindowGeometry geometry;
  geometry.points = points;
  const CGFloat width = std::max<CGFloat>(points.width, 1);
  const CGFloat height = std::max<CGFloat>(points.height, 1);
  CGFloat factor = std::isfinite(scale) && scale > 0 ? scale : 1;
  CGFloat limit = std::min(kLargestSide / width, kLargestSide / height);
  if (fit && fit->width > 0 && fit->height > 0)
    limit = std::min({limit, fit->width / width, fit->height / height});
  if (factor > limit) {
    const CGFloat stepped = std::floor(limit / kScaleStep) * kScaleStep;
    factor = stepped > 0 ? stepped : limit;
  }
  geometry.pixelsPerPoint = factor;
  geometry.pixelWidth = std::max(1, static_cast<int>(std::ceil(width * factor)));
  geometry.pixelHeight = std::max(1, static_cast<int>(std::ceil(height * factor)));
  return geometry;
}

CGPoint ZRLSimWindowGeometry::pointForPixel(CGFloat x, CGFloat y) const {
  const auto onGlass = [](CGFloat value, CGFloat end) {
    if (!std::isfinite(value)) return CGFloat{0};
    return std::clamp<CGFloat>(value, 0, std::max<CGFloat>(end, 0));
  };
  return CGPointMake(onGlass(x / pixelsPerPoint, points.width),
                     onGlass(y / pixelsPerPoint, points.height));
}

struct ZRLSimWindow::Resources {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;
  cairo_surface_t* canvas = nullptr;

  Resources() = default;
  Resources(const Resources&) = delete;
  Resources& operator=(const Resources&) = delete;
  ~Resources() {
    if (canvas != nullptr) cairo_surface_destroy(canvas);
    if (texture != nullptr) SDL_DestroyTexture(texture);
    if (renderer != nullptr) SDL_DestroyRenderer(renderer);
    if (window != nullptr) SDL_DestroyWindow(window);
    SDL_Quit();
  }
};

ZRLSimWindow::ZRLSimWindow(ZRLSimWindowGeometry geometry) : geometry_(geometry) {}

ZRLSimWindow::~ZRLSimWindow() = default;

std::unique_ptr<ZRLSimWindow> ZRLSimWindow::open(CGSize points, CGFloat scale,
                                                 const std::string& title, std::string& error) {
  // Ctrl-C keeps its ordinary meaning: SDL would turn it into a close
  // request that a busy main thread sees late.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  // The mouse is the only finger: a touch screen's touches arrive as mouse
  // events, and mouse events never come back as touch events.
  SDL_SetHint(SDL_HINT_MOUSE_TOUCH_EVENTS, "0");
  // Frames go to the display as they are (on X11 through shared memory),
  // not through an OpenGL texture: no GL driver is loaded, and no threads
  // of its own are started.
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  // SDL falls back on drivers that show nothing (offscreen, dummy); those
  // count only when SDL_VIDEODRIVER asks for them by name.
  const auto set = [](const char* name) {
    // Read on the main thread before SDL or any thread of ours starts.
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    return value != nullptr && *value != '\0';
  };
  const bool driverChosen = set("SDL_VIDEODRIVER");
  if (!driverChosen && !set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
    error = "no display to open a window on (DISPLAY is not set)";
    return nullptr;
  }
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    error = std::string("no display to open a window on (SDL: ") + SDL_GetError() + ")";
    SDL_Quit();
    return nullptr;
  }
  const std::string driver = SDL_GetCurrentVideoDriver() ? SDL_GetCurrentVideoDriver() : "";
  if (!driverChosen && (driver == "offscreen" || driver == "dummy")) {
    error = "no display to open a window on (the display cannot be opened)";
    SDL_Quit();
    return nullptr;
  }
  auto sdl = std::make_unique<Resources>();
  std::optional<CGSize> fit;
  SDL_Rect usable{};
  if (SDL_GetDisplayUsableBounds(0, &usable) == 0)
    fit = CGSizeMake(usable.w, std::max(1, usable.h - kDecorationHeight));
  const ZRLSimWindowGeometry geometry = ZRLSimWindowGeometry::make(points, scale, fit);

  sdl->window = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                 geometry.pixelWidth, geometry.pixelHeight, SDL_WINDOW_SHOWN);
  // The software renderer copies pixels unchanged and starts no threads of
  // its own; a phone-sized frame is shown well within a display's refresh.
  if (sdl->window != nullptr)
    sdl->renderer = SDL_CreateRenderer(sdl->window, -1, SDL_RENDERER_SOFTWARE);
  // Cairo's ARGB32 is a native-endian 32-bit word with alpha on top, which
  // is what SDL calls ARGB8888.
  if (sdl->renderer != nullptr)
    sdl->texture =
        SDL_CreateTexture(sdl->renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING,
                          geometry.pixelWidth, geometry.pixelHeight);
  if (sdl->texture == nullptr || SDL_SetTextureBlendMode(sdl->texture, SDL_BLENDMODE_NONE) != 0) {
    error = std::string("the window cannot be opened (SDL: ") + SDL_GetError() + ")";
    return nullptr;
  }
  sdl->canvas =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, geometry.pixelWidth, geometry.pixelHeight);
  if (cairo_surface_status(sdl->canvas) != CAIRO_STATUS_SUCCESS ||
      cairo_image_surface_get_stride(sdl->canvas) != geometry.pixelWidth * 4) {
    error = "no memory for a frame of " + std::to_string(geometry.pixelWidth) + " x " +
            std::to_string(geometry.pixelHeight) + " pixels";
    return nullptr;
  }
  std::unique_ptr<ZRLSimWindow> window(new ZRLSimWindow(geometry));
  window->sdl_ = std::move(sdl);
  return window;
}

bool ZRLSimWindow::draw(const std::function<void(cairo_t*)>& paint) {
  cairo_surface_t* canvas = sdl_->canvas;
  cairo_t* cairo = cairo_create(canvas);
  cairo_set_operator(cairo, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(cairo, 0, 0, 0, 1);
  cairo_paint(cairo);
  cairo_set_operator(cairo, CAIRO_OPERATOR_OVER);
  cairo_scale(cairo, geometry_.pixelsPerPoint, geometry_.pixelsPerPoint);
  if (paint) paint(cairo);
  cairo_destroy(cairo);
  cairo_surface_flush(canvas);

  const unsigned char* pixels = cairo_image_surface_get_data(canvas);
  const size_t size =
      static_cast<size_t>(geometry_.pixelWidth) * 4 * static_cast<size_t>(geometry_.pixelHeight);
  if (shown_.size() == size && std::memcmp(shown_.data(), pixels, size) == 0) return false;
  shown_.assign(pixels, pixels + size);
  SDL_UpdateTexture(sdl_->texture, nullptr, shown_.data(), geometry_.pixelWidth * 4);
  present();
  return true;
}

void ZRLSimWindow::present() {
  SDL_RenderClear(sdl_->renderer);
  SDL_RenderCopy(sdl_->renderer, sdl_->texture, nullptr, nullptr);
  SDL_RenderPresent(sdl_->renderer);
}

ZRLSimWindowEvents ZRLSimWindow::poll(std::chrono::milliseconds timeout) {
  ZRLSimWindowEvents events;
  SDL_Event event;
  int waited = 0;
  if (timeout.count() > 0) {
    const auto milliseconds =
        static_cast<int>(std::min<std::chrono::milliseconds::rep>(timeout.count(), 60000));
    waited = SDL_WaitEventTimeout(&event, milliseconds);
  }
  if (waited == 1) handle(event, events);
  while (SDL_PollEvent(&event) == 1)
    handle(event, events);
  if (events.closeRequested) {
    // Gone from the desktop at once, even if a command still runs.
    SDL_HideWindow(sdl_->window);
    if (fingerDown_) {
      fingerDown_ = false;
      events.touches.push_back({ZRLSimTouchPhase::cancelled, fingerPoint_});
    }
  }
  return events;
}

void ZRLSimWindow::handle(const SDL_Event& event, ZRLSimWindowEvents& events) {
  const auto finger = [&](ZRLSimTouchPhase phase, int x, int y) {
    fingerPoint_ = geometry_.pointForPixel(x, y);
    events.touches.push_back({phase, fingerPoint_});
  };
  switch (event.type) {
    case SDL_MOUSEBUTTONDOWN:
      if (event.button.button == SDL_BUTTON_LEFT && !fingerDown_) {
        fingerDown_ = true;
        finger(ZRLSimTouchPhase::began, event.button.x, event.button.y);
      }
      break;
    case SDL_MOUSEMOTION:
      if (!fingerDown_) break;
      // A release that went elsewhere still lifts the finger.
      finger((event.motion.state & SDL_BUTTON_LMASK) != 0 ? ZRLSimTouchPhase::moved
                                                          : ZRLSimTouchPhase::ended,
             event.motion.x, event.motion.y);
      fingerDown_ = events.touches.back().phase == ZRLSimTouchPhase::moved;
      break;
    case SDL_MOUSEBUTTONUP:
      if (event.button.button == SDL_BUTTON_LEFT && fingerDown_) {
        fingerDown_ = false;
        finger(ZRLSimTouchPhase::ended, event.button.x, event.button.y);
      }
      break;
    case SDL_WINDOWEVENT:
      if (event.window.event == SDL_WINDOWEVENT_CLOSE) {
        events.closeRequested = true;
      } else if (event.window.event == SDL_WINDOWEVENT_FOCUS_LOST && fingerDown_) {
        fingerDown_ = false;
        events.touches.push_back({ZRLSimTouchPhase::cancelled, fingerPoint_});
      } else if (event.window.event == SDL_WINDOWEVENT_EXPOSED && !shown_.empty()) {
        present();
      }
      break;
    case SDL_QUIT:
      events.closeRequested = true;
      break;
    default:
      break;
  }
}
