#pragma once
// What the dashboard must agree on with the plug-in: its endpoints' paths
// and the key that its test-device requests carry, taken from the plug-in's
// own constants.

#include <string>

struct ZRLDashboardPlugin {
  static const std::string& apiKey();           // the "zrl_ios_key" value
  static const std::string& layoutPath();       // "/v1/api/layout"
  static const std::string& streamPath();       // "/v1/api/sse-ui-config"
  static const std::string& testDevicesPath();  // "/v2/frontendapi/ios/test-devices"
  // The removal path up to the device identifier, with its trailing "/".
  static const std::string& testDevicePathPrefix();
};
