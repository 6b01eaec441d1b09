#pragma once
// The user defaults: a small key-value store backed by one JSON file that
// several stores (and processes) may share. A write merges this store's
// changes onto what the file holds, under a lock, and replaces the file
// atomically (temporary file, fsync, rename), so that a crash never leaves a
// torn store and nobody loses another's keys.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Platform/PlatformExport.h"

class PLATFORM_EXPORT NSUserDefaults {
 public:
  // The store of the process: the file named by ZRL_USER_DEFAULTS, or one
  // set with setStandardUserDefaultsPath, or a file under the user's
  // configuration directory named after the program.
  static std::shared_ptr<NSUserDefaults> standardUserDefaults();
  // Points the standard store at another file (tests, programs); the next
  // standardUserDefaults() reads it.
  static void setStandardUserDefaultsPath(std::filesystem::path path);

  // Reads the file. A missing file gives an empty store. A file that is not
  // a JSON object is moved aside (to "<name>.corrupt-<UTC time>" beside it,
  // which the log names) and the store starts empty. A file that cannot be
  // read also gives an empty store, but one that never writes over it.
  explicit NSUserDefaults(std::filesystem::path path);

  bool boolForKey(const std::string& key) const;
  void setBool(bool value, const std::string& key);
  std::optional<nlohmann::json> objectForKey(const std::string& key) const;
  void setObject(const nlohmann::json& value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // Writes the keys this store set or removed since its last write onto
  // what the file holds now, and takes the file's other keys in. False,
  // with the file as it was and the changes kept for the next call, when
  // the file cannot be read or written or a value is not valid UTF-8.
  bool synchronize();

  const std::filesystem::path& path() const { return path_; }
  // The lock file beside the store that writers hold while they merge.
  std::filesystem::path lockPath() const;

 private:
  // A key set (value) or removed (no value) since the last write; the
  // version tells whether it changed again while a write was under way.
  struct Change {
    std::optional<nlohmann::json> value;
    uint64_t version = 0;
  };

  void recordChangeLocked(const std::string& key, std::optional<nlohmann::json> value);

  std::filesystem::path path_;
  std::mutex syncMutex_;  // one synchronize() of this store at a time
  mutable std::mutex mutex_;
  nlohmann::json values_;
  std::map<std::string, Change> changes_;
  uint64_t changeVersion_ = 0;
};
