#pragma once
// The part of the dashboard's JSON API that serves the page as a working
// tool: the applications heard of, the page's own event stream, captures a
// page at a time, deletions, and the history of pushed previews with a way
// to push one again. It also tells the page's streams what the devices and
// the other pages do. Called by the router, on the store's one thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"
#include "Tools/zrl-dashboard/ZRLDashboardStore.h"

class ZRLDashboardPageAPI {
 public:
  // How many previews the history keeps, and captures a page holds unless
  // the request asks for fewer or more (up to the most).
  static constexpr int64_t kHistoryLength = 20;
  static constexpr int64_t kCapturesPerPage = 50;
  static constexpr int64_t kMostCapturesPerPage = 500;

  ZRLDashboardPageAPI(ZRLDashboardStore& store, ZRLDashboardHub& hub) : store_(store), hub_(hub) {}

  // Whether the request (its path as segments after the first "/") is one
  // of this API's; the router has checked the Host, the origin and the token.
  static bool handles(const std::string& method, const std::vector<std::string>& parts);
  ZRLDashboardResponse handle(const ZRLDashboardRequest& request,
                              const std::vector<std::string>& parts, const std::string& query);

  struct Pushed {
    int64_t id = 0;
    size_t delivered = 0;
  };
  // Stores a configuration (JSON text on one line), hands it to the
  // application's open device streams and records how many; null when the
  // store fails.
  std::optional<Pushed> push(const std::string& appId, const std::string& config);

  // What the page's streams are told of the plug-in's requests.
  void captureAdded(const ZRLDashboardStore::Capture& capture, int64_t id);
  void testDeviceAdded(const std::string& appId, const std::string& deviceId,
                       const std::string& model);
  void testDeviceRemoved(const std::string& appId, const std::string& deviceId);

 private:
  ZRLDashboardResponse apps();
  ZRLDashboardResponse captures(const std::string& query);
  ZRLDashboardResponse history(const std::string& query);
  ZRLDashboardResponse pushAgain(int64_t id);
  ZRLDashboardResponse removeCapture(int64_t id);
  ZRLDashboardResponse removeTestDevice(const std::string& deviceId, const std::string& query);

  ZRLDashboardStore& store_;
  ZRLDashboardHub& hub_;
};
