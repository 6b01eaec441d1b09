#pragma once
// An X display as tests see it: a window's pixels read back, whether it is
// on show, and the close request that a window manager sends. Xlib stays in
// its own source file, since its macros clash with GoogleTest's names.

#include <cstdint>
#include <memory>
#include <vector>

class X11TestDisplay {
 public:
  // The display that DISPLAY names, or null.
  static std::unique_ptr<X11TestDisplay> open();
  ~X11TestDisplay();
  X11TestDisplay(const X11TestDisplay&) = delete;
  X11TestDisplay& operator=(const X11TestDisplay&) = delete;

  // The window's pixels as 0xRRGGBB, row by row; empty when they cannot be
  // read.
  std::vector<uint32_t> grab(unsigned long window, int width, int height) const;
  // Whether the window exists and is mapped.
  bool isViewable(unsigned long window) const;
  // Sends what a window manager sends when the close button is pressed.
  void pressCloseButton(unsigned long window) const;

 private:
  struct Connection;
  explicit X11TestDisplay(std::unique_ptr<Connection> connection);
  std::unique_ptr<Connection> connection_;
};
