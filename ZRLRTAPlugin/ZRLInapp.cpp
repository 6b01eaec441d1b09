#include "ZRLRTAPlugin/ZRLInapp.h"

std::shared_ptr<ZRLInapp> ZRLInapp::sharedInstance() {
  static auto* shared =
      new std::shared_ptr<ZRLInapp>(std::make_shared<ZRLInapp>());  // NOLINT: process lifetime
  return *shared;
}
