#include "ZRLWYSIWYGPlugin/ZRLScreenshotHelper.h"

#include "Platform/Foundation/NSData.h"
#include "Platform/UIKit/UIGraphics.h"
#include "ZorlanSDK/ZRLUtilities.h"

std::optional<std::string> ZRLScreenshotHelper::getBase64EncodedStringForCurrentScreen() {
  return encodeToBase64String(captureScreen());
}

UIImagePtr ZRLScreenshotHelper::captureScreen() {
  const std::shared_ptr<UIWindow> window = ZRLUtilities::keyWindow();
  const CGSize size = window ? window->bounds().size : CGSize{};
  // A context left current on this thread is removed first.
  UIGraphicsEndImageContext();
  CGContextRef below = UIGraphicsGetCurrentContext();
  UIGraphicsBeginImageContext(size);
  CGContextRef context = UIGraphicsGetCurrentContext();
  // Nothing was begun (no window, or no area): an older context of the
  // stack is neither drawn into, read nor ended.
  if (context == nullptr || context == below) return nullptr;
  window->layer().renderInContext(context);
  UIImagePtr image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return image;
}

std::optional<std::string> ZRLScreenshotHelper::encodeToBase64String(const UIImagePtr& image) {
  const std::optional<NSData> png = UIImagePNGRepresentation(image);
  if (!png) return std::nullopt;
  return NSDataBase64EncodedString(*png, NSDataBase64Encoding64CharacterLineLength);
}
