#include "ZRLWYSIWYGPlugin/ZRLDashboard.h"

#include <cstdlib>
#include <mutex>

#include "Platform/Foundation/NSString.h"

namespace {

struct DashboardState {
  std::mutex mutex;
  std::optional<std::string> host;
};

DashboardState& dashboardState() {
  static DashboardState* state = new DashboardState();  // NOLINT: process lifetime
  return *state;
}

std::string defaultHost() {
  const char* fromEnvironment = std::getenv("ZRL_DASHBOARD_HOST");  // NOLINT(concurrency-mt-unsafe)
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  return ZRL_DEFAULT_DASHBOARD_HOST;
}

}  // namespace

std::string ZRLDashboard::host() {
  DashboardState& state = dashboardState();
  std::lock_guard lock(state.mutex);
  if (!state.host) state.host = defaultHost();
  return *state.host;
}

void ZRLDashboard::setHost(std::string host) {
  DashboardState& state = dashboardState();
  std::lock_guard lock(state.mutex);
  state.host = std::move(host);
}

std::string kZRLSSELayoutURL() {
  return "https://" + ZRLDashboard::host() + "/v1/api/layout?appId=";
}

std::string kZRLSSEUIConfigURL() {
  return "https://" + ZRLDashboard::host() + "/v1/api/sse-ui-config?appId=";
}

std::string ZRLPercentEncodedIdentifier(const std::optional<std::string>& identifier) {
  if (!identifier) return std::string(kNSNullDescription);
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(identifier->size());
  for (const char c : *identifier) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                            (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                            byte == '_' || byte == '~';
    if (unreserved) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}
