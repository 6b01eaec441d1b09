#include "Tools/zrl-dashboard/ZRLDashboardPageAPI.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardAnswer.h"
#include "Tools/zrl-dashboard/ZRLDashboardEncoding.h"
#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"

using json = nlohmann::json;

namespace {

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
  std::string text = ZRLDashboardAnswer::text(entry);
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
    if (request.method != "GET")
      return ZRLDashboardAnswer::methodNotAllowed(resource == "apps" ? "GET" : "GET, POST");
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
    if (request.method != "DELETE") return ZRLDashboardAnswer::methodNotAllowed("DELETE");
    return removeTestDevice(parts[2], query);
  }
  const auto id = ZRLDashboardAnswer::number(parts[2]);
  if (resource == "captures") {
    if (!id) return ZRLDashboardRouter::error(404, "no capture " + parts[2]);
    return removeCapture(*id);
  }
  if (request.method != "POST") return ZRLDashboardAnswer::methodNotAllowed("POST");
  if (!id) return ZRLDashboardRouter::error(404, "no preview " + parts[2]);
  return pushAgain(*id);
}

ZRLDashboardResponse ZRLDashboardPageAPI::apps() {
  const auto stored = store_.apps();
  if (!stored) return ZRLDashboardAnswer::storageFailure(store_);
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
  return ZRLDashboardAnswer::json(json(std::move(list)));
}

ZRLDashboardResponse ZRLDashboardPageAPI::captures(const std::string& query) {
  ZRLDashboardResponse failure;
  const auto appId = ZRLDashboardAnswer::appId(query, failure);
  if (!appId) return failure;
  std::optional<int64_t> before;
  if (const auto text = ZRLDashboardQueryValue(query, "before")) {
    before = ZRLDashboardAnswer::number(*text);
    if (!before) return ZRLDashboardRouter::error(400, "before must be a capture id: " + *text);
  }
  int64_t limit = kCapturesPerPage;
  if (const auto text = ZRLDashboardQueryValue(query, "limit")) {
    const auto asked = ZRLDashboardAnswer::number(*text);
    if (!asked || *asked < 1 || *asked > kMostCapturesPerPage)
      return ZRLDashboardRouter::error(
          400,
          "limit must lie between 1 and " + std::to_string(kMostCapturesPerPage) + ": " + *text);
    limit = *asked;
  }
  const auto list = store_.captures(*appId, before, limit);
  if (!list) return ZRLDashboardAnswer::storageFailure(store_);
  json result = json::array();
  for (const auto& capture : *list) {
    result.push_back({{"id", capture.id},
                      {"appId", capture.appId},
                      {"screen", capture.screen ? json(*capture.screen) : json(nullptr)},
                      {"time", capture.time}});
  }
  return ZRLDashboardAnswer::json(result);
}

ZRLDashboardResponse ZRLDashboardPageAPI::history(const std::string& query) {
  ZRLDashboardResponse failure;
  const auto appId = ZRLDashboardAnswer::appId(query, failure);
  if (!appId) return failure;
  const auto list = store_.recentPreviews(*appId, kHistoryLength);
  if (!list) return ZRLDashboardAnswer::storageFailure(store_);
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
  // Where the hand-out stands is known before the preview is added, so
  // that the catch-up after it hands it out.
  if (fanOut_ == nullptr || !fanOut_->handedOut()) return std::nullopt;
  const auto id = store_.addPreview(appId, config);
  if (!id) return std::nullopt;
  if (fanOut_->metrics != nullptr) fanOut_->metrics->pushed();
  // The preview is stored: when it cannot be read back at once, the next
  // catch-up hands it out, and the push stands.
  Pushed pushed{*id, 0};
  if (const auto handed = fanOut_->catchUp()) {
    if (const auto streams = handed->find(*id); streams != handed->end())
      pushed.delivered = streams->second;
  }
  return pushed;
}

void ZRLDashboardPageAPI::previewHandedOut(const ZRLDashboardStore::PushedPreview& preview,
                                           std::optional<int64_t> delivered) {
  hub_.tellPage("preview",
                historyEntry(preview.id, preview.time, preview.config, delivered, &preview.appId));
}

ZRLDashboardResponse ZRLDashboardPageAPI::pushAgain(int64_t id) {
  const auto found = store_.preview(id);
  if (!found) return ZRLDashboardAnswer::storageFailure(store_);
  if (!*found) return ZRLDashboardRouter::error(404, "no preview " + std::to_string(id));
  const auto pushed = push((*found)->appId, (*found)->config);
  if (!pushed) return ZRLDashboardAnswer::storageFailure(store_);
  return ZRLDashboardAnswer::json({{"id", pushed->id}, {"delivered", pushed->delivered}});
}

ZRLDashboardResponse ZRLDashboardPageAPI::removeCapture(int64_t id) {
  const auto removed = store_.removeCapture(id);
  if (!removed) return ZRLDashboardAnswer::storageFailure(store_);
  if (!*removed) return ZRLDashboardRouter::error(404, "no capture " + std::to_string(id));
  hub_.tellPage("capture-deleted", ZRLDashboardAnswer::text({{"appId", **removed}, {"id", id}}));
  return ZRLDashboardAnswer::json({{"deleted", true}});
}

ZRLDashboardResponse ZRLDashboardPageAPI::removeTestDevice(const std::string& deviceId,
                                                           const std::string& query) {
  ZRLDashboardResponse failure;
  const auto appId = ZRLDashboardAnswer::appId(query, failure);
  if (!appId) return failure;
  const auto removed = store_.removeTestDevice(*appId, deviceId);
  if (!removed) return ZRLDashboardAnswer::storageFailure(store_);
  if (!*removed)
    return ZRLDashboardRouter::error(404, "no test device " + deviceId + " of " + *appId);
  testDeviceRemoved(*appId, deviceId);
  return ZRLDashboardAnswer::json({{"deleted", true}});
}

void ZRLDashboardPageAPI::captureAdded(const ZRLDashboardStore::Capture& capture, int64_t id) {
  hub_.tellPage("capture", ZRLDashboardAnswer::text(
                               {{"id", id},
                                {"appId", capture.appId},
                                {"screen", capture.screen ? json(*capture.screen) : json(nullptr)},
                                {"time", capture.time}}));
}

void ZRLDashboardPageAPI::testDeviceAdded(const std::string& appId, const std::string& deviceId,
                                          const std::string& model) {
  hub_.tellPage("test-device", ZRLDashboardAnswer::text({{"appId", appId},
                                                         {"id", deviceId},
                                                         {"model", model},
                                                         {"time", ZRLDashboardStore::now()}}));
}

void ZRLDashboardPageAPI::testDeviceRemoved(const std::string& appId, const std::string& deviceId) {
  hub_.tellPage("test-device-deleted",
                ZRLDashboardAnswer::text({{"appId", appId}, {"id", deviceId}}));
}
