#pragma once
// The host's plug-in protocol: the host creates a plug-in, initialises it
// with a dictionary of its own, and may start and stop it.

#include <nlohmann/json.hpp>

#include "ZorlanSDK/ZorlanSDKExport.h"

class ZORLANSDK_EXPORT ZorlanPlugin {
 public:
  virtual ~ZorlanPlugin() = default;
  virtual void initialize(const nlohmann::json& dictionary) = 0;
  virtual bool start() = 0;
  virtual bool stop() = 0;
};
