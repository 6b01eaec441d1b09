#pragma once
// The user defaults: a small key-value store backed by one JSON file,
// written atomically (temporary file, fsync, rename) so that a crash never
// leaves a torn store.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class NSUserDefaults {
 public:
  // The store of the process: the file named by ZRL_USER_DEFAULTS, or one
  // set with setStandardUserDefaultsPath, or a file under the user's
  // configuration directory named after the program.
  static std::shared_ptr<NSUserDefaults> standardUserDefaults();
  // Points the standard store at another file (tests, programs); the next
  // standardUserDefaults() reads it.
  static void setStandardUserDefaultsPath(std::filesystem::path path);

  // Reads the file; a missing or unreadable file gives an empty store.
  explicit NSUserDefaults(std::filesystem::path path);

  bool boolForKey(const std::string& key) const;
  void setBool(bool value, const std::string& key);
  std::optional<nlohmann::json> objectForKey(const std::string& key) const;
  void setObject(const nlohmann::json& value, const std::string& key);
  void removeObjectForKey(const std::string& key);

  // Writes the store to its file; false when the write failed (the file
  // then still holds its previous content).
  bool synchronize();

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  mutable std::mutex mutex_;
  nlohmann::json values_;
};
