#pragma once
// What the dashboard answers to each request, apart from the transport: the
// plug-in's endpoints, the page, and the JSON API with their checks (the
// application identifier, the plug-in's key, the page's token, the Host
// header). Every call runs on the one thread that owns the store, so that a
// push and a stream's replay never interleave; only uploads of captures may
// use a store of their own, on a thread of their own, so that their storage
// work never holds up the rest, pushes above all.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Tools/zrl-dashboard/ZRLDashboardFanOut.h"
#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardStore.h"

// The largest request body accepted: a full-screen capture of a large tablet
// (2732 x 2048 pixels) as base64 PNG, with its layout, fits well within it.
inline constexpr uint64_t kZRLDashboardMaximumBodyBytes = uint64_t{64} << 20;
// The name of the cookie that carries the page's token.
inline constexpr const char* kZRLDashboardTokenCookie = "zrl_dashboard_token";

struct ZRLDashboardRequest {
  std::string method;
  std::string target;  // path and query, as sent
  std::string host;
  std::string authorization;
  std::string cookie;
  std::string origin;
  std::optional<std::string> apiKey;  // "zrl_ios_key"
  std::optional<std::string> lastEventID;
  std::string body;
};

struct ZRLDashboardResponse {
  unsigned status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Set for an accepted event-stream request: the application whose
  // previews it receives, and the last one that the client has seen.
  std::optional<std::string> streamAppId;
  std::optional<int64_t> lastEventID;
};

class ZRLDashboardRouter {
 public:
  struct Options {
    std::string token;
    unsigned short port = 0;
    std::string webDirectory;
    // Names under which a load balancer serves the page (the Host header
    // with any port or none), besides this machine's own with the port.
    std::vector<std::string> publicNames;
  };
  ZRLDashboardRouter(ZRLDashboardStore& store, ZRLDashboardHub& hub, Options options)
      : store_(store), hub_(hub), options_(std::move(options)), fanOut_(store, hub) {}
  virtual ~ZRLDashboardRouter() = default;
  ZRLDashboardRouter(const ZRLDashboardRouter&) = delete;
  ZRLDashboardRouter& operator=(const ZRLDashboardRouter&) = delete;

  // Virtual for the tests, which hold a request on its way.
  virtual ZRLDashboardResponse handle(const ZRLDashboardRequest& request);
  // Has uploads of captures stored through that store (another connection
  // to the same file), from then on: handle() may then be called for them
  // on the thread that owns it, and for the rest on the main store's.
  void useForUploads(ZRLDashboardStore& store) { captureStore_ = &store; }
  bool uploadsHaveTheirOwnStore() const { return captureStore_ != nullptr; }
  // Counts pushes, deliveries and uploads there, and serves GET /metrics
  // from it (with the page's token), from then on.
  void useMetrics(ZRLDashboardMetrics& metrics) {
    metrics_ = &metrics;
    fanOut_.metrics = &metrics;
  }
  // Whether the request is the plug-in's upload of a capture.
  static bool isCaptureUpload(const ZRLDashboardRequest& request);
  // Hands the stream the previews of its application after lastEventID
  // (none when the client sent no usable id), then lets it receive the live ones.
  void subscribe(const std::string& appId, std::optional<int64_t> lastEventID,
                 const std::shared_ptr<ZRLDashboardStreamSink>& sink);

  // Hands out the previews committed since it last looked (other
  // dashboards' too, when they share the database). Storage thread only.
  void catchUp() { fanOut_.catchUp(); }

  // Answers for failures found before a request reaches the router.
  static ZRLDashboardResponse error(unsigned status, const std::string& message);

 private:
  ZRLDashboardResponse handleDashboard(const ZRLDashboardRequest& request, const std::string& path,
                                       const std::string& query);
  ZRLDashboardResponse captureDetails(int64_t id, bool screenshot);
  ZRLDashboardResponse pushPreview(const std::string& appId, const std::string& body);
  ZRLDashboardResponse staticFile(const std::string& name) const;
  ZRLDashboardResponse metrics();
  bool hostAccepted(const std::string& host) const;
  bool tokenAccepted(const ZRLDashboardRequest& request) const;

  ZRLDashboardStore& store_;
  ZRLDashboardStore* captureStore_ = nullptr;
  ZRLDashboardMetrics* metrics_ = nullptr;
  ZRLDashboardHub& hub_;
  Options options_;
  ZRLDashboardFanOut fanOut_;
};
