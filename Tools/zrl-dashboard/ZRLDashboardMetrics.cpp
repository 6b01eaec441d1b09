#include "Tools/zrl-dashboard/ZRLDashboardMetrics.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardPlugin.h"

namespace {

// A label's value: valid UTF-8 (U+FFFD for what is not), with the
// backslash, the quote and the line feed escaped as the format has them.
std::string labelValue(const std::string& raw) {
  const std::string valid =
      nlohmann::json::parse(
          nlohmann::json(raw).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
          .get<std::string>();
  std::string escaped;
  for (const char c : valid) {
    if (c == '\\' || c == '"') escaped.push_back('\\');
    if (c == '\n') {
      escaped.append("\\n");
      continue;
    }
    escaped.push_back(c);
  }
  return escaped;
}

void writeHead(std::string& out, const char* name, const char* type, const char* help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

double inSeconds(ZRLDashboardMetrics::Duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

std::string ZRLDashboardMetrics::endpointOf(std::string_view target) {
  const std::string_view path = target.substr(0, target.find('?'));
  for (const std::string* known :
       {&ZRLDashboardPlugin::layoutPath(), &ZRLDashboardPlugin::streamPath(),
        &ZRLDashboardPlugin::testDevicesPath()})
    if (path == *known) return *known;
  if (path.starts_with(ZRLDashboardPlugin::testDevicePathPrefix()))
    return ZRLDashboardPlugin::testDevicePathPrefix() + "{id}";
  static constexpr std::string_view kExact[] = {
      "/",           "/index.html",   "/app.js",       "/preview.js",
      "/style.css",  "/healthz",      "/metrics",      "/api/apps",
      "/api/events", "/api/captures", "/api/previews", "/api/test-devices"};
  for (const std::string_view known : kExact)
    if (path == known) return std::string(known);
  // /api/RESOURCE/ID[/MORE]: the identifier counts as "{id}".
  for (const std::string_view resource : {"captures", "previews", "test-devices"}) {
    const std::string prefix = "/api/" + std::string(resource) + "/";
    if (!path.starts_with(prefix)) continue;
    const std::string_view rest = path.substr(prefix.size());
    const size_t slash = rest.find('/');
    return prefix + "{id}" + std::string(slash == std::string_view::npos ? "" : rest.substr(slash));
  }
  return "other";
}

void ZRLDashboardMetrics::requestDone(std::string_view endpoint, unsigned status, Duration took) {
  requestDuration_.observe(took);
  std::lock_guard lock(requestsMutex_);
  ++requests_[{std::string(endpoint), status}];
}

void ZRLDashboardMetrics::Histogram::observe(Duration took) {
  const double value = inSeconds(took);
  size_t bucket = 0;
  while (bucket < kBounds.size() && value > kBounds[bucket])
    ++bucket;
  ++counts_[bucket];
  nanoseconds_ += static_cast<uint64_t>(
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
}

void ZRLDashboardMetrics::Histogram::write(std::string& out, const char* name,
                                           const char* help) const {
  writeHead(out, name, "histogram", help);
  uint64_t total = 0;
  for (size_t bucket = 0; bucket < counts_.size(); ++bucket) {
    total += counts_[bucket];
    out.append(name).append("_bucket{le=\"");
    out.append(bucket < kBounds.size() ? seconds(kBounds[bucket]) : "+Inf");
    out.append("\"} ").append(std::to_string(total)).append("\n");
  }
  out.append(name).append("_sum ").append(seconds(static_cast<double>(nanoseconds_) / 1e9));
  out.append("\n").append(name).append("_count ").append(std::to_string(total)).append("\n");
}

std::string ZRLDashboardMetrics::text(
    const std::map<std::string, ZRLDashboardHub::OpenStreams>& open,
    std::optional<Duration> databaseRoundTrip) const {
  std::string out;
  writeHead(out, "zrl_dashboard_open_streams", "gauge",
            "Device event streams open now, per application.");
  for (const auto& [appId, streams] : open) {
    out.append("zrl_dashboard_open_streams{app=\"").append(labelValue(appId)).append("\"} ");
    out.append(std::to_string(streams.count)).append("\n");
  }
  const std::pair<const char*, const char*> kCounters[] = {
      {"zrl_dashboard_pushes_total", "Previews pushed through this dashboard."},
      {"zrl_dashboard_deliveries_total", "Previews handed to this dashboard's device streams."},
      {"zrl_dashboard_uploads_total", "Captures uploaded to this dashboard."}};
  const uint64_t values[] = {pushes_, deliveries_, uploads_};
  for (size_t i = 0; i < std::size(kCounters); ++i) {
    writeHead(out, kCounters[i].first, "counter", kCounters[i].second);
    out.append(kCounters[i].first).append(" ").append(std::to_string(values[i])).append("\n");
  }
  writeHead(out, "zrl_dashboard_requests_total", "counter",
            "Requests answered, by endpoint and status.");
  {
    std::lock_guard lock(requestsMutex_);
    for (const auto& [key, count] : requests_) {
      out.append("zrl_dashboard_requests_total{endpoint=\"").append(key.first);
      out.append("\",status=\"").append(std::to_string(key.second)).append("\"} ");
      out.append(std::to_string(count)).append("\n");
    }
  }
  requestDuration_.write(out, "zrl_dashboard_request_duration_seconds",
                         "From a request's routing to its answer written (or its stream opened).");
  pushToWrite_.write(out, "zrl_dashboard_push_to_write_seconds",
                     "From a preview's hand-out to its write on a device stream.");
  writeHead(out, "zrl_dashboard_database_round_trip_seconds", "gauge",
            "One query to the database, timed when these metrics were asked for.");
  if (databaseRoundTrip) {
    out.append("zrl_dashboard_database_round_trip_seconds ")
        .append(seconds(inSeconds(*databaseRoundTrip)))
        .append("\n");
  }
  return out;
}
