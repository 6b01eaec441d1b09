#pragma once
// What the UI plug-in's four stand-in builders share: each records the
// configurations it was given, so that tests and programs can see what was
// shown, writes a log line naming the display type, and shows a simple
// preview card in the app's key window on the main queue.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// The tag of the preview card in the key window.
inline constexpr long ZRLPreviewViewTag = 0x5A52;

class ZRLPreviewBuilder {
 public:
  // Called after each build with the display type and the configuration
  // (null when the builder was given none).
  using Observer =
      std::function<void(const std::string& displayType, const nlohmann::json& config)>;

  explicit ZRLPreviewBuilder(std::string displayType) : displayType_(std::move(displayType)) {}
  virtual ~ZRLPreviewBuilder() = default;
  ZRLPreviewBuilder(const ZRLPreviewBuilder&) = delete;
  ZRLPreviewBuilder& operator=(const ZRLPreviewBuilder&) = delete;

  const std::string& displayType() const { return displayType_; }
  std::vector<nlohmann::json> configurations() const;
  bool waitForConfigurations(size_t count, std::chrono::milliseconds timeout) const;
  void resetConfigurations();

  // One observer for all builders of the process (empty: none).
  static void setObserver(Observer observer);

 protected:
  // Records the configuration, logs the line and tells the observer.
  void show(const std::optional<nlohmann::json>& config);

 private:
  std::string displayType_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<nlohmann::json> configurations_;
};
