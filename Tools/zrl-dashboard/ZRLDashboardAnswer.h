#pragma once
// What the dashboard's endpoints (the router, the plug-in's and the page's
// APIs) share in their answers: JSON that never throws over a client's
// bytes, the 405 with its Allow header, a store's failures told apart, and
// the pieces of a request that several of them read.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"
#include "Tools/zrl-dashboard/ZRLDashboardStore.h"

struct ZRLDashboardAnswer {
  // The value's JSON text. Paths, queries and identifiers need not be
  // UTF-8: ill-formed bytes are written as U+FFFD rather than thrown over
  // (which would end the server).
  static std::string text(const nlohmann::json& value);
  static ZRLDashboardResponse json(const nlohmann::json& value, unsigned status = 200);
  static ZRLDashboardResponse methodNotAllowed(const char* allowed);
  // A full disk (507), or a file that cannot be written (503), is the
  // machine's state rather than the dashboard's fault: the client may try
  // again later. Anything else is a 500.
  static ZRLDashboardResponse storageFailure(const ZRLDashboardStore& store);

  // The query's application identifier, or null with the 400 answer.
  static std::optional<std::string> appId(const std::string& query, ZRLDashboardResponse& failure);
  // A decimal identifier or count; null for anything else, a sign included.
  static std::optional<int64_t> number(std::string_view text);
  // The body's outer levels (as ZRLDashboardJSON::read keeps them), or null
  // with the 400 answer.
  static std::optional<nlohmann::json> body(const std::string& body, size_t keptDepth,
                                            ZRLDashboardResponse& failure);
  // Compares secrets in a time that does not tell where they differ.
  static bool equalSecrets(std::string_view a, std::string_view b);
};
