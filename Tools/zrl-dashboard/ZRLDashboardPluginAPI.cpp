#include "Tools/zrl-dashboard/ZRLDashboardPluginAPI.h"

#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardAnswer.h"
#include "Tools/zrl-dashboard/ZRLDashboardEncoding.h"
#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"
#include "Tools/zrl-dashboard/ZRLDashboardPageAPI.h"
#include "Tools/zrl-dashboard/ZRLDashboardPlugin.h"

using json = nlohmann::json;

namespace {

constexpr std::string_view kPNGSignature = "\x89PNG\r\n\x1a\n";

}  // namespace

bool ZRLDashboardPluginAPI::handles(const std::string& path) {
  return path == ZRLDashboardPlugin::layoutPath() || path == ZRLDashboardPlugin::streamPath() ||
         path == ZRLDashboardPlugin::testDevicesPath() ||
         path.starts_with(ZRLDashboardPlugin::testDevicePathPrefix());
}

ZRLDashboardResponse ZRLDashboardPluginAPI::handle(const ZRLDashboardRequest& request,
                                                   const std::string& path,
                                                   const std::string& query) {
  const bool removal = path.starts_with(ZRLDashboardPlugin::testDevicePathPrefix());
  std::string deviceId;
  if (removal) {
    deviceId = path.substr(ZRLDashboardPlugin::testDevicePathPrefix().size());
    if (deviceId.empty() || deviceId.find('/') != std::string::npos)
      return ZRLDashboardRouter::error(404, "no such path: " + path);
  }
  const char* allowed = path == ZRLDashboardPlugin::streamPath() ? "GET"
                        : removal                                ? "DELETE"
                                                                 : "POST";
  if (request.method != allowed) return ZRLDashboardAnswer::methodNotAllowed(allowed);
  ZRLDashboardResponse failure;
  const auto appId = ZRLDashboardAnswer::appId(query, failure);
  if (!appId) return failure;

  if (path == ZRLDashboardPlugin::layoutPath()) return uploadCapture(*appId, request.body);
  if (path == ZRLDashboardPlugin::streamPath()) {
    ZRLDashboardResponse stream;
    stream.contentType = "text/event-stream";
    stream.streamAppId = *appId;
    if (request.lastEventID) stream.lastEventID = ZRLDashboardAnswer::number(*request.lastEventID);
    return stream;
  }

  // The test-device endpoints need the plug-in's key.
  if (!request.apiKey ||
      !ZRLDashboardAnswer::equalSecrets(*request.apiKey, ZRLDashboardPlugin::apiKey()))
    return ZRLDashboardRouter::error(401, "missing or wrong zrl_ios_key");
  if (removal) {
    const auto removed = store_.removeTestDevice(*appId, deviceId);
    if (!removed) return ZRLDashboardAnswer::storageFailure(store_);
    if (*removed) ZRLDashboardPageAPI(store_, hub_).testDeviceRemoved(*appId, deviceId);
    return ZRLDashboardAnswer::json({{"removed", *removed}});
  }
  const auto reading = ZRLDashboardJSON::read(request.body, 1);
  if (reading.fault == ZRLDashboardJSON::Fault::tooDeep)
    return ZRLDashboardRouter::error(400, ZRLDashboardJSON::depthMessage());
  const json& body = reading.value;
  if (reading.fault != ZRLDashboardJSON::Fault::none || !body.is_object())
    return ZRLDashboardRouter::error(400, "the body must be a JSON object");
  const auto id = body.find("id");
  const auto model = body.find("model");
  if (id == body.end() || !id->is_string() || id->get_ref<const std::string&>().empty() ||
      model == body.end() || !model->is_string()) {
    return ZRLDashboardRouter::error(400,
                                     "the body needs the strings \"id\" (not empty) and \"model\"");
  }
  if (!store_.addTestDevice(*appId, id->get<std::string>(), model->get<std::string>()))
    return ZRLDashboardAnswer::storageFailure(store_);
  ZRLDashboardPageAPI(store_, hub_)
      .testDeviceAdded(*appId, id->get<std::string>(), model->get<std::string>());
  return ZRLDashboardAnswer::json({{"added", true}});
}

ZRLDashboardResponse ZRLDashboardPluginAPI::uploadCapture(const std::string& appId,
                                                          const std::string& body) {
  // Only the body's outer levels are made values: the layout and the
  // device's facts are stored as the text that the device sent.
  ZRLDashboardResponse failure;
  auto read = ZRLDashboardAnswer::body(body, 2, failure);
  if (!read) return failure;
  json& upload = *read;
  if (!upload.is_object()) return ZRLDashboardRouter::error(400, "the body must be a JSON object");
  const auto screen = upload.find("screen");
  const auto layout = upload.find("layout");
  const auto device = upload.find("device_info");
  if (screen == upload.end() || !screen->is_object())
    return ZRLDashboardRouter::error(400, "the body needs a \"screen\" object");
  if (layout == upload.end() || !layout->is_array())
    return ZRLDashboardRouter::error(400, "the body needs a \"layout\" array");
  if (device == upload.end() || !device->is_object())
    return ZRLDashboardRouter::error(400, "the body needs a \"device_info\" object");

  ZRLDashboardStore::Capture capture;
  capture.appId = appId;
  capture.time = ZRLDashboardStore::now();
  if (const auto name = screen->find("navigation"); name != screen->end()) {
    if (!name->is_string())
      return ZRLDashboardRouter::error(400, "\"screen\".\"navigation\" must be a string");
    capture.screen = name->get<std::string>();
  }
  if (const auto image = screen->find("image"); image != screen->end()) {
    if (!image->is_string())
      return ZRLDashboardRouter::error(400, "\"screen\".\"image\" must be a string");
    const auto png = ZRLDashboardBase64Decoded(image->get_ref<const std::string&>());
    if (!png || !png->starts_with(kPNGSignature))
      return ZRLDashboardRouter::error(400, "\"screen\".\"image\" must be base64 text of a PNG");
    capture.image = std::move(image->get_ref<std::string&>());
  }
  // The last of members with one name counts, as when the body is read.
  for (const auto& member : ZRLDashboardJSON::members(body)) {
    if (member.key == "layout") capture.layout = member.text;
    if (member.key == "device_info") capture.deviceInfo = member.text;
  }
  const auto id = store_.addCapture(capture);
  if (!id) return ZRLDashboardAnswer::storageFailure(store_);
  // Tells the page's streams through the hub only: this may run on the
  // uploads' own thread.
  ZRLDashboardPageAPI(store_, hub_).captureAdded(capture, *id);
  return ZRLDashboardAnswer::json({{"id", *id}});
}
