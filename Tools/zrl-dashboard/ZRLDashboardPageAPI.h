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

#include "Tools/zrl-dashboard/ZRLDashboardFanOut.h"
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

  // Pushing (push() and the history's push again) needs the fan-out.
  ZRLDashboardPageAPI(ZRLDashboardStore& store, ZRLDashboardHub& hub,
                      ZRLDashboardFanOut* fanOut = nullptr)
      : store_(store), hub_(hub), fanOut_(fanOut) {}

  // Whether the request (its path as segments after the first "/") is one
  // of this API's; the router has checked the Host, the origin and the token.
  static bool handles(const std::string& method, const std::vector<std::string>& parts);
  ZRLDashboardResponse handle(const ZRLDashboardRequest& request,
                              const std::vector<std::string>& parts, const std::string& query);

  struct Pushed {
    int64_t id = 0;
    size_t delivered = 0;
  };
  // Stores a configuration (JSON text on one line) and hands it, with any
  // preview committed before it, to the open device streams of its
  // application; null when the store fails.
  std::optional<Pushed> push(const std::string& appId, const std::string& config);
  // Tells the page's streams of a preview handed out, with the streams
  // that the record counts (none when the count is not known).
  void previewHandedOut(const ZRLDashboardStore::PushedPreview& preview,
                        std::optional<int64_t> delivered);

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
  ZRLDashboardFanOut* fanOut_;
};
