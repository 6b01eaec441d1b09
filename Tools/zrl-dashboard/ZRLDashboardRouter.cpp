#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardAnswer.h"
#include "Tools/zrl-dashboard/ZRLDashboardEncoding.h"
#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"
#include "Tools/zrl-dashboard/ZRLDashboardPageAPI.h"
#include "Tools/zrl-dashboard/ZRLDashboardPlugin.h"
#include "Tools/zrl-dashboard/ZRLDashboardPluginAPI.h"

using json = nlohmann::json;

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

json nullable(const std::optional<std::string>& text) {
  return text ? json(*text) : json(nullptr);
}

json captureSummary(const ZRLDashboardStore::Capture& capture) {
  return {{"id", capture.id},
          {"appId", capture.appId},
          {"screen", nullable(capture.screen)},
          {"time", capture.time}};
}

const char* contentTypeOf(const std::string& name) {
  const auto extension = std::filesystem::path(name).extension().string();
  if (extension == ".html") return "text/html; charset=utf-8";
  if (extension == ".js") return "text/javascript; charset=utf-8";
  if (extension == ".css") return "text/css; charset=utf-8";
  if (extension == ".svg") return "image/svg+xml";
  return "application/octet-stream";
}

}  // namespace

ZRLDashboardResponse ZRLDashboardRouter::error(unsigned status, const std::string& message) {
  return ZRLDashboardAnswer::json({{"error", message}}, status);
}

bool ZRLDashboardRouter::isCaptureUpload(const ZRLDashboardRequest& request) {
  // Decoded as handle() decodes it, so that both agree on every request.
  const std::string_view target = request.target;
  return request.method == "POST" &&
         ZRLDashboardPercentDecoded(target.substr(0, target.find('?')), false) ==
             ZRLDashboardPlugin::layoutPath();
}

ZRLDashboardResponse ZRLDashboardRouter::handle(const ZRLDashboardRequest& request) {
  const std::string_view target = request.target;
  const size_t mark = std::min(target.find('?'), target.size());
  const auto path = ZRLDashboardPercentDecoded(target.substr(0, mark), false);
  const std::string query(target.substr(std::min(mark + 1, target.size())));
  if (!path || path->empty() || path->front() != '/') return error(400, "malformed request target");

  if (ZRLDashboardPluginAPI::handles(*path)) {
    ZRLDashboardStore& store =
        captureStore_ != nullptr && isCaptureUpload(request) ? *captureStore_ : store_;
    ZRLDashboardResponse response =
        ZRLDashboardPluginAPI(store, hub_).handle(request, *path, query);
    if (metrics_ != nullptr && response.status == 200 && isCaptureUpload(request))
      metrics_->uploaded();
    return response;
  }
  // The load balancer's check: no token, and nothing but whether the
  // database answers.
  if (*path == "/healthz" && request.method == "GET") {
    if (store_.lastPreviewId()) return ZRLDashboardAnswer::json({{"database", "ok"}});
    return ZRLDashboardAnswer::json({{"database", "unreachable"}}, 503);
  }
  return handleDashboard(request, *path, query);
}

bool ZRLDashboardRouter::hostAccepted(const std::string& host) const {
  const std::string_view name = std::string_view(host).substr(0, host.rfind(':'));
  if (std::any_of(options_.publicNames.begin(), options_.publicNames.end(),
                  [&](const std::string& known) { return equalsIgnoringCase(name, known); }))
    return true;
  std::string port = ":";  // appended: g++ -O3 warns falsely on "..." + to_string()
  port.append(std::to_string(options_.port));
  if (!host.ends_with(port)) return false;
  const std::string_view local = std::string_view(host).substr(0, host.size() - port.size());
  return local == "127.0.0.1" || equalsIgnoringCase(local, "localhost");
}

bool ZRLDashboardRouter::tokenAccepted(const ZRLDashboardRequest& request) const {
  constexpr std::string_view bearer = "Bearer ";
  if (request.authorization.size() > bearer.size() &&
      equalsIgnoringCase(std::string_view(request.authorization).substr(0, bearer.size()),
                         bearer)) {
    return ZRLDashboardAnswer::equalSecrets(
        std::string_view(request.authorization).substr(bearer.size()), options_.token);
  }
  // Cookie: name=value pairs separated by "; ".
  std::string_view cookies = request.cookie;
  const std::string prefix = std::string(kZRLDashboardTokenCookie) + "=";
  while (!cookies.empty()) {
    const size_t end = std::min(cookies.find(';'), cookies.size());
    std::string_view pair = cookies.substr(0, end);
    while (!pair.empty() && pair.front() == ' ')
      pair.remove_prefix(1);
    if (pair.starts_with(prefix) &&
        ZRLDashboardAnswer::equalSecrets(pair.substr(prefix.size()), options_.token))
      return true;
    cookies.remove_prefix(std::min(end + 1, cookies.size()));
  }
  return false;
}

ZRLDashboardResponse ZRLDashboardRouter::handleDashboard(const ZRLDashboardRequest& request,
                                                         const std::string& path,
                                                         const std::string& query) {
  // Only this machine's own names with this port: a page of another site
  // that rebinds its name to 127.0.0.1 is refused.
  if (!hostAccepted(request.host)) return error(400, "Host header not accepted: " + request.host);
  // A request that a page of another origin makes is refused even when the
  // browser would send the cookie.
  if (!request.origin.empty() &&
      !hostAccepted(request.origin.starts_with("https://") ? request.origin.substr(8)
                                                           : std::string())) {
    return error(401, "requests from other origins are not accepted");
  }

  static const char* const kPageFiles[] = {"/index.html", "/app.js", "/preview.js", "/style.css"};
  const bool page = path == "/" || std::find(std::begin(kPageFiles), std::end(kPageFiles), path) !=
                                       std::end(kPageFiles);
  std::vector<std::string> parts;
  for (size_t start = 1; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  const bool api = parts.size() >= 2 && parts[0] == "api";
  const bool forPageAPI = ZRLDashboardPageAPI::handles(request.method, parts);
  std::optional<int64_t> captureId;
  if (api && parts[1] == "captures" && parts.size() >= 3)
    captureId = ZRLDashboardAnswer::number(parts[2]);
  const bool forMetrics = path == "/metrics" && metrics_ != nullptr;
  const bool known =
      page || forPageAPI || forMetrics ||
      (api && parts.size() == 2 &&
       (parts[1] == "captures" || parts[1] == "test-devices" || parts[1] == "previews")) ||
      (api && captureId && parts.size() == 3) ||
      (api && captureId && parts.size() == 4 && parts[3] == "screenshot.png");
  if (!known) return error(404, "no such path: " + path);

  // The first visit brings the token in the query; the answer keeps it in
  // a cookie and sends the browser on to the address without it.
  if (page) {
    if (const auto token = ZRLDashboardQueryValue(query, "token")) {
      if (!ZRLDashboardAnswer::equalSecrets(*token, options_.token))
        return error(401, "wrong token");
      ZRLDashboardResponse redirect;
      redirect.status = 303;
      redirect.contentType = "text/plain; charset=utf-8";
      redirect.headers.emplace_back("Location", path);
      redirect.headers.emplace_back("Set-Cookie",
                                    std::string(kZRLDashboardTokenCookie) + "=" + options_.token +
                                        "; Path=/; Secure; HttpOnly; SameSite=Strict");
      return redirect;
    }
  }
  if (!tokenAccepted(request))
    return error(401, "missing or wrong token: open the address that zrl-dashboard printed");

  if (page) {
    if (request.method != "GET") return ZRLDashboardAnswer::methodNotAllowed("GET");
    return staticFile(path == "/" ? "index.html" : path.substr(1));
  }
  if (forPageAPI) return ZRLDashboardPageAPI(store_, hub_, &fanOut_).handle(request, parts, query);
  if (forMetrics) {
    if (request.method != "GET") return ZRLDashboardAnswer::methodNotAllowed("GET");
    return metrics();
  }
  const std::string& resource = parts[1];
  if (resource == "previews") {
    if (request.method != "POST") return ZRLDashboardAnswer::methodNotAllowed("GET, POST");
  } else if (request.method != "GET") {
    return ZRLDashboardAnswer::methodNotAllowed(captureId ? "GET, DELETE" : "GET");
  }
  if (captureId) return captureDetails(*captureId, parts.size() == 4);

  ZRLDashboardResponse failure;
  const auto appId = ZRLDashboardAnswer::appId(query, failure);
  if (!appId) return failure;
  if (resource == "previews") return pushPreview(*appId, request.body);
  const auto devices = store_.testDevices(*appId);
  if (!devices) return ZRLDashboardAnswer::storageFailure(store_);
  json answer = json::array();
  for (const auto& device : *devices)
    answer.push_back({{"id", device.id}, {"model", device.model}, {"time", device.time}});
  return ZRLDashboardAnswer::json(answer);
}

ZRLDashboardResponse ZRLDashboardRouter::captureDetails(int64_t id, bool screenshot) {
  const auto found = store_.capture(id);
  if (!found) return ZRLDashboardAnswer::storageFailure(store_);
  if (!*found) return error(404, "no capture " + std::to_string(id));
  const auto& capture = **found;
  if (screenshot) {
    if (!capture.image) return error(404, "capture " + std::to_string(id) + " has no screenshot");
    ZRLDashboardResponse png;
    png.contentType = "image/png";
    png.body = ZRLDashboardBase64Decoded(*capture.image).value_or(std::string());
    return png;
  }
  json answer = captureSummary(capture);
  answer["image"] = nullable(capture.image);
  // The layout and the device's facts go out as the text that was stored.
  ZRLDashboardResponse response = ZRLDashboardAnswer::json(answer);
  response.body.pop_back();  // the object's "}"
  response.body.append(",\"layout\":")
      .append(capture.layout.empty() ? "null" : capture.layout)
      .append(",\"device_info\":")
      .append(capture.deviceInfo.empty() ? "null" : capture.deviceInfo)
      .push_back('}');
  return response;
}

ZRLDashboardResponse ZRLDashboardRouter::pushPreview(const std::string& appId,
                                                     const std::string& body) {
  ZRLDashboardResponse failure;
  const auto config = ZRLDashboardAnswer::body(body, 0, failure);
  if (!config) return failure;
  if (!config->is_object()) return error(400, "the configuration must be a JSON object");
  // Without the white space between its tokens the text has no line
  // break (a string holds none unescaped): one "data" line.
  const auto pushed =
      ZRLDashboardPageAPI(store_, hub_, &fanOut_).push(appId, ZRLDashboardJSON::compact(body));
  if (!pushed) return ZRLDashboardAnswer::storageFailure(store_);
  return ZRLDashboardAnswer::json({{"id", pushed->id}, {"delivered", pushed->delivered}});
}

void ZRLDashboardRouter::subscribe(const std::string& appId, std::optional<int64_t> lastEventID,
                                   const std::shared_ptr<ZRLDashboardStreamSink>& sink) {
  // Where the hand-out stands is known before the stream joins, so that
  // every preview committed later reaches it. It is replayed up to there.
  const auto upTo = fanOut_.handedOut();
  std::optional<std::vector<ZRLDashboardStore::Preview>> missed;
  if (upTo && lastEventID) missed = store_.previewsAfter(appId, *lastEventID);
  if (!upTo || (lastEventID && !missed)) {
    // Joining without the replay would lose previews silently: end the
    // stream and let the client come back with its last id.
    sink->close();
    return;
  }
  for (const auto& preview : missed.value_or(std::vector<ZRLDashboardStore::Preview>()))
    if (preview.id <= *upTo)
      sink->deliver(
          std::make_shared<const std::string>(ZRLDashboardEventBlock(preview.id, preview.config)),
          true);
  hub_.join(appId, sink);
}

ZRLDashboardResponse ZRLDashboardRouter::metrics() {
  const auto asked = std::chrono::steady_clock::now();
  const bool answered = store_.lastPreviewId().has_value();
  const auto roundTrip = std::chrono::steady_clock::now() - asked;
  ZRLDashboardResponse response;
  response.contentType = "text/plain; version=0.0.4; charset=utf-8";
  response.body =
      metrics_->text(hub_.openStreams(), answered ? std::optional(roundTrip) : std::nullopt);
  return response;
}

ZRLDashboardResponse ZRLDashboardRouter::staticFile(const std::string& name) const {
  std::ifstream file(std::filesystem::path(options_.webDirectory) / name, std::ios::binary);
  if (!file) return error(404, "no such file: " + name);
  std::ostringstream content;
  content << file.rdbuf();
  ZRLDashboardResponse response;
  response.contentType = contentTypeOf(name);
  response.body = content.str();
  response.headers.emplace_back("Cache-Control", "no-store");
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("X-Frame-Options", "DENY");
  response.headers.emplace_back(
      "Content-Security-Policy",
      "default-src 'self'; img-src 'self' blob: data:; frame-ancestors 'none'");
  return response;
}
