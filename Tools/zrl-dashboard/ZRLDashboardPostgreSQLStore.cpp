// The PostgreSQL store's connection: the URI, the schema, the faults told
// apart and the statements run. The records' queries are in
// ZRLDashboardPostgreSQLStoreRecords.cpp.
#include "Tools/zrl-dashboard/ZRLDashboardPostgreSQLStore.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <iostream>
#include <string_view>
#include <vector>

namespace {

// Each step of the schema, applied in one transaction with its version.
// Times are kept as the text that the SQLite store keeps, so that both
// order and show them alike.
const char* const kMigrations[] = {
    // Version 1.
    "CREATE TABLE captures ("
    " id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
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
    " id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,"
    " app_id TEXT NOT NULL,"
    " config TEXT NOT NULL,"
    " created TEXT NOT NULL,"
    " delivered BIGINT);"
    "CREATE INDEX previews_by_app ON previews(app_id, id);",
};
static_assert(std::size(kMigrations) == ZRLDashboardPostgreSQLStore::kSchemaVersion);

// The transaction that reads the schema's version: it holds an advisory
// lock so that of the connections that start at once one brings the schema
// up to date and the others then find it done.
constexpr const char* kSchemaBegin =
    "BEGIN;"
    "SELECT pg_advisory_xact_lock(7283451902);"
    "CREATE TABLE IF NOT EXISTS dashboard_schema (version INTEGER NOT NULL)";

ZRLDashboardStore::Fault faultOf(const char* state) {
  const std::string_view code = state != nullptr ? state : "";
  if (code == "53100") return ZRLDashboardStore::Fault::full;  // disk full
  // No connection, a server shutting down or starting, too many
  // connections, a server or transaction that takes no writes.
  if (code.empty() || code.substr(0, 2) == "08" || code.substr(0, 3) == "57P" || code == "53300" ||
      code == "25006")
    return ZRLDashboardStore::Fault::unwritable;
  return ZRLDashboardStore::Fault::other;
}

// libpq's messages may run over indented lines and end with a line feed;
// the store's are one line.
std::string trimmed(const char* message) {
  std::string text;
  for (const char* at = message != nullptr ? message : ""; *at != '\0'; ++at) {
    if (*at != '\n') {
      text.push_back(*at);
      continue;
    }
    while (at[1] == '\t')
      ++at;
    text.push_back(' ');
  }
  while (!text.empty() && text.back() == ' ')
    text.pop_back();
  return text;
}

}  // namespace

void ZRLDashboardPostgreSQLStore::ResultFree::operator()(pg_result* result) const {
  PQclear(result);
}

bool ZRLDashboardPostgreSQLStore::acceptsURI(const std::string& uri, std::string* error) {
  if (uri.rfind("postgresql://", 0) != 0 && uri.rfind("postgres://", 0) != 0) {
    *error = "it does not start with postgresql:// or postgres://";
    return false;
  }
  char* message = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &message);
  if (options == nullptr) {
    *error = message != nullptr ? trimmed(message) : "libpq has no memory to read it";
    PQfreemem(message);
    return false;
  }
  PQconninfoFree(options);
  return true;
}

std::string ZRLDashboardPostgreSQLStore::withoutPassword(const std::string& uri) {
  std::string shown = uri;
  // In the authority, "user:password@host".
  const size_t authority = shown.find("://");
  if (authority != std::string::npos) {
    const size_t begin = authority + 3;
    const size_t end = shown.find_first_of("/?", begin);
    const size_t at = shown.rfind('@', end == std::string::npos ? shown.size() : end);
    if (at != std::string::npos && at >= begin) {
      const size_t colon = shown.find(':', begin);
      if (colon < at) shown.replace(colon + 1, at - colon - 1, "***");
    }
  }
  // In the query, "password=...".
  for (size_t at = shown.find('?'); at != std::string::npos; at = shown.find('&', at + 1)) {
    static constexpr std::string_view kKey = "password=";
    if (shown.compare(at + 1, kKey.size(), kKey) != 0) continue;
    const size_t value = at + 1 + kKey.size();
    const size_t end = shown.find('&', value);
    shown.replace(value, (end == std::string::npos ? shown.size() : end) - value, "***");
  }
  return shown;
}

std::unique_ptr<ZRLDashboardPostgreSQLStore> ZRLDashboardPostgreSQLStore::open(
    const std::string& uri, std::string* error) {
  std::string shown = withoutPassword(uri);
  std::string reason;
  if (!acceptsURI(uri, &reason)) {
    if (error != nullptr) *error = shown + ": " + reason;
    return nullptr;
  }
  // The URI's own settings come last, so that they win over these defaults.
  const char* const keywords[] = {"connect_timeout", "fallback_application_name", "client_encoding",
                                  "dbname", nullptr};
  const char* const values[] = {"10", "zrl-dashboard", "UTF8", uri.c_str(), nullptr};
  PGconn* connection = PQconnectdbParams(keywords, values, 1);
  if (connection == nullptr) {
    if (error != nullptr) *error = shown + ": libpq has no memory for a connection";
    return nullptr;
  }
  std::unique_ptr<ZRLDashboardPostgreSQLStore> store(
      new ZRLDashboardPostgreSQLStore(connection, std::move(shown)));
  // The server's notices (a table that already exists) are not for the user.
  PQsetNoticeProcessor(
      connection, [](void*, const char*) {}, nullptr);
  if (PQstatus(connection) != CONNECTION_OK) {
    if (error != nullptr) *error = store->shown_ + ": " + trimmed(PQerrorMessage(connection));
    return nullptr;
  }
  if (!store->migrate()) {
    if (error != nullptr) *error = store->shown_ + ": " + store->lastError_;
    return nullptr;
  }
  return store;
}

ZRLDashboardPostgreSQLStore::~ZRLDashboardPostgreSQLStore() {
  PQfinish(connection_);
}

bool ZRLDashboardPostgreSQLStore::connected() {
  if (PQstatus(connection_) == CONNECTION_OK) return true;
  PQreset(connection_);
  if (PQstatus(connection_) == CONNECTION_OK) return true;
  setFault(Fault::unwritable,
           "the database cannot be reached: " + trimmed(PQerrorMessage(connection_)));
  return false;
}

void ZRLDashboardPostgreSQLStore::fail(const char* step, const pg_result* result) {
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const char* message =
      result != nullptr ? PQresultErrorMessage(result) : PQerrorMessage(connection_);
  setFault(faultOf(state), std::string(step) + ": " + trimmed(message));
}

void ZRLDashboardPostgreSQLStore::setFault(Fault fault, std::string message) {
  fault_ = fault;
  lastError_ = std::move(message);
  if (fault == Fault::other || refusing_) return;
  refusing_ = true;
  std::cerr << "zrl-dashboard: the database " << shown_ << " takes no writes: " << lastError_
            << " (writes are refused until that is mended)" << std::endl;
}

void ZRLDashboardPostgreSQLStore::wrote() {
  if (!refusing_) return;
  refusing_ = false;
  std::cerr << "zrl-dashboard: the database " << shown_ << " takes writes again" << std::endl;
}

ZRLDashboardPostgreSQLStore::Result ZRLDashboardPostgreSQLStore::run(const char* step,
                                                                     const char* sql,
                                                                     Parameters parameters) {
  if (!connected()) return nullptr;
  std::vector<const char*> values;
  values.reserve(parameters.size());
  for (const auto& parameter : parameters)
    values.push_back(parameter ? parameter->c_str() : nullptr);
  Result result(PQexecParams(connection_, sql, static_cast<int>(values.size()), nullptr,
                             values.data(), nullptr, nullptr, 0));
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    fail(step, result.get());
    return nullptr;
  }
  return result;
}

bool ZRLDashboardPostgreSQLStore::execute(const char* step, const char* sql) {
  if (!connected()) return false;
  const Result result(PQexec(connection_, sql));
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return true;
  fail(step, result.get());
  return false;
}

bool ZRLDashboardPostgreSQLStore::migrate() {
  if (!execute("reading the schema version", kSchemaBegin)) return false;
  const auto rollback = [this] { PQclear(PQexec(connection_, "ROLLBACK")); };
  const Result row = run("reading the schema version", "SELECT MAX(version) FROM dashboard_schema");
  if (!row) {
    rollback();
    return false;
  }
  const int version = PQgetisnull(row.get(), 0, 0) ? 0 : std::atoi(PQgetvalue(row.get(), 0, 0));
  if (version > kSchemaVersion) {
    rollback();
    lastError_ = "the database has schema version " + std::to_string(version) +
                 ", newer than this program's " + std::to_string(kSchemaVersion);
    return false;
  }
  const std::string setVersion =
      "DELETE FROM dashboard_schema;"
      "INSERT INTO dashboard_schema VALUES (" +
      std::to_string(kSchemaVersion) + ")";
  for (int next = version; next < kSchemaVersion; ++next) {
    const bool last = next + 1 == kSchemaVersion;
    if (!execute("bringing the schema up to date", kMigrations[next]) ||
        (last && !execute("bringing the schema up to date", setVersion.c_str()))) {
      rollback();
      return false;
    }
  }
  if (!execute("bringing the schema up to date", "COMMIT")) {
    rollback();
    return false;
  }
  return true;
}
