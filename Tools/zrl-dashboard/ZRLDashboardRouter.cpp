#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"
#include "Tools/zrl-dashboard/ZRLDashboardPageAPI.h"
#include "Tools/zrl-dashboard/ZRLDashboardPlugin.h"

using json = nlohmann::json;

namespace {

constexpr std::string_view kPNGSignature = "\x89PNG\r\n\x1a\n";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool equalSecrets(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::optional<int64_t> parseId(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

ZRLDashboardResponse jsonAnswer(const json& value, unsigned status = 200) {
  ZRLDashboardResponse response;
  response.status = status;
  // Paths, queries and identifiers need not be UTF-8: ill-formed bytes are
  // written as U+FFFD rather than thrown over (which would end the server).
  response.body = value.dump(-1, ' ', false, json::error_handler_t::replace);
  return response;
}

ZRLDashboardResponse methodNotAllowed(const char* allowed) {
  ZRLDashboardResponse response =
      ZRLDashboardRouter::error(405, std::string("method not allowed; use ") + allowed);
  response.headers.emplace_back("Allow", allowed);
  return response;
}

// A full disk, or a file that cannot be written, is the machine's state
// rather than the dashboard's fault: the client may try again later.
ZRLDashboardResponse storageFailure(const ZRLDashboardStore& store) {
  switch (store.lastFault()) {
    case ZRLDashboardStore::Fault::full:
      return ZRLDashboardRouter::error(507, "storage full: " + store.lastError());
    case ZRLDashboardStore::Fault::unwritable:
      return ZRLDashboardRouter::error(503, "storage unavailable: " + store.lastError());
    default:
      return ZRLDashboardRouter::error(500, "storage failed: " + store.lastError());
  }
}

// The body's outer levels, or the 400 answer.
std::optional<json> readBody(const std::string& body, size_t keptDepth,
                             ZRLDashboardResponse& failure) {
  auto reading = ZRLDashboardJSON::read(body, keptDepth);
  if (reading.fault == ZRLDashboardJSON::Fault::tooDeep) {
    failure = ZRLDashboardRouter::error(400, ZRLDashboardJSON::depthMessage());
    return std::nullopt;
  }
  if (reading.fault != ZRLDashboardJSON::Fault::none) {
    failure = ZRLDashboardRouter::error(400, "the body is not valid JSON");
    return std::nullopt;
  }
  return std::move(reading.value);
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

// The application identifier of the query, or the 400 answer.
std::optional<std::string> requiredAppId(const std::string& query, ZRLDashboardResponse& failure) {
  auto appId = ZRLDashboardQueryValue(query, "appId");
  if (!appId || appId->empty()) {
    failure = ZRLDashboardRouter::error(400, "the query needs a non-empty appId");
    return std::nullopt;
  }
  return appId;
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

std::optional<std::string> ZRLDashboardPercentDecoded(std::string_view text, bool query) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else if (query && text[i] == '+') {
      out.push_back(' ');
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::optional<std::string> ZRLDashboardQueryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const size_t end = std::min(query.find('&'), query.size());
    const std::string_view field = query.substr(0, end);
    const size_t equals = std::min(field.find('='), field.size());
    if (field.substr(0, equals) == name) {
      if (equals == field.size()) return std::string();
      return ZRLDashboardPercentDecoded(field.substr(equals + 1), true);
    }
    query.remove_prefix(std::min(end + 1, query.size()));
  }
  return std::nullopt;
}

std::optional<std::string> ZRLDashboardBase64Decoded(std::string_view text) {
  std::string compact;
  compact.reserve(text.size());
  for (const char c : text)
    if (c != '\r' && c != '\n') compact.push_back(c);
  if (compact.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && padding < compact.size() && compact[compact.size() - 1 - padding] == '=')
    ++padding;
  std::string bytes(compact.size() / 4 * 3, '\0');
  if (compact.empty()) return bytes;
  if (compact.size() > static_cast<size_t>(INT32_MAX)) return std::nullopt;
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(compact.data()),
                                      static_cast<int>(compact.size()));
  if (decoded < 0 || static_cast<size_t>(decoded) != bytes.size()) return std::nullopt;
  bytes.resize(bytes.size() - padding);
  return bytes;
}

ZRLDashboardResponse ZRLDashboardRouter::error(unsigned status, const std::string& message) {
  return jsonAnswer({{"error", message}}, status);
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

  const bool forPlugin = *path == ZRLDashboardPlugin::layoutPath() ||
                         *path == ZRLDashboardPlugin::streamPath() ||
                         *path == ZRLDashboardPlugin::testDevicesPath() ||
                         path->starts_with(ZRLDashboardPlugin::testDevicePathPrefix());
  if (forPlugin) return handlePlugin(request, *path, query);
  return handleDashboard(request, *path, query);
}

ZRLDashboardResponse ZRLDashboardRouter::handlePlugin(const ZRLDashboardRequest& request,
                                                      const std::string& path,
                                                      const std::string& query) {
  const bool removal = path.starts_with(ZRLDashboardPlugin::testDevicePathPrefix());
  std::string deviceId;
  if (removal) {
    deviceId = path.substr(ZRLDashboardPlugin::testDevicePathPrefix().size());
    if (deviceId.empty() || deviceId.find('/') != std::string::npos)
      return error(404, "no such path: " + path);
  }
  const char* allowed = path == ZRLDashboardPlugin::streamPath() ? "GET"
                        : removal                                ? "DELETE"
                                                                 : "POST";
  if (request.method != allowed) return methodNotAllowed(allowed);
  ZRLDashboardResponse failure;
  const auto appId = requiredAppId(query, failure);
  if (!appId) return failure;

  if (path == ZRLDashboardPlugin::layoutPath()) return uploadCapture(*appId, request.body);
  if (path == ZRLDashboardPlugin::streamPath()) {
    ZRLDashboardResponse stream;
    stream.contentType = "text/event-stream";
    stream.streamAppId = *appId;
    if (request.lastEventID) stream.lastEventID = parseId(*request.lastEventID);
    return stream;
  }

  // The test-device endpoints need the plug-in's key.
  if (!request.apiKey || !equalSecrets(*request.apiKey, ZRLDashboardPlugin::apiKey()))
    return error(401, "missing or wrong zrl_ios_key");
  if (removal) {
    const auto removed = store_.removeTestDevice(*appId, deviceId);
    if (!removed) return storageFailure(store_);
    if (*removed) ZRLDashboardPageAPI(store_, hub_).testDeviceRemoved(*appId, deviceId);
    return jsonAnswer({{"removed", *removed}});
  }
  const auto reading = ZRLDashboardJSON::read(request.body, 1);
  if (reading.fault == ZRLDashboardJSON::Fault::tooDeep)
    return error(400, ZRLDashboardJSON::depthMessage());
  const json& body = reading.value;
  if (reading.fault != ZRLDashboardJSON::Fault::none || !body.is_object())
    return error(400, "the body must be a JSON object");
  const auto id = body.find("id");
  const auto model = body.find("model");
  if (id == body.end() || !id->is_string() || id->get_ref<const std::string&>().empty() ||
      model == body.end() || !model->is_string()) {
    return error(400, "the body needs the strings \"id\" (not empty) and \"model\"");
  }
  if (!store_.addTestDevice(*appId, id->get<std::string>(), model->get<std::string>()))
    return storageFailure(store_);
  ZRLDashboardPageAPI(store_, hub_)
      .testDeviceAdded(*appId, id->get<std::string>(), model->get<std::string>());
  return jsonAnswer({{"added", true}});
}

ZRLDashboardResponse ZRLDashboardRouter::uploadCapture(const std::string& appId,
                                                       const std::string& body) {
  // Only the body's outer levels are made values: the layout and the
  // device's facts are stored as the text that the device sent.
  ZRLDashboardResponse failure;
  auto read = readBody(body, 2, failure);
  if (!read) return failure;
  json& upload = *read;
  if (!upload.is_object()) return error(400, "the body must be a JSON object");
  const auto screen = upload.find("screen");
  const auto layout = upload.find("layout");
  const auto device = upload.find("device_info");
  if (screen == upload.end() || !screen->is_object())
    return error(400, "the body needs a \"screen\" object");
  if (layout == upload.end() || !layout->is_array())
    return error(400, "the body needs a \"layout\" array");
  if (device == upload.end() || !device->is_object())
    return error(400, "the body needs a \"device_info\" object");

  ZRLDashboardStore::Capture capture;
  capture.appId = appId;
  capture.time = ZRLDashboardStore::now();
  if (const auto name = screen->find("navigation"); name != screen->end()) {
    if (!name->is_string()) return error(400, "\"screen\".\"navigation\" must be a string");
    capture.screen = name->get<std::string>();
  }
  if (const auto image = screen->find("image"); image != screen->end()) {
    if (!image->is_string()) return error(400, "\"screen\".\"image\" must be a string");
    const auto png = ZRLDashboardBase64Decoded(image->get_ref<const std::string&>());
    if (!png || !png->starts_with(kPNGSignature))
      return error(400, "\"screen\".\"image\" must be base64 text of a PNG");
    capture.image = std::move(image->get_ref<std::string&>());
  }
  // The last of members with one name counts, as when the body is read.
  for (const auto& member : ZRLDashboardJSON::members(body)) {
    if (member.key == "layout") capture.layout = member.text;
    if (member.key == "device_info") capture.deviceInfo = member.text;
  }
  ZRLDashboardStore& store = captureStore_ != nullptr ? *captureStore_ : store_;
  const auto id = store.addCapture(capture);
  if (!id) return storageFailure(store);
  // Tells the page's streams through the hub only: this may run on the
  // uploads' own thread.
  ZRLDashboardPageAPI(store, hub_).captureAdded(capture, *id);
  return jsonAnswer({{"id", *id}});
}

bool ZRLDashboardRouter::hostAccepted(const std::string& host) const {
  std::string port = ":";  // appended: g++ -O3 warns falsely on "..." + to_string()
  port.append(std::to_string(options_.port));
  if (!host.ends_with(port)) return false;
  const std::string_view name = std::string_view(host).substr(0, host.size() - port.size());
  return name == "127.0.0.1" || equalsIgnoringCase(name, "localhost");
}

bool ZRLDashboardRouter::tokenAccepted(const ZRLDashboardRequest& request) const {
  constexpr std::string_view bearer = "Bearer ";
  if (request.authorization.size() > bearer.size() &&
      equalsIgnoringCase(std::string_view(request.authorization).substr(0, bearer.size()),
                         bearer)) {
    return equalSecrets(std::string_view(request.authorization).substr(bearer.size()),
                        options_.token);
  }
  // Cookie: name=value pairs separated by "; ".
  std::string_view cookies = request.cookie;
  const std::string prefix = std::string(kZRLDashboardTokenCookie) + "=";
  while (!cookies.empty()) {
    const size_t end = std::min(cookies.find(';'), cookies.size());
    std::string_view pair = cookies.substr(0, end);
    while (!pair.empty() && pair.front() == ' ')
      pair.remove_prefix(1);
    if (pair.starts_with(prefix) && equalSecrets(pair.substr(prefix.size()), options_.token))
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
  if (api && parts[1] == "captures" && parts.size() >= 3) captureId = parseId(parts[2]);
  const bool known =
      page || forPageAPI ||
      (api && parts.size() == 2 &&
       (parts[1] == "captures" || parts[1] == "test-devices" || parts[1] == "previews")) ||
      (api && captureId && parts.size() == 3) ||
      (api && captureId && parts.size() == 4 && parts[3] == "screenshot.png");
  if (!known) return error(404, "no such path: " + path);

  // The first visit brings the token in the query; the answer keeps it in
  // a cookie and sends the browser on to the address without it.
  if (page) {
    if (const auto token = ZRLDashboardQueryValue(query, "token")) {
      if (!equalSecrets(*token, options_.token)) return error(401, "wrong token");
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
    if (request.method != "GET") return methodNotAllowed("GET");
    return staticFile(path == "/" ? "index.html" : path.substr(1));
  }
  if (forPageAPI) return ZRLDashboardPageAPI(store_, hub_).handle(request, parts, query);
  const std::string& resource = parts[1];
  if (resource == "previews") {
    if (request.method != "POST") return methodNotAllowed("GET, POST");
  } else if (request.method != "GET") {
    return methodNotAllowed(captureId ? "GET, DELETE" : "GET");
  }
  if (captureId) return captureDetails(*captureId, parts.size() == 4);

  ZRLDashboardResponse failure;
  const auto appId = requiredAppId(query, failure);
  if (!appId) return failure;
  if (resource == "previews") return pushPreview(*appId, request.body);
  const auto devices = store_.testDevices(*appId);
  if (!devices) return storageFailure(store_);
  json answer = json::array();
  for (const auto& device : *devices)
    answer.push_back({{"id", device.id}, {"model", device.model}, {"time", device.time}});
  return jsonAnswer(answer);
}

ZRLDashboardResponse ZRLDashboardRouter::captureDetails(int64_t id, bool screenshot) {
  const auto found = store_.capture(id);
  if (!found) return storageFailure(store_);
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
  ZRLDashboardResponse response = jsonAnswer(answer);
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
  const auto config = readBody(body, 0, failure);
  if (!config) return failure;
  if (!config->is_object()) return error(400, "the configuration must be a JSON object");
  // Without the white space between its tokens the text has no line
  // break (a string holds none unescaped): one "data" line.
  const auto pushed =
      ZRLDashboardPageAPI(store_, hub_).push(appId, ZRLDashboardJSON::compact(body));
  if (!pushed) return storageFailure(store_);
  return jsonAnswer({{"id", pushed->id}, {"delivered", pushed->delivered}});
}

void ZRLDashboardRouter::subscribe(const std::string& appId, std::optional<int64_t> lastEventID,
                                   const std::shared_ptr<ZRLDashboardStreamSink>& sink) {
  if (lastEventID) {
    const auto missed = store_.previewsAfter(appId, *lastEventID);
    if (!missed) {
      // Joining without the replay would lose previews silently: end the
      // stream and let the client come back with its last id.
      sink->close();
      return;
    }
    for (const auto& preview : *missed)
      sink->deliver(
          std::make_shared<const std::string>(ZRLDashboardEventBlock(preview.id, preview.config)),
          true);
  }
  hub_.join(appId, sink);
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
