#include "ZRLRTAPlugin/ZRLTooltipBuilder.h"

std::shared_ptr<ZRLTooltipBuilder> ZRLTooltipBuilder::sharedBuilder() {
  static auto* shared = new std::shared_ptr<ZRLTooltipBuilder>(
      std::make_shared<ZRLTooltipBuilder>());  // NOLINT: process lifetime
  return *shared;
}
