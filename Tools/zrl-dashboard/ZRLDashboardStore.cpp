// What the two stores share.
#include "Tools/zrl-dashboard/ZRLDashboardStore.h"

#include <chrono>
#include <ctime>

std::string ZRLDashboardStore::now() {
  const auto time = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}
