#include "Tools/zrl-dashboard/ZRLDashboardPageAPI.h"

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"

using json = nlohmann::json;

namespace {

std::optional<int64_t> parseCount(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

// Identifiers come from request paths and queries and need not be UTF-8:
// ill-formed bytes are written as U+FFFD rather than thrown over.
std::string jsonText(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

ZRLDashboardResponse answer(const json& value) {
  ZRLDashboardResponse response;
  response.body = jsonText(value);
  return response;
}

ZRLDashboardResponse methodNotAllowed(const char* allowed) {
  ZRLDashboardResponse response =
      ZRLDashboardRouter::error(405, std::string("method not allowed; use ") + allowed);
  response.headers.emplace_back("Allow", allowed);
  return response;
}

ZRLDashboardResponse storageFailure(const ZRLDashboardStore& store) {
  return ZRLDashboardRouter::error(500, "storage failed: " + store.lastError());
}

// The application identifier of the query, or null with the 400 answer.
std::optional<std::string> requiredAppId(const std::string& query, ZRLDashboardResponse& failure) {
  auto appId = ZRLDashboardQueryValue(query, "appId");
  if (!appId || appId->empty()) {
    failure = ZRLDashboardRouter::error(400, "the query needs a non-empty appId");
    return std::nullopt;
  }
  return appId;
}

// A history entry's text: the form's fields from the configuration's "ui"
// object (null where one is missing or not a string), and the whole
// configuration as it was stored; a client's text is never made a value
// and written back (dump() recurses).
std::string historyEntry(int64_t id, const std::string& time, const std::string& config,
                         std::optional<int64_t> delivered, const std::string* appId = nullptr) {
  json entry = {
      {"id", id}, {"time", time}, {"delivered", delivered ? json(*delivered) : json(nullptr)}};
  if (appId != nullptr) entry["appId"] = *appId;
  // The "ui" object's fields are on the configuration's second level.
  const json parsed = ZRLDashboardJSON::read(config, 2).value;
  const json* ui = nullptr;
  if (parsed.is_object()) {
    const auto found = parsed.find("ui");
    if (found != parsed.end() && found->is_object()) ui = &*found;
  }
  for (const char* key : {"display_type", "view_id", "title", "text"}) {
    json value = nullptr;
    if (ui != nullptr) {
      const auto field = ui->find(key);
      if (field != ui->end() && field->is_string()) value = *field;
    }
    entry[key] = std::move(value);
  }
  std::string text = jsonText(entry);
  text.pop_back();  // the object's "}"
  text.append(",\"config\":").append(config.empty() ? "null" : config).push_back('}');
  return text;
}

}  // namespace

bool ZRLDashboardPageAPI::handles(const std::string& method,
                                  const std::vector<std::string>& parts) {
  if (parts.size() < 2 || parts[0] != "api") return false;
  const std::string& resource = parts[1];
  if (parts.size() == 2)
    return resource == "apps" || resource == "events" || resource == "captures" ||
           (resource == "previews" && method == "GET");
  if (parts.size() == 3)
    return (resource == "captures" && method == "DELETE") ||
           (resource == "test-devices" && !parts[2].empty());
  return parts.size() == 4 && resource == "previews" && parts[3] == "push";
}

ZRLDashboardResponse ZRLDashboardPageAPI::handle(const ZRLDashboardRequest& request,
                                                 const std::vector<std::string>& parts,
                                                 const std::string& query) {
  const std::string& resource = parts[1];
  if (parts.size() == 2) {
    if (request.method != "GET") return methodNotAllowed(resource == "apps" ? "GET" : "GET, POST");
    if (resource == "apps") return apps();
    if (resource == "captures") return captures(query);
    if (resource == "previews") return history(query);
    // The page's event stream: the server hands it to the hub.
    ZRLDashboardResponse stream;
    stream.contentType = "text/event-stream";
    stream.streamAppId = kZRLDashboardPageStreams;
    return stream;
  }
  if (resource == "test-devices") {
    if (request.method != "DELETE") return methodNotAllowed("DELETE");
    return removeTestDevice(parts[2], query);
  }
  const auto id = parseCount(parts[2]);
  if (resource == "captures") {
    if (!id) return ZRLDashboardRouter::error(404, "no capture " + parts[2]);
    return removeCapture(*id);
  }
  if (request.method != "POST") return methodNotAllowed("POST");
  if (!id) return ZRLDashboardRouter::error(404, "no preview " + parts[2]);
  return pushAgain(*id);
}

ZRLDashboardResponse ZRLDashboardPageAPI::apps() {
  const auto stored = store_.apps();
  if (!stored) return storageFailure(store_);
  auto streams = hub_.openStreams();
  std::vector<json> list;
  for (const auto& app : *stored) {
    json entry = {{"appId", app.appId},
                  {"captures", app.captures},
                  {"testDevices", app.testDevices},
                  {"openStreams", 0},
                  {"lastSeen", app.lastSeen}};
    if (const auto open = streams.find(app.appId); open != streams.end()) {
      entry["openStreams"] = open->second.count;
      entry["lastSeen"] = std::max(app.lastSeen, open->second.lastOpened);
      streams.erase(open);
    }
    list.push_back(std::move(entry));
  }
  for (const auto& [appId, open] : streams) {
    list.push_back({{"appId", appId},
                    {"captures", 0},
                    {"testDevices", 0},
                    {"openStreams", open.count},
                    {"lastSeen", open.lastOpened}});
  }
  // Most recent first; ISO 8601 times in UTC sort as text.
  std::sort(list.begin(), list.end(), [](const json& a, const json& b) {
    const auto& seenA = a["lastSeen"].get_ref<const std::string&>();
    const auto& seenB = b["lastSeen"].get_ref<const std::string&>();
    if (seenA != seenB) return seenA > seenB;
    return a["appId"].get_ref<const std::string&>() < b["appId"].get_ref<const std::string&>();
  });
  return answer(json(std::move(list)));
}

ZRLDashboardResponse ZRLDashboardPageAPI::captures(const std::string& query) {
  ZRLDashboardResponse failure;
  const auto appId = requiredAppId(query, failure);
  if (!appId) return failure;
  std::optional<int64_t> before;
  if (const auto text = ZRLDashboardQueryValue(query, "before")) {
    before = parseCount(*text);
    if (!before) return ZRLDashboardRouter::error(400, "before must be a capture id: " + *text);
  }
  int64_t limit = kCapturesPerPage;
  if (const auto text = ZRLDashboardQueryValue(query, "limit")) {
    const auto asked = parseCount(*text);
    if (!asked || *asked < 1 || *asked > kMostCapturesPerPage)
      return ZRLDashboardRouter::error(
          400,
          "limit must lie between 1 and " + std::to_string(kMostCapturesPerPage) + ": " + *text);
    limit = *asked;
  }
  const auto list = store_.captures(*appId, before, limit);
  if (!list) return storageFailure(store_);
  json result = json::array();
  for (const auto& capture : *list) {
    result.push_back({{"id", capture.id},
                      {"appId", capture.appId},
                      {"screen", capture.screen ? json(*capture.screen) : json(nullptr)},
                      {"time", capture.time}});
  }
  return answer(result);
}

ZRLDashboardResponse ZRLDashboardPageAPI::history(const std::string& query) {
  ZRLDashboardResponse failure;
  const auto appId = requiredAppId(query, failure);
  if (!appId) return failure;
  const auto list = store_.recentPreviews(*appId, kHistoryLength);
  if (!list) return storageFailure(store_);
  ZRLDashboardResponse response;
  response.body = "[";
  for (const auto& preview : *list) {
    if (response.body.size() > 1) response.body.push_back(',');
    response.body.append(historyEntry(preview.id, preview.time, preview.config, preview.delivered));
  }
  response.body.push_back(']');
  return response;
}

std::optional<ZRLDashboardPageAPI::Pushed> ZRLDashboardPageAPI::push(const std::string& appId,
                                                                     const std::string& config) {
  const auto id = store_.addPreview(appId, config);
  if (!id) return std::nullopt;
  const auto block = std::make_shared<const std::string>(ZRLDashboardEventBlock(*id, config));
  const size_t delivered = hub_.broadcast(appId, block);
  // The preview has gone out: a failure to note the count leaves the
  // history without it, and the push stands.
  const auto count = static_cast<int64_t>(delivered);
  const bool noted = store_.setPreviewDelivered(*id, count);
  hub_.tellPage("preview",
                historyEntry(*id, ZRLDashboardStore::now(), config,
                             noted ? std::optional<int64_t>(count) : std::nullopt, &appId));
  return Pushed{*id, delivered};
}

ZRLDashboardResponse ZRLDashboardPageAPI::pushAgain(int64_t id) {
  const auto found = store_.preview(id);
  if (!found) return storageFailure(store_);
  if (!*found) return ZRLDashboardRouter::error(404, "no preview " + std::to_string(id));
  const auto pushed = push((*found)->appId, (*found)->config);
  if (!pushed) return storageFailure(store_);
  return answer({{"id", pushed->id}, {"delivered", pushed->delivered}});
}

ZRLDashboardResponse ZRLDashboardPageAPI::removeCapture(int64_t id) {
  const auto removed = store_.removeCapture(id);
  if (!removed) return storageFailure(store_);
  if (!*removed) return ZRLDashboardRouter::error(404, "no capture " + std::to_string(id));
  hub_.tellPage("capture-deleted", jsonText({{"appId", **removed}, {"id", id}}));
  return answer({{"deleted", true}});
}

ZRLDashboardResponse ZRLDashboardPageAPI::removeTestDevice(const std::string& deviceId,
                                                           const std::string& query) {
  ZRLDashboardResponse failure;
  const auto appId = requiredAppId(query, failure);
  if (!appId) return failure;
  const auto removed = store_.removeTestDevice(*appId, deviceId);
  if (!removed) return storageFailure(store_);
  if (!*removed)
    return ZRLDashboardRouter::error(404, "no test device " + deviceId + " of " + *appId);
  testDeviceRemoved(*appId, deviceId);
  return answer({{"deleted", true}});
}

void ZRLDashboardPageAPI::captureAdded(const ZRLDashboardStore::Capture& capture, int64_t id) {
  hub_.tellPage("capture",
                jsonText({{"id", id},
                          {"appId", capture.appId},
                          {"screen", capture.screen ? json(*capture.screen) : json(nullptr)},
                          {"time", capture.time}}));
}

void ZRLDashboardPageAPI::testDeviceAdded(const std::string& appId, const std::string& deviceId,
                                          const std::string& model) {
  hub_.tellPage("test-device", jsonText({{"appId", appId},
                                         {"id", deviceId},
                                         {"model", model},
                                         {"time", ZRLDashboardStore::now()}}));
}

void ZRLDashboardPageAPI::testDeviceRemoved(const std::string& appId, const std::string& deviceId) {
  hub_.tellPage("test-device-deleted", jsonText({{"appId", appId}, {"id", deviceId}}));
}
