#pragma once
// What the dashboard keeps: captures uploaded by the plug-in, each
// application's test devices, and the previews pushed to the devices. The
// records live in an SQLite file (ZRLDashboardSQLiteStore) or a PostgreSQL
// database (ZRLDashboardPostgreSQLStore), chosen at start. One object is
// one connection, used by one thread at a time; every write is committed
// before its call returns. A write that cannot be made changes nothing and
// says why; the next write tries again.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class ZRLDashboardStore {
 public:
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

  // Why the last call failed: the storage is full; it cannot be written
  // (a file made read-only, deleted or replaced, an I/O error, a database
  // that cannot be reached or takes no writes); anything else.
  enum class Fault { none, full, unwritable, other };

  ZRLDashboardStore() = default;
  virtual ~ZRLDashboardStore() = default;
  ZRLDashboardStore(const ZRLDashboardStore&) = delete;
  ZRLDashboardStore& operator=(const ZRLDashboardStore&) = delete;

  // Each returns null (or false) when the database fails; lastError() says why.
  virtual std::optional<int64_t> addCapture(const Capture& capture) = 0;
  // Newest first, without layout, device facts and image: at most limit
  // (negative: all) with an id below `before` (none: from the newest).
  virtual std::optional<std::vector<Capture>> captures(const std::string& appId,
                                                       std::optional<int64_t> before = std::nullopt,
                                                       int64_t limit = -1) = 0;
  // Null when the database fails; an absent capture is an empty optional inside.
  virtual std::optional<std::optional<Capture>> capture(int64_t id) = 0;
  // The application of the removed capture; an empty optional inside when
  // there was none.
  virtual std::optional<std::optional<std::string>> removeCapture(int64_t id) = 0;

  // Adds the device or updates its model and time.
  virtual bool addTestDevice(const std::string& appId, const std::string& deviceId,
                             const std::string& model) = 0;
  // Whether the device was there; null on failure.
  virtual std::optional<bool> removeTestDevice(const std::string& appId,
                                               const std::string& deviceId) = 0;
  virtual std::optional<std::vector<TestDevice>> testDevices(const std::string& appId) = 0;

  // Ids increase in the order in which previews are committed, whichever
  // connection adds them.
  virtual std::optional<int64_t> addPreview(const std::string& appId,
                                            const std::string& config) = 0;
  // The previews of the application with an id above afterId, oldest first.
  virtual std::optional<std::vector<Preview>> previewsAfter(const std::string& appId,
                                                            int64_t afterId) = 0;
  // Every application's previews with an id above afterId, oldest first:
  // those that other dashboards sharing the database have added too.
  virtual std::optional<std::vector<PushedPreview>> allPreviewsAfter(int64_t afterId) = 0;
  // The newest preview's id; 0 when there is none.
  virtual std::optional<int64_t> lastPreviewId() = 0;
  // Counts `delivered` more streams that were handed the preview (each
  // dashboard sharing the database adds its own).
  virtual bool setPreviewDelivered(int64_t id, int64_t delivered) = 0;
  // The application's newest previews, newest first.
  virtual std::optional<std::vector<PushedPreview>> recentPreviews(const std::string& appId,
                                                                   int64_t limit) = 0;
  virtual std::optional<std::optional<PushedPreview>> preview(int64_t id) = 0;

  // Every application with captures or test devices, in no order.
  virtual std::optional<std::vector<App>> apps() = 0;

  virtual const std::string& lastError() const = 0;
  virtual Fault lastFault() const = 0;

  // The current time as the store writes it.
  static std::string now();
};
