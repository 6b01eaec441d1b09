#include "ZRLRTAPlugin/ZRLNudgeHelper.h"

std::shared_ptr<ZRLNudgeHelper> ZRLNudgeHelper::sharedHelper() {
  static auto* shared = new std::shared_ptr<ZRLNudgeHelper>(
      std::make_shared<ZRLNudgeHelper>());  // NOLINT: process lifetime
  return *shared;
}
