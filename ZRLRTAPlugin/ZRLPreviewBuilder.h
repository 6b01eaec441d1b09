#pragma once
// What the UI plug-in's four stand-in builders share: each records the
// latest configurations it was given (and counts them all), so that tests
// and programs can see what was shown, writes a log line naming the display
// type, tells the observer, and
// draws the preview from the configuration's "ui" object in the app's key
// window on the main queue (ZRLPreviewPresenter; rules in docs/PREVIEWS.md).
// Configurations come from the network: nothing in them is copied, read or
// walked by recursion, so no depth or size can exhaust the stack.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ZRLRTAPlugin/ZRLPreviewLayout.h"
#include "ZRLRTAPlugin/ZRLPreviewView.h"
#include "ZRLRTAPlugin/ZRLRTAPluginExport.h"

class ZRLRTAPLUGIN_EXPORT ZRLPreviewBuilder {
 public:
  // Called after each build with the display type and the configuration
  // (null when the builder was given none).
  using Observer =
      std::function<void(const std::string& displayType, const nlohmann::json& config)>;

  ZRLPreviewBuilder(std::string displayType, ZRLPreviewKind kind)
      : displayType_(std::move(displayType)), kind_(kind) {}
  virtual ~ZRLPreviewBuilder() = default;
  ZRLPreviewBuilder(const ZRLPreviewBuilder&) = delete;
  ZRLPreviewBuilder& operator=(const ZRLPreviewBuilder&) = delete;

  // How many of the latest configurations a builder keeps: a device that
  // runs for long keeps no more (a configuration may be megabytes).
  static constexpr size_t kKeptConfigurations = 32;

  const std::string& displayType() const { return displayType_; }
  // The latest configurations, oldest first (null for none given).
  std::vector<nlohmann::json> configurations() const;
  // How many builds there were since the start or the last reset, kept or
  // not, and a wait until there were that many.
  size_t configurationCount() const;
  bool waitForConfigurations(size_t count, std::chrono::milliseconds timeout) const;
  // Forgets the configurations and the count.
  void resetConfigurations();

  // One observer for all builders of the process (empty: none).
  static void setObserver(Observer observer);

 protected:
  // Records the configuration (null: none was given), logs the line, has
  // the preview drawn on the main queue and tells the observer.
  void show(const nlohmann::json* config);

 private:
  std::string displayType_;
  ZRLPreviewKind kind_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<nlohmann::json> configurations_;  // at most kKeptConfigurations
  size_t count_ = 0;
};

// A copy of a JSON value made with a stack of its own rather than by
// recursion (as nlohmann::json's copy does), for values of any depth.
ZRLRTAPLUGIN_EXPORT nlohmann::json ZRLPreviewCopyJSON(const nlohmann::json& value);
