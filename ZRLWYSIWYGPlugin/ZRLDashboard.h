#pragma once
// Where the dashboard server is, and the addresses of its endpoints. The
// host name is configuration: a build-time default (the local dashboard),
// ZRL_DASHBOARD_HOST from the environment, or whatever a program sets.

#include <optional>
#include <string>
#include <string_view>

#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPluginExport.h"

class ZRLWYSIWYGPLUGIN_EXPORT ZRLDashboard {
 public:
  // host[:port], e.g. "127.0.0.1:8443".
  static std::string host();
  static void setHost(std::string host);
};

// "https://<dashboard host>/v1/api/layout?appId=": the layout upload, to be
// followed by the application identifier.
ZRLWYSIWYGPLUGIN_EXPORT std::string kZRLSSELayoutURL();
// "https://<dashboard host>/v1/api/sse-ui-config?appId=": the preview stream.
ZRLWYSIWYGPLUGIN_EXPORT std::string kZRLSSEUIConfigURL();
// Paths on the host's own server, followed by the application identifier.
inline constexpr std::string_view kZRLAddTestDeviceURL = "/v2/frontendapi/ios/test-devices?appId=";
inline constexpr std::string_view kZRLRemoveTestDeviceURL =
    "/v2/frontendapi/ios/test-devices/<deviceId>?appId=";

// An identifier made safe for a path or a query: every byte outside
// A-Z a-z 0-9 - . _ ~ becomes %XX (upper-case hexadecimal), so the text can
// never change the address's structure. An absent identifier gives (null).
ZRLWYSIWYGPLUGIN_EXPORT std::string ZRLPercentEncodedIdentifier(
    const std::optional<std::string>& identifier);
