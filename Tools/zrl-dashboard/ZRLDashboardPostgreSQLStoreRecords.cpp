// The PostgreSQL store's queries: captures, test devices, previews and the
// applications they name. The connection, its schema and its faults are in
// ZRLDashboardPostgreSQLStore.cpp. Each write is one statement, committed
// on its own.
#include <libpq-fe.h>

#include <charconv>
#include <cstdint>
#include <string_view>

#include "Tools/zrl-dashboard/ZRLDashboardPostgreSQLStore.h"

namespace {

std::string text(const PGresult* result, int row, int column) {
  return {PQgetvalue(result, row, column), static_cast<size_t>(PQgetlength(result, row, column))};
}
std::optional<std::string> optionalText(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column) != 0) return std::nullopt;
  return text(result, row, column);
}
int64_t integer(const PGresult* result, int row, int column) {
  const char* value = PQgetvalue(result, row, column);
  int64_t number = 0;
  std::from_chars(value, value + PQgetlength(result, row, column), number);
  return number;
}
std::optional<std::string> number(int64_t value) {
  return std::to_string(value);
}

ZRLDashboardStore::PushedPreview previewOfRow(const PGresult* result, int row) {
  ZRLDashboardStore::PushedPreview preview;
  preview.id = integer(result, row, 0);
  preview.appId = text(result, row, 1);
  preview.config = text(result, row, 2);
  preview.time = text(result, row, 3);
  if (PQgetisnull(result, row, 4) == 0) preview.delivered = integer(result, row, 4);
  return preview;
}

std::vector<ZRLDashboardStore::PushedPreview> previewsOf(const PGresult* result) {
  std::vector<ZRLDashboardStore::PushedPreview> list;
  list.reserve(static_cast<size_t>(PQntuples(result)));
  for (int row = 0; row < PQntuples(result); ++row)
    list.push_back(previewOfRow(result, row));
  return list;
}

}  // namespace

std::optional<int64_t> ZRLDashboardPostgreSQLStore::addCapture(const Capture& capture) {
  const auto result =
      run("storing the capture",
          "INSERT INTO captures (app_id, screen, layout, device_info, image, created)"
          " VALUES ($1, $2, $3, $4, $5, $6) RETURNING id",
          {capture.appId, capture.screen, capture.layout, capture.deviceInfo, capture.image,
           capture.time});
  if (!result) return std::nullopt;
  wrote();
  return integer(result.get(), 0, 0);
}

std::optional<std::vector<ZRLDashboardStore::Capture>> ZRLDashboardPostgreSQLStore::captures(
    const std::string& appId, std::optional<int64_t> before, int64_t limit) {
  // LIMIT NULL is no limit.
  const auto result =
      run("reading the captures",
          "SELECT id, screen, created FROM captures WHERE app_id = $1 AND id < $2"
          " ORDER BY id DESC LIMIT $3",
          {appId, number(before.value_or(INT64_MAX)), limit < 0 ? std::nullopt : number(limit)});
  if (!result) return std::nullopt;
  std::vector<Capture> list;
  list.reserve(static_cast<size_t>(PQntuples(result.get())));
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    Capture capture;
    capture.id = integer(result.get(), row, 0);
    capture.appId = appId;
    capture.screen = optionalText(result.get(), row, 1);
    capture.time = text(result.get(), row, 2);
    list.push_back(std::move(capture));
  }
  return list;
}

std::optional<std::optional<ZRLDashboardStore::Capture>> ZRLDashboardPostgreSQLStore::capture(
    int64_t id) {
  const auto result =
      run("reading the capture",
          "SELECT app_id, screen, created, layout, device_info, image FROM captures WHERE id = $1",
          {number(id)});
  if (!result) return std::nullopt;
  if (PQntuples(result.get()) == 0) return std::optional<Capture>();
  Capture capture;
  capture.id = id;
  capture.appId = text(result.get(), 0, 0);
  capture.screen = optionalText(result.get(), 0, 1);
  capture.time = text(result.get(), 0, 2);
  capture.layout = text(result.get(), 0, 3);
  capture.deviceInfo = text(result.get(), 0, 4);
  capture.image = optionalText(result.get(), 0, 5);
  return std::optional<Capture>(std::move(capture));
}

std::optional<std::optional<std::string>> ZRLDashboardPostgreSQLStore::removeCapture(int64_t id) {
  const auto result = run("removing the capture",
                          "DELETE FROM captures WHERE id = $1 RETURNING app_id", {number(id)});
  if (!result) return std::nullopt;
  wrote();
  if (PQntuples(result.get()) == 0) return std::optional<std::string>();
  return std::optional<std::string>(text(result.get(), 0, 0));
}

bool ZRLDashboardPostgreSQLStore::addTestDevice(const std::string& appId,
                                                const std::string& deviceId,
                                                const std::string& model) {
  const auto result =
      run("storing the test device",
          "INSERT INTO test_devices (app_id, device_id, model, created) VALUES ($1, $2, $3, $4)"
          " ON CONFLICT (app_id, device_id) DO UPDATE SET model = excluded.model,"
          " created = excluded.created",
          {appId, deviceId, model, now()});
  if (!result) return false;
  wrote();
  return true;
}

std::optional<bool> ZRLDashboardPostgreSQLStore::removeTestDevice(const std::string& appId,
                                                                  const std::string& deviceId) {
  const auto result =
      run("removing the test device",
          "DELETE FROM test_devices WHERE app_id = $1 AND device_id = $2", {appId, deviceId});
  if (!result) return std::nullopt;
  wrote();
  return std::string_view(PQcmdTuples(result.get())) != "0";
}

std::optional<std::vector<ZRLDashboardStore::TestDevice>> ZRLDashboardPostgreSQLStore::testDevices(
    const std::string& appId) {
  // Byte order, as SQLite sorts, whatever the database's collation.
  const auto result = run("reading the test devices",
                          "SELECT device_id, model, created FROM test_devices WHERE app_id = $1"
                          " ORDER BY created DESC, device_id COLLATE \"C\"",
                          {appId});
  if (!result) return std::nullopt;
  std::vector<TestDevice> list;
  list.reserve(static_cast<size_t>(PQntuples(result.get())));
  for (int row = 0; row < PQntuples(result.get()); ++row)
    list.push_back(
        {text(result.get(), row, 0), text(result.get(), row, 1), text(result.get(), row, 2)});
  return list;
}

std::optional<int64_t> ZRLDashboardPostgreSQLStore::addPreview(const std::string& appId,
                                                               const std::string& config) {
  // The ids come from one sequence, but two transactions may take theirs
  // and commit in the other order; a stream that was handed the later one
  // would never be replayed the earlier. The lock, held until the commit,
  // makes the previews visible in the order of their ids. The notice goes
  // out with the commit, to every dashboard that listens.
  const auto result = run("storing the preview",
                          "WITH turn AS (SELECT pg_advisory_xact_lock(7283451903)),"
                          " added AS (INSERT INTO previews (app_id, config, created)"
                          " SELECT $1, $2, $3 FROM turn RETURNING id)"
                          " SELECT id, pg_notify('zrl_dashboard_previews', id::TEXT) FROM added",
                          {appId, config, now()});
  if (!result || PQntuples(result.get()) != 1) return std::nullopt;
  wrote();
  return integer(result.get(), 0, 0);
}

std::optional<std::vector<ZRLDashboardStore::Preview>> ZRLDashboardPostgreSQLStore::previewsAfter(
    const std::string& appId, int64_t afterId) {
  const auto result =
      run("reading the previews",
          "SELECT id, config FROM previews WHERE app_id = $1 AND id > $2 ORDER BY id",
          {appId, number(afterId)});
  if (!result) return std::nullopt;
  std::vector<Preview> list;
  list.reserve(static_cast<size_t>(PQntuples(result.get())));
  for (int row = 0; row < PQntuples(result.get()); ++row)
    list.push_back({integer(result.get(), row, 0), text(result.get(), row, 1)});
  return list;
}

std::optional<std::vector<ZRLDashboardStore::PushedPreview>>
ZRLDashboardPostgreSQLStore::allPreviewsAfter(int64_t afterId) {
  const auto result = run("reading the previews",
                          "SELECT id, app_id, config, created, delivered FROM previews"
                          " WHERE id > $1 ORDER BY id",
                          {number(afterId)});
  if (!result) return std::nullopt;
  return previewsOf(result.get());
}

std::optional<int64_t> ZRLDashboardPostgreSQLStore::lastPreviewId() {
  const auto result = run("reading the previews", "SELECT COALESCE(MAX(id), 0) FROM previews", {});
  if (!result || PQntuples(result.get()) != 1) return std::nullopt;
  return integer(result.get(), 0, 0);
}

bool ZRLDashboardPostgreSQLStore::setPreviewDelivered(int64_t id, int64_t delivered) {
  const auto result = run("storing the preview's delivery",
                          "UPDATE previews SET delivered = COALESCE(delivered, 0) + $2"
                          " WHERE id = $1",
                          {number(id), number(delivered)});
  if (!result) return false;
  wrote();
  return true;
}

std::optional<std::vector<ZRLDashboardStore::PushedPreview>>
ZRLDashboardPostgreSQLStore::recentPreviews(const std::string& appId, int64_t limit) {
  const auto result =
      run("reading the previews",
          "SELECT id, app_id, config, created, delivered FROM previews WHERE app_id = $1"
          " ORDER BY id DESC LIMIT $2",
          {appId, limit < 0 ? std::nullopt : number(limit)});
  if (!result) return std::nullopt;
  return previewsOf(result.get());
}

std::optional<std::optional<ZRLDashboardStore::PushedPreview>> ZRLDashboardPostgreSQLStore::preview(
    int64_t id) {
  const auto result = run(
      "reading the preview",
      "SELECT id, app_id, config, created, delivered FROM previews WHERE id = $1", {number(id)});
  if (!result) return std::nullopt;
  if (PQntuples(result.get()) == 0) return std::optional<PushedPreview>();
  return std::optional<PushedPreview>(previewOfRow(result.get(), 0));
}

std::optional<std::vector<ZRLDashboardStore::App>> ZRLDashboardPostgreSQLStore::apps() {
  const auto result =
      run("reading the applications",
          "SELECT app_id, SUM(captures)::BIGINT, SUM(devices)::BIGINT, MAX(seen) FROM ("
          " SELECT app_id, COUNT(*) AS captures, 0 AS devices, MAX(created) AS seen"
          " FROM captures GROUP BY app_id"
          " UNION ALL"
          " SELECT app_id, 0, COUNT(*), MAX(created) FROM test_devices GROUP BY app_id) AS counted"
          " GROUP BY app_id");
  if (!result) return std::nullopt;
  std::vector<App> list;
  list.reserve(static_cast<size_t>(PQntuples(result.get())));
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    list.push_back({text(result.get(), row, 0), integer(result.get(), row, 1),
                    integer(result.get(), row, 2), text(result.get(), row, 3)});
  }
  return list;
}
