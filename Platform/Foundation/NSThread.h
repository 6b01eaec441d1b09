#pragma once
// Thread facts and sleeping; tests replace the sleep so that fixed pauses of
// the code under test take no time.

#include <functional>

#include "Platform/PlatformExport.h"

class PLATFORM_EXPORT NSThread {
 public:
  using SleepHandler = std::function<void(double seconds)>;

  // Blocks the calling thread for the interval, or calls the installed handler.
  static void sleepForTimeInterval(double seconds);
  // Installs a handler in place of sleeping (empty: really sleep); returns the
  // handler that was installed before.
  static SleepHandler setSleepHandler(SleepHandler handler);
  // True on the process's main thread, the one that runs the main queue.
  static bool isMainThread();
};
