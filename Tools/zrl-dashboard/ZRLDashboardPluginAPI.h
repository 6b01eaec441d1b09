#pragma once
// The plug-in's endpoints: the upload of a capture, the request for its
// event stream, and the registration and removal of a test device, with
// their checks (the application identifier, the plug-in's key, the
// upload's shape). They take no token and no Host check: the plug-in sends
// neither. Called by the router on the thread that owns the store it is
// given: the main store's, or the uploads' own for an upload.

#include <string>

#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"
#include "Tools/zrl-dashboard/ZRLDashboardStore.h"

class ZRLDashboardPluginAPI {
 public:
  ZRLDashboardPluginAPI(ZRLDashboardStore& store, ZRLDashboardHub& hub)
      : store_(store), hub_(hub) {}

  // Whether the (decoded) path is one of the plug-in's.
  static bool handles(const std::string& path);
  ZRLDashboardResponse handle(const ZRLDashboardRequest& request, const std::string& path,
                              const std::string& query);

 private:
  ZRLDashboardResponse uploadCapture(const std::string& appId, const std::string& body);

  ZRLDashboardStore& store_;
  ZRLDashboardHub& hub_;
};
