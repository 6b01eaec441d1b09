// Feeds the simulator's scene loader arbitrary bytes, as a user's scene
// file may hold anything. Every refusal must come with a message that
// names its place; every accepted scene is shown, serialised into a layout
// and drawn into a small bitmap, none of which may crash or recurse deeply.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Platform/UIKit/UIKit.h"
#include "Tools/zrl-sim/ZRLSimScene.h"
#include "ZRLWYSIWYGPlugin/ZRLLayoutHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const std::optional<ZRLSimScene> scene = ZRLSimScene::load(text, error);
  if (!scene) {
    const bool located = error.starts_with("/") || error.starts_with("invalid JSON: ") ||
                         error.starts_with("the scene is larger than");
    if (!located) std::abort();
    return 0;
  }
  if (scene->screenNamed(scene->initialScreen()) == nullptr) std::abort();
  const auto window = scene->show(scene->initialScreen());
  if (!window || !window->isKeyWindow()) std::abort();
  const nlohmann::json layout = ZRLLayoutHelper().constructViewHierarchy();
  if (!layout.is_array()) std::abort();
  UIGraphicsBeginImageContext(CGSizeMake(16, 16));
  window->layer().renderInContext(UIGraphicsGetCurrentContext());
  if (!UIGraphicsGetImageFromCurrentImageContext()) std::abort();
  UIGraphicsEndImageContext();
  return 0;
}
