// Kept apart from the server's sources: the plug-in's headers bring in the
// platform layer, whose Asio must not meet the server's in one file.
#include "Tools/zrl-dashboard/ZRLDashboardPlugin.h"

#include "ZRLWYSIWYGPlugin/ZRLDashboard.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"

namespace {

// The path of an address or path-and-query, without scheme, host or query.
std::string pathOf(std::string_view address) {
  if (const auto scheme = address.find("://"); scheme != std::string_view::npos) {
    address.remove_prefix(scheme + 3);
    address.remove_prefix(std::min(address.find('/'), address.size()));
  }
  return std::string(address.substr(0, address.find('?')));
}

}  // namespace

const std::string& ZRLDashboardPlugin::apiKey() {
  static const std::string key = kZRLTestDeviceAPIKey;
  return key;
}
const std::string& ZRLDashboardPlugin::layoutPath() {
  static const std::string path = pathOf(kZRLSSELayoutURL());
  return path;
}
const std::string& ZRLDashboardPlugin::streamPath() {
  static const std::string path = pathOf(kZRLSSEUIConfigURL());
  return path;
}
const std::string& ZRLDashboardPlugin::testDevicesPath() {
  static const std::string path = pathOf(kZRLAddTestDeviceURL);
  return path;
}
const std::string& ZRLDashboardPlugin::testDevicePathPrefix() {
  static const std::string path = [] {
    const std::string full = pathOf(kZRLRemoveTestDeviceURL);
    return full.substr(0, full.find("<deviceId>"));
  }();
  return path;
}
