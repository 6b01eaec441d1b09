// The store's connection: opening the file, its schema, its faults told
// apart, its write transactions and its prepared statements. The records'
// queries are in ZRLDashboardSQLiteStoreRecords.cpp.
#include "Tools/zrl-dashboard/ZRLDashboardSQLiteStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <system_error>

namespace {

// Each step of the schema, applied in one transaction with its version.
const char* const kMigrations[] = {
    // Version 1.
    "CREATE TABLE captures ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " app_id TEXT NOT NULL,"
    " screen TEXT,"
    " layout TEXT NOT NULL,"
    " device_info TEXT NOT NULL,"
    " image TEXT,"
    " created TEXT NOT NULL);"
    "CREATE INDEX captures_by_app ON captures(app_id, id);"
    "CREATE TABLE test_devices ("
    " app_id TEXT NOT NULL,"
    " device_id TEXT NOT NULL,"
    " model TEXT NOT NULL,"
    " created TEXT NOT NULL,"
    " PRIMARY KEY (app_id, device_id));"
    "CREATE TABLE previews ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " app_id TEXT NOT NULL,"
    " config TEXT NOT NULL,"
    " created TEXT NOT NULL);"
    "CREATE INDEX previews_by_app ON previews(app_id, id);",
    // Version 2: how many streams each preview went to (null for the
    // previews pushed before).
    "ALTER TABLE previews ADD COLUMN delivered INTEGER;",
};
static_assert(std::size(kMigrations) == ZRLDashboardSQLiteStore::kSchemaVersion);

constexpr const char* kInMemory = ":memory:";

ZRLDashboardSQLiteStore::Fault faultOf(int code) {
  switch (code & 0xff) {
    case SQLITE_FULL:
      return ZRLDashboardSQLiteStore::Fault::full;
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
      return ZRLDashboardSQLiteStore::Fault::unwritable;
    default:
      return ZRLDashboardSQLiteStore::Fault::other;
  }
}

}  // namespace

std::unique_ptr<ZRLDashboardSQLiteStore> ZRLDashboardSQLiteStore::open(const std::string& path,
                                                                       std::string* error) {
  sqlite3* db = nullptr;
  const int opened = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (opened != SQLITE_OK) {
    if (error != nullptr)
      *error = path + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(opened));
    sqlite3_close(db);
    return nullptr;
  }
  std::unique_ptr<ZRLDashboardSQLiteStore> store(new ZRLDashboardSQLiteStore(db, path));
  // Another connection to the same file may hold the write lock for one
  // transaction at a time.
  sqlite3_busy_timeout(db, 5000);
  // WAL keeps readers and the writer apart; FULL syncs the log at every
  // commit, so an answered write survives even a power cut.
  sqlite3_stmt* mode = nullptr;
  std::string journal;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &mode, nullptr) == SQLITE_OK &&
      sqlite3_step(mode) == SQLITE_ROW && sqlite3_column_text(mode, 0) != nullptr) {
    journal = reinterpret_cast<const char*>(sqlite3_column_text(mode, 0));
  }
  sqlite3_finalize(mode);
  const bool inMemory = path == kInMemory;
  if (journal != (inMemory ? "memory" : "wal")) {
    if (error != nullptr) *error = path + ": the database does not accept write-ahead logging";
    return nullptr;
  }
  struct stat file {};
  if (!inMemory && ::stat(path.c_str(), &file) == 0) {
    store->device_ = file.st_dev;
    store->inode_ = file.st_ino;
  }
  if (!store->execute("PRAGMA synchronous=FULL") || !store->execute("PRAGMA foreign_keys=ON") ||
      !store->migrate()) {
    if (error != nullptr) *error = path + ": " + store->lastError_;
    return nullptr;
  }
  return store;
}

ZRLDashboardSQLiteStore::~ZRLDashboardSQLiteStore() {
  for (auto& [sql, statement] : statements_)
    sqlite3_finalize(statement);
  statements_.clear();
  sqlite3_exec(db_, "PRAGMA optimize", nullptr, nullptr, nullptr);
  sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  sqlite3_close(db_);
}

bool ZRLDashboardSQLiteStore::fail(const char* step) {
  setFault(faultOf(sqlite3_extended_errcode(db_)), std::string(step) + ": " + sqlite3_errmsg(db_));
  return false;
}

void ZRLDashboardSQLiteStore::setFault(Fault fault, std::string message) {
  fault_ = fault;
  lastError_ = std::move(message);
  if (fault == Fault::other || refusing_) return;
  refusing_ = true;
  std::cerr << "zrl-dashboard: the database " << path_ << " takes no writes: " << lastError_
            << " (writes are refused until that is mended; reads go on)" << std::endl;
}

bool ZRLDashboardSQLiteStore::execute(const char* sql) {
  char* message = nullptr;
  const int result = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (result == SQLITE_OK) return true;
  setFault(faultOf(result), message != nullptr ? message : sqlite3_errstr(result));
  sqlite3_free(message);
  return false;
}

// SQLite writes through the descriptors that it opened: a file deleted
// (with its folder) or made read-only under the running dashboard would
// take writes that no one will ever read. Every write first checks that
// the path still leads to the opened file and that the file may be written.
bool ZRLDashboardSQLiteStore::fileWritable() {
  if (path_ == kInMemory) return true;
  struct stat file {};
  if (::stat(path_.c_str(), &file) != 0) {
    const int reason = errno;
    setFault(Fault::unwritable,
             "the file is gone: " + std::error_code(reason, std::generic_category()).message());
    return false;
  }
  if (file.st_dev != device_ || file.st_ino != inode_) {
    setFault(Fault::unwritable, "the file was replaced by another");
    return false;
  }
  // The write bits, as root may write whatever they say.
  if ((file.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(path_.c_str(), W_OK) != 0) {
    setFault(Fault::unwritable, "the file is read-only");
    return false;
  }
  return true;
}

bool ZRLDashboardSQLiteStore::begin() {
  return fileWritable() && execute("BEGIN IMMEDIATE");
}
bool ZRLDashboardSQLiteStore::commit() {
  if (!execute("COMMIT")) {
    rollback();
    return false;
  }
  if (refusing_) {
    refusing_ = false;
    std::cerr << "zrl-dashboard: the database " << path_ << " takes writes again" << std::endl;
  }
  return true;
}

std::optional<int64_t> ZRLDashboardSQLiteStore::limitPages(int64_t pages) {
  const std::string sql = "PRAGMA max_page_count=" + std::to_string(pages);
  sqlite3_stmt* statement = nullptr;
  std::optional<int64_t> limit;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    limit = sqlite3_column_int64(statement, 0);
  }
  sqlite3_finalize(statement);
  return limit;
}
void ZRLDashboardSQLiteStore::rollback() {
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool ZRLDashboardSQLiteStore::migrate() {
  sqlite3_stmt* statement = nullptr;
  int version = -1;
  if (sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    version = sqlite3_column_int(statement, 0);
  }
  sqlite3_finalize(statement);
  if (version < 0) return fail("reading the schema version");
  if (version > kSchemaVersion) {
    lastError_ = "the file has schema version " + std::to_string(version) +
                 ", newer than this program's " + std::to_string(kSchemaVersion);
    return false;
  }
  for (int next = version; next < kSchemaVersion; ++next) {
    const std::string setVersion = "PRAGMA user_version=" + std::to_string(next + 1);
    if (!begin()) return false;
    if (!execute(kMigrations[next]) || !execute(setVersion.c_str())) {
      rollback();
      return false;
    }
    if (!commit()) return false;
  }
  return true;
}

sqlite3_stmt* ZRLDashboardSQLiteStore::prepare(const char* sql) {
  for (const auto& [text, statement] : statements_)
    if (text == sql) return statement;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
      SQLITE_OK) {
    fail("preparing a statement");
    return nullptr;
  }
  statements_.emplace_back(sql, statement);
  return statement;
}
