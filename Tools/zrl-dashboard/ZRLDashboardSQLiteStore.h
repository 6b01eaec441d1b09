#pragma once
// The dashboard's records in one SQLite file, the embedded default. Every
// write is synced to disk before its call returns; a file that is full,
// made read-only, deleted or replaced takes no writes and says why.

#include <sqlite3.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Tools/zrl-dashboard/ZRLDashboardStore.h"

class ZRLDashboardSQLiteStore final : public ZRLDashboardStore {
 public:
  // The schema version that this code writes; a file with a newer one is
  // refused.
  static constexpr int kSchemaVersion = 2;

  // Opens (or creates) the file and brings its schema up to date; the path
  // ":memory:" gives a store in memory. Null on failure, with the reason in
  // *error.
  static std::unique_ptr<ZRLDashboardSQLiteStore> open(const std::string& path, std::string* error);
  ~ZRLDashboardSQLiteStore() override;
  ZRLDashboardSQLiteStore(const ZRLDashboardSQLiteStore&) = delete;
  ZRLDashboardSQLiteStore& operator=(const ZRLDashboardSQLiteStore&) = delete;

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

  // Caps the file at that many pages (SQLite's max_page_count; never below
  // its present size), as a disk that fills up would; the cap in effect, or
  // null on failure.
  std::optional<int64_t> limitPages(int64_t pages);

 private:
  ZRLDashboardSQLiteStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  bool execute(const char* sql);
  bool migrate();
  sqlite3_stmt* prepare(const char* sql);
  bool fail(const char* step);
  // The previews of the statement's rows (previewOfRow's columns), or null
  // when a step fails.
  std::optional<std::vector<PushedPreview>> pushedPreviews(sqlite3_stmt* statement);
  void setFault(Fault fault, std::string message);
  bool fileWritable();
  bool begin();
  bool commit();
  void rollback();

  sqlite3* db_ = nullptr;
  std::string path_;
  // The file that was opened, to know whether the path still leads to it.
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::vector<std::pair<const char*, sqlite3_stmt*>> statements_;
  std::string lastError_;
  Fault fault_ = Fault::none;
  // Whether writes are failing for a reason of the disk or the file: said
  // once on standard error when they start failing, once when they work again.
  bool refusing_ = false;
};
