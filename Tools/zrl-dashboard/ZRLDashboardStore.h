#pragma once
// The dashboard's records in one SQLite file: captures uploaded by the
// plug-in, each application's test devices, and the previews pushed to the
// devices. One object, used by one thread at a time; every write is
// committed (and synced to disk) before its call returns. A write that
// cannot be made (a full disk, a file made read-only, deleted or replaced)
// changes nothing and says why; the next write tries again.

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class ZRLDashboardStore {
 public:
  // The schema version that this code writes; a file with a newer one is
  // refused.
  static constexpr int kSchemaVersion = 2;

  struct Capture {
    int64_t id = 0;
    std::string appId;
    std::optional<std::string> screen;  // the screen's name, when one was sent
    std::string time;                   // ISO 8601, UTC
    std::string layout;                 // JSON text of the layout array
    std::string deviceInfo;             // JSON text of the device object
    std::optional<std::string> image;   // base64 text as uploaded
  };
  struct TestDevice {
    std::string id;
    std::string model;
    std::string time;
  };
  struct Preview {
    int64_t id = 0;
    std::string config;  // JSON text on one line
  };
  // A preview as the page's history shows it.
  struct PushedPreview {
    int64_t id = 0;
    std::string appId;
    std::string config;
    std::string time;
    std::optional<int64_t> delivered;  // the streams it was handed to, once known
  };
  // An application as the records know it.
  struct App {
    std::string appId;
    int64_t captures = 0;
    int64_t testDevices = 0;
    std::string lastSeen;  // the newest capture or test device
  };

  // Why the last call failed: the disk (or the file's page limit) is
  // full; the file cannot be written (made read-only, deleted, replaced, or
  // an I/O error); anything else.
  enum class Fault { none, full, unwritable, other };

  // Opens (or creates) the file and brings its schema up to date; the path
  // ":memory:" gives a store in memory. Null on failure, with the reason in
  // *error.
  static std::unique_ptr<ZRLDashboardStore> open(const std::string& path, std::string* error);
  ~ZRLDashboardStore();
  ZRLDashboardStore(const ZRLDashboardStore&) = delete;
  ZRLDashboardStore& operator=(const ZRLDashboardStore&) = delete;

  // Each returns null (or false) when the database fails; lastError() says why.
  std::optional<int64_t> addCapture(const Capture& capture);
  // Newest first, without layout, device facts and image: at most limit
  // (negative: all) with an id below `before` (none: from the newest).
  std::optional<std::vector<Capture>> captures(const std::string& appId,
                                               std::optional<int64_t> before = std::nullopt,
                                               int64_t limit = -1);
  // Null when the database fails; an absent capture is an empty optional inside.
  std::optional<std::optional<Capture>> capture(int64_t id);
  // The application of the removed capture; an empty optional inside when
  // there was none.
  std::optional<std::optional<std::string>> removeCapture(int64_t id);

  // Adds the device or updates its model and time.
  bool addTestDevice(const std::string& appId, const std::string& deviceId,
                     const std::string& model);
  // Whether the device was there; null on failure.
  std::optional<bool> removeTestDevice(const std::string& appId, const std::string& deviceId);
  std::optional<std::vector<TestDevice>> testDevices(const std::string& appId);

  std::optional<int64_t> addPreview(const std::string& appId, const std::string& config);
  // The previews of the application with an id above afterId, oldest first.
  std::optional<std::vector<Preview>> previewsAfter(const std::string& appId, int64_t afterId);
  bool setPreviewDelivered(int64_t id, int64_t delivered);
  // The application's newest previews, newest first.
  std::optional<std::vector<PushedPreview>> recentPreviews(const std::string& appId, int64_t limit);
  std::optional<std::optional<PushedPreview>> preview(int64_t id);

  // Every application with captures or test devices, in no order.
  std::optional<std::vector<App>> apps();

  const std::string& lastError() const { return lastError_; }
  Fault lastFault() const { return fault_; }

  // Caps the file at that many pages (SQLite's max_page_count; never below
  // its present size), as a disk that fills up would; the cap in effect, or
  // null on failure.
  std::optional<int64_t> limitPages(int64_t pages);

  // The current time as the store writes it.
  static std::string now();

 private:
  ZRLDashboardStore(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  bool execute(const char* sql);
  bool migrate();
  sqlite3_stmt* prepare(const char* sql);
  bool fail(const char* step);
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
