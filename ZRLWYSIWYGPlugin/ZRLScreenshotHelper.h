#pragma once
// The screenshot of a capture: the key window drawn at one pixel per point,
// as PNG, as base64 text in 64-character lines joined by CR LF. Class
// operations only; main thread.

#include <optional>
#include <string>

#include "Platform/UIKit/UIImage.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h"

class ZRLWYSIWYGPLUGIN_EXPORT ZRLScreenshotHelper {
 public:
  ZRLScreenshotHelper() = delete;

  // captureScreen, then encodeToBase64String; nothing without a key window.
  static std::optional<std::string> getBase64EncodedStringForCurrentScreen();
  // The key window drawn into a bitmap of its size in points at scale 1;
  // null when there is no key window or it has no area.
  static UIImagePtr captureScreen();
  // The base64 text of the image's PNG; nothing for a null image or one
  // that cannot be encoded.
  static std::optional<std::string> encodeToBase64String(const UIImagePtr& image);
};
