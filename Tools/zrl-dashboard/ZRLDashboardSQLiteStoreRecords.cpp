// The records' queries: captures, test devices, previews and the
// applications they name. The connection, its schema and its transactions
// are in ZRLDashboardSQLiteStore.cpp.
#include "Tools/zrl-dashboard/ZRLDashboardSQLiteStore.h"

namespace {

// Resets a prepared statement and clears its bindings when a use ends,
// whichever way it ends.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* statement) : statement_(statement) {}
  ~StatementUse() {
    if (statement_ != nullptr) {
      sqlite3_reset(statement_);
      sqlite3_clear_bindings(statement_);
    }
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  sqlite3_stmt* get() const { return statement_; }
  explicit operator bool() const { return statement_ != nullptr; }

 private:
  sqlite3_stmt* statement_;
};

bool bindText(sqlite3_stmt* statement, int index, const std::string& text) {
  return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                             SQLITE_UTF8) == SQLITE_OK;
}
bool bindOptionalText(sqlite3_stmt* statement, int index, const std::optional<std::string>& text) {
  return text ? bindText(statement, index, *text)
              : sqlite3_bind_null(statement, index) == SQLITE_OK;
}
std::string columnText(sqlite3_stmt* statement, int column) {
  const auto* text = sqlite3_column_text(statement, column);
  if (text == nullptr) return {};
  return {reinterpret_cast<const char*>(text),
          static_cast<size_t>(sqlite3_column_bytes(statement, column))};
}
std::optional<std::string> columnOptionalText(sqlite3_stmt* statement, int column) {
  if (sqlite3_column_type(statement, column) == SQLITE_NULL) return std::nullopt;
  return columnText(statement, column);
}

ZRLDashboardSQLiteStore::PushedPreview previewOfRow(sqlite3_stmt* statement) {
  ZRLDashboardSQLiteStore::PushedPreview preview;
  preview.id = sqlite3_column_int64(statement, 0);
  preview.appId = columnText(statement, 1);
  preview.config = columnText(statement, 2);
  preview.time = columnText(statement, 3);
  if (sqlite3_column_type(statement, 4) != SQLITE_NULL)
    preview.delivered = sqlite3_column_int64(statement, 4);
  return preview;
}

}  // namespace

std::optional<int64_t> ZRLDashboardSQLiteStore::addCapture(const Capture& capture) {
  static const char* const sql =
      "INSERT INTO captures (app_id, screen, layout, device_info, image, created)"
      " VALUES (?1, ?2, ?3, ?4, ?5, ?6)";
  StatementUse use(prepare(sql));
  if (!use || !begin()) return std::nullopt;
  sqlite3_stmt* s = use.get();
  if (!bindText(s, 1, capture.appId) || !bindOptionalText(s, 2, capture.screen) ||
      !bindText(s, 3, capture.layout) || !bindText(s, 4, capture.deviceInfo) ||
      !bindOptionalText(s, 5, capture.image) || !bindText(s, 6, capture.time) ||
      sqlite3_step(s) != SQLITE_DONE) {
    fail("storing the capture");
    rollback();
    return std::nullopt;
  }
  const int64_t id = sqlite3_last_insert_rowid(db_);
  if (!commit()) return std::nullopt;
  return id;
}

std::optional<std::vector<ZRLDashboardSQLiteStore::Capture>> ZRLDashboardSQLiteStore::captures(
    const std::string& appId, std::optional<int64_t> before, int64_t limit) {
  static const char* const sql =
      "SELECT id, screen, created FROM captures WHERE app_id = ?1 AND id < ?2"
      " ORDER BY id DESC LIMIT ?3";
  StatementUse use(prepare(sql));
  if (!use || !bindText(use.get(), 1, appId) ||
      sqlite3_bind_int64(use.get(), 2, before.value_or(INT64_MAX)) != SQLITE_OK ||
      sqlite3_bind_int64(use.get(), 3, limit) != SQLITE_OK) {
    return std::nullopt;
  }
  std::vector<Capture> list;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(use.get())) == SQLITE_ROW) {
    Capture capture;
    capture.id = sqlite3_column_int64(use.get(), 0);
    capture.appId = appId;
    capture.screen = columnOptionalText(use.get(), 1);
    capture.time = columnText(use.get(), 2);
    list.push_back(std::move(capture));
  }
  if (step != SQLITE_DONE) {
    fail("reading the captures");
    return std::nullopt;
  }
  return list;
}

std::optional<std::optional<ZRLDashboardSQLiteStore::Capture>> ZRLDashboardSQLiteStore::capture(
    int64_t id) {
  static const char* const sql =
      "SELECT app_id, screen, created, layout, device_info, image FROM captures WHERE id = ?1";
  StatementUse use(prepare(sql));
  if (!use || sqlite3_bind_int64(use.get(), 1, id) != SQLITE_OK) return std::nullopt;
  const int step = sqlite3_step(use.get());
  if (step == SQLITE_DONE) return std::optional<Capture>();
  if (step != SQLITE_ROW) {
    fail("reading the capture");
    return std::nullopt;
  }
  Capture capture;
  capture.id = id;
  capture.appId = columnText(use.get(), 0);
  capture.screen = columnOptionalText(use.get(), 1);
  capture.time = columnText(use.get(), 2);
  capture.layout = columnText(use.get(), 3);
  capture.deviceInfo = columnText(use.get(), 4);
  capture.image = columnOptionalText(use.get(), 5);
  return std::optional<Capture>(std::move(capture));
}

std::optional<std::optional<std::string>> ZRLDashboardSQLiteStore::removeCapture(int64_t id) {
  static const char* const sql = "DELETE FROM captures WHERE id = ?1 RETURNING app_id";
  StatementUse use(prepare(sql));
  if (!use || !begin()) return std::nullopt;
  std::optional<std::string> appId;
  int step = SQLITE_ROW;
  if (sqlite3_bind_int64(use.get(), 1, id) == SQLITE_OK) {
    while ((step = sqlite3_step(use.get())) == SQLITE_ROW)
      appId = columnText(use.get(), 0);
  } else {
    step = SQLITE_ERROR;
  }
  if (step != SQLITE_DONE) {
    fail("removing the capture");
    rollback();
    return std::nullopt;
  }
  if (!commit()) return std::nullopt;
  return appId;
}

bool ZRLDashboardSQLiteStore::addTestDevice(const std::string& appId, const std::string& deviceId,
                                            const std::string& model) {
  static const char* const sql =
      "INSERT INTO test_devices (app_id, device_id, model, created) VALUES (?1, ?2, ?3, ?4)"
      " ON CONFLICT (app_id, device_id) DO UPDATE SET model = excluded.model,"
      " created = excluded.created";
  StatementUse use(prepare(sql));
  if (!use || !begin()) return false;
  sqlite3_stmt* s = use.get();
  if (!bindText(s, 1, appId) || !bindText(s, 2, deviceId) || !bindText(s, 3, model) ||
      !bindText(s, 4, now()) || sqlite3_step(s) != SQLITE_DONE) {
    fail("storing the test device");
    rollback();
    return false;
  }
  return commit();
}

std::optional<bool> ZRLDashboardSQLiteStore::removeTestDevice(const std::string& appId,
                                                              const std::string& deviceId) {
  static const char* const sql = "DELETE FROM test_devices WHERE app_id = ?1 AND device_id = ?2";
  StatementUse use(prepare(sql));
  if (!use || !begin()) return std::nullopt;
  if (!bindText(use.get(), 1, appId) || !bindText(use.get(), 2, deviceId) ||
      sqlite3_step(use.get()) != SQLITE_DONE) {
    fail("removing the test device");
    rollback();
    return std::nullopt;
  }
  const bool removed = sqlite3_changes(db_) > 0;
  if (!commit()) return std::nullopt;
  return removed;
}

std::optional<std::vector<ZRLDashboardSQLiteStore::TestDevice>>
ZRLDashboardSQLiteStore::testDevices(const std::string& appId) {
  static const char* const sql =
      "SELECT device_id, model, created FROM test_devices WHERE app_id = ?1"
      " ORDER BY created DESC, device_id";
  StatementUse use(prepare(sql));
  if (!use || !bindText(use.get(), 1, appId)) return std::nullopt;
  std::vector<TestDevice> list;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(use.get())) == SQLITE_ROW)
    list.push_back({columnText(use.get(), 0), columnText(use.get(), 1), columnText(use.get(), 2)});
  if (step != SQLITE_DONE) {
    fail("reading the test devices");
    return std::nullopt;
  }
  return list;
}

std::optional<int64_t> ZRLDashboardSQLiteStore::addPreview(const std::string& appId,
                                                           const std::string& config) {
  static const char* const sql =
      "INSERT INTO previews (app_id, config, created) VALUES (?1, ?2, ?3)";
  StatementUse use(prepare(sql));
  if (!use || !begin()) return std::nullopt;
  if (!bindText(use.get(), 1, appId) || !bindText(use.get(), 2, config) ||
      !bindText(use.get(), 3, now()) || sqlite3_step(use.get()) != SQLITE_DONE) {
    fail("storing the preview");
    rollback();
    return std::nullopt;
  }
  const int64_t id = sqlite3_last_insert_rowid(db_);
  if (!commit()) return std::nullopt;
  return id;
}

std::optional<std::vector<ZRLDashboardSQLiteStore::Preview>> ZRLDashboardSQLiteStore::previewsAfter(
    const std::string& appId, int64_t afterId) {
  static const char* const sql =
      "SELECT id, config FROM previews WHERE app_id = ?1 AND id > ?2 ORDER BY id";
  StatementUse use(prepare(sql));
  if (!use || !bindText(use.get(), 1, appId) ||
      sqlite3_bind_int64(use.get(), 2, afterId) != SQLITE_OK) {
    return std::nullopt;
  }
  std::vector<Preview> list;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(use.get())) == SQLITE_ROW)
    list.push_back({sqlite3_column_int64(use.get(), 0), columnText(use.get(), 1)});
  if (step != SQLITE_DONE) {
    fail("reading the previews");
    return std::nullopt;
  }
  return list;
}

std::optional<std::vector<ZRLDashboardSQLiteStore::PushedPreview>>
ZRLDashboardSQLiteStore::pushedPreviews(sqlite3_stmt* statement) {
  std::vector<PushedPreview> list;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW)
    list.push_back(previewOfRow(statement));
  if (step != SQLITE_DONE) {
    fail("reading the previews");
    return std::nullopt;
  }
  return list;
}

std::optional<std::vector<ZRLDashboardSQLiteStore::PushedPreview>>
ZRLDashboardSQLiteStore::allPreviewsAfter(int64_t afterId) {
  static const char* const sql =
      "SELECT id, app_id, config, created, delivered FROM previews WHERE id > ?1 ORDER BY id";
  StatementUse use(prepare(sql));
  if (!use || sqlite3_bind_int64(use.get(), 1, afterId) != SQLITE_OK) return std::nullopt;
  return pushedPreviews(use.get());
}

std::optional<int64_t> ZRLDashboardSQLiteStore::lastPreviewId() {
  static const char* const sql = "SELECT COALESCE(MAX(id), 0) FROM previews";
  StatementUse use(prepare(sql));
  if (!use) return std::nullopt;
  if (sqlite3_step(use.get()) != SQLITE_ROW) {
    fail("reading the previews");
    return std::nullopt;
  }
  return sqlite3_column_int64(use.get(), 0);
}

bool ZRLDashboardSQLiteStore::setPreviewDelivered(int64_t id, int64_t delivered) {
  static const char* const sql =
      "UPDATE previews SET delivered = COALESCE(delivered, 0) + ?2 WHERE id = ?1";
  StatementUse use(prepare(sql));
  if (!use || !begin()) return false;
  if (sqlite3_bind_int64(use.get(), 1, id) != SQLITE_OK ||
      sqlite3_bind_int64(use.get(), 2, delivered) != SQLITE_OK ||
      sqlite3_step(use.get()) != SQLITE_DONE) {
    fail("storing the preview's delivery");
    rollback();
    return false;
  }
  return commit();
}

std::optional<std::vector<ZRLDashboardSQLiteStore::PushedPreview>>
ZRLDashboardSQLiteStore::recentPreviews(const std::string& appId, int64_t limit) {
  static const char* const sql =
      "SELECT id, app_id, config, created, delivered FROM previews WHERE app_id = ?1"
      " ORDER BY id DESC LIMIT ?2";
  StatementUse use(prepare(sql));
  if (!use || !bindText(use.get(), 1, appId) ||
      sqlite3_bind_int64(use.get(), 2, limit) != SQLITE_OK) {
    return std::nullopt;
  }
  return pushedPreviews(use.get());
}

std::optional<std::optional<ZRLDashboardSQLiteStore::PushedPreview>>
ZRLDashboardSQLiteStore::preview(int64_t id) {
  static const char* const sql =
      "SELECT id, app_id, config, created, delivered FROM previews WHERE id = ?1";
  StatementUse use(prepare(sql));
  if (!use || sqlite3_bind_int64(use.get(), 1, id) != SQLITE_OK) return std::nullopt;
  const int step = sqlite3_step(use.get());
  if (step == SQLITE_DONE) return std::optional<PushedPreview>();
  if (step != SQLITE_ROW) {
    fail("reading the preview");
    return std::nullopt;
  }
  return std::optional<PushedPreview>(previewOfRow(use.get()));
}

std::optional<std::vector<ZRLDashboardSQLiteStore::App>> ZRLDashboardSQLiteStore::apps() {
  static const char* const sql =
      "SELECT app_id, SUM(captures), SUM(devices), MAX(seen) FROM ("
      " SELECT app_id, COUNT(*) AS captures, 0 AS devices, MAX(created) AS seen"
      " FROM captures GROUP BY app_id"
      " UNION ALL"
      " SELECT app_id, 0, COUNT(*), MAX(created) FROM test_devices GROUP BY app_id)"
      " GROUP BY app_id";
  StatementUse use(prepare(sql));
  if (!use) return std::nullopt;
  std::vector<App> list;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(use.get())) == SQLITE_ROW) {
    list.push_back({columnText(use.get(), 0), sqlite3_column_int64(use.get(), 1),
                    sqlite3_column_int64(use.get(), 2), columnText(use.get(), 3)});
  }
  if (step != SQLITE_DONE) {
    fail("reading the applications");
    return std::nullopt;
  }
  return list;
}
