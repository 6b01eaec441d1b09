#pragma once
// The host's listener protocol: whoever registers for events gets onEvent.

#include "ZorlanSDK/ZRLEvent.h"
#include "ZorlanSDK/ZorlanSDKExport.h"

class ZORLANSDK_EXPORT ZRLEventListener {
 public:
  virtual ~ZRLEventListener() = default;
  virtual void onEvent(const ZRLEventPtr& event) = 0;
};
