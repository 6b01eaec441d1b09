#include "X11TestDisplay.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

struct X11TestDisplay::Connection {
  Display* display = nullptr;
};

std::unique_ptr<X11TestDisplay> X11TestDisplay::open() {
  auto connection = std::make_unique<Connection>();
  connection->display = XOpenDisplay(nullptr);
  if (connection->display == nullptr) return nullptr;
  return std::unique_ptr<X11TestDisplay>(new X11TestDisplay(std::move(connection)));
}

X11TestDisplay::X11TestDisplay(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

X11TestDisplay::~X11TestDisplay() {
  XCloseDisplay(connection_->display);
}

namespace {

// A channel of a pixel value, shifted down from where its mask puts it.
uint32_t channel(unsigned long value, unsigned long mask) {
  while (mask != 0 && (mask & 1) == 0) {
    mask >>= 1;
    value >>= 1;
  }
  return static_cast<uint32_t>(value & mask & 0xff);
}

int ignoreErrors(Display* /*display*/, XErrorEvent* /*error*/) {
  return 0;
}

}  // namespace

std::vector<uint32_t> X11TestDisplay::grab(unsigned long window, int width, int height) const {
  // A window that is gone makes XGetImage fail with an X error, which
  // would end the process by default.
  XErrorHandler previous = XSetErrorHandler(ignoreErrors);
  XImage* image = XGetImage(connection_->display, window, 0, 0, static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
  XSync(connection_->display, False);
  XSetErrorHandler(previous);
  if (image == nullptr) return {};
  std::vector<uint32_t> pixels;
  pixels.reserve(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const unsigned long value = XGetPixel(image, x, y);
      pixels.push_back(channel(value, image->red_mask) << 16 |
                       channel(value, image->green_mask) << 8 | channel(value, image->blue_mask));
    }
  }
  XDestroyImage(image);
  return pixels;
}

bool X11TestDisplay::isViewable(unsigned long window) const {
  XErrorHandler previous = XSetErrorHandler(ignoreErrors);
  XWindowAttributes attributes{};
  const bool found = XGetWindowAttributes(connection_->display, window, &attributes) != 0;
  XSync(connection_->display, False);
  XSetErrorHandler(previous);
  return found && attributes.map_state == IsViewable;
}

void X11TestDisplay::pressCloseButton(unsigned long window) const {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(connection_->display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] =
      static_cast<long>(XInternAtom(connection_->display, "WM_DELETE_WINDOW", False));
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(connection_->display, window, False, NoEventMask, &event);
  XFlush(connection_->display);
}
