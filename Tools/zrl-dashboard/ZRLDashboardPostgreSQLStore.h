#pragma once
// The dashboard's records in a PostgreSQL database, for several dashboards
// that share them. One object is one libpq connection; a connection that
// was lost is opened again at the next call, and until then every call
// fails as storage that cannot be written.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Tools/zrl-dashboard/ZRLDashboardStore.h"

struct pg_conn;
struct pg_result;

class ZRLDashboardPostgreSQLStore final : public ZRLDashboardStore {
 public:
  // The schema version that this code writes; a database with a newer one
  // is refused.
  static constexpr int kSchemaVersion = 1;

  // Whether the text is a PostgreSQL connection URI ("postgresql://..." or
  // "postgres://...") that libpq can read; why not in *error.
  static bool acceptsURI(const std::string& uri, std::string* error);
  // The URI with its password, if any, shown as "***", for messages.
  static std::string withoutPassword(const std::string& uri);

  // Connects and brings the schema up to date (one connection at a time
  // does, the others wait). Null on failure, with the reason in *error.
  static std::unique_ptr<ZRLDashboardPostgreSQLStore> open(const std::string& uri,
                                                           std::string* error);
  ~ZRLDashboardPostgreSQLStore() override;
  ZRLDashboardPostgreSQLStore(const ZRLDashboardPostgreSQLStore&) = delete;
  ZRLDashboardPostgreSQLStore& operator=(const ZRLDashboardPostgreSQLStore&) = delete;

  std::optional<int64_t> addCapture(const Capture& capture) override;
  std::optional<std::vector<Capture>> captures(const std::string& appId,
                                               std::optional<int64_t> before = std::nullopt,
                                               int64_t limit = -1) override;
  std::optional<std::optional<Capture>> capture(int64_t id) override;
  std::optional<std::optional<std::string>> removeCapture(int64_t id) override;
  bool addTestDevice(const std::string& appId, const std::string& deviceId,
                     const std::string& model) override;
  std::optional<bool> removeTestDevice(const std::string& appId,
                                       const std::string& deviceId) override;
  std::optional<std::vector<TestDevice>> testDevices(const std::string& appId) override;
  std::optional<int64_t> addPreview(const std::string& appId, const std::string& config) override;
  std::optional<std::vector<Preview>> previewsAfter(const std::string& appId,
                                                    int64_t afterId) override;
  std::optional<std::vector<PushedPreview>> allPreviewsAfter(int64_t afterId) override;
  std::optional<int64_t> lastPreviewId() override;
  bool setPreviewDelivered(int64_t id, int64_t delivered) override;
  std::optional<std::vector<PushedPreview>> recentPreviews(const std::string& appId,
                                                           int64_t limit) override;
  std::optional<std::optional<PushedPreview>> preview(int64_t id) override;
  std::optional<std::vector<App>> apps() override;

  const std::string& lastError() const override { return lastError_; }
  Fault lastFault() const override { return fault_; }

 private:
  struct ResultFree {
    void operator()(pg_result* result) const;
  };
  using Result = std::unique_ptr<pg_result, ResultFree>;
  using Parameters = std::initializer_list<std::optional<std::string>>;

  ZRLDashboardPostgreSQLStore(pg_conn* connection, std::string shown)
      : connection_(connection), shown_(std::move(shown)) {}
  bool connected();
  // Runs one statement with its parameters as text (null for an absent
  // one); null when it fails, with the fault set from `step`.
  Result run(const char* step, const char* sql, Parameters parameters = {});
  // Runs statements without parameters; false when one fails.
  bool execute(const char* step, const char* sql);
  bool migrate();
  void fail(const char* step, const pg_result* result);
  void setFault(Fault fault, std::string message);
  void wrote();

  pg_conn* connection_ = nullptr;
  std::string shown_;  // the URI without its password
  std::string lastError_;
  Fault fault_ = Fault::none;
  // Whether writes are failing for a reason of the database or its
  // connection: said once on standard error when they start failing, once
  // when they work again.
  bool refusing_ = false;
};
