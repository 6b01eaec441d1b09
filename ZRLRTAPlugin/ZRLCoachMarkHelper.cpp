#include "ZRLRTAPlugin/ZRLCoachMarkHelper.h"

std::shared_ptr<ZRLCoachMarkHelper> ZRLCoachMarkHelper::sharedHelper() {
  static auto* shared = new std::shared_ptr<ZRLCoachMarkHelper>(
      std::make_shared<ZRLCoachMarkHelper>());  // NOLINT: process lifetime
  return *shared;
}
