#include "Tools/zrl-dashboard/ZRLDashboardAnswer.h"

#include <openssl/crypto.h>

#include <charconv>

#include "Tools/zrl-dashboard/ZRLDashboardEncoding.h"
#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"

std::string ZRLDashboardAnswer::text(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

ZRLDashboardResponse ZRLDashboardAnswer::json(const nlohmann::json& value, unsigned status) {
  ZRLDashboardResponse response;
  response.status = status;
  response.body = text(value);
  return response;
}

ZRLDashboardResponse ZRLDashboardAnswer::methodNotAllowed(const char* allowed) {
  ZRLDashboardResponse response =
      ZRLDashboardRouter::error(405, std::string("method not allowed; use ") + allowed);
  response.headers.emplace_back("Allow", allowed);
  return response;
}

ZRLDashboardResponse ZRLDashboardAnswer::storageFailure(const ZRLDashboardStore& store) {
  switch (store.lastFault()) {
    case ZRLDashboardStore::Fault::full:
      return ZRLDashboardRouter::error(507, "storage full: " + store.lastError());
    case ZRLDashboardStore::Fault::unwritable:
      return ZRLDashboardRouter::error(503, "storage unavailable: " + store.lastError());
    default:
      return ZRLDashboardRouter::error(500, "storage failed: " + store.lastError());
  }
}

std::optional<std::string> ZRLDashboardAnswer::appId(const std::string& query,
                                                     ZRLDashboardResponse& failure) {
  auto appId = ZRLDashboardQueryValue(query, "appId");
  if (!appId || appId->empty()) {
    failure = ZRLDashboardRouter::error(400, "the query needs a non-empty appId");
    return std::nullopt;
  }
  return appId;
}

std::optional<int64_t> ZRLDashboardAnswer::number(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

std::optional<nlohmann::json> ZRLDashboardAnswer::body(const std::string& body, size_t keptDepth,
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

bool ZRLDashboardAnswer::equalSecrets(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
