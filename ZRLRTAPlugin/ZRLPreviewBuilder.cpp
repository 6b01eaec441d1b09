#include "ZRLRTAPlugin/ZRLPreviewBuilder.h"

#include <memory>

#include "Platform/Foundation/NSLog.h"

namespace {

struct ObserverState {
  std::mutex mutex;
  std::shared_ptr<const ZRLPreviewBuilder::Observer> observer;
};

ObserverState& observerState() {
  static ObserverState* state = new ObserverState();  // NOLINT: process lifetime
  return *state;
}

}  // namespace

std::vector<nlohmann::json> ZRLPreviewBuilder::configurations() const {
  std::lock_guard lock(mutex_);
  return configurations_;
}

bool ZRLPreviewBuilder::waitForConfigurations(size_t count,
                                              std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return configurations_.size() >= count; });
}

void ZRLPreviewBuilder::resetConfigurations() {
  std::lock_guard lock(mutex_);
  configurations_.clear();
}

void ZRLPreviewBuilder::setObserver(Observer observer) {
  auto next = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
  std::lock_guard lock(observerState().mutex);
  observerState().observer = std::move(next);
}

void ZRLPreviewBuilder::show(const std::optional<nlohmann::json>& config) {
  const nlohmann::json value = config.value_or(nlohmann::json());
  {
    std::lock_guard lock(mutex_);
    configurations_.push_back(value);
  }
  changed_.notify_all();
  NSLog("[ZRLRTAPlugin] Showing %@ preview", displayType_);
  std::shared_ptr<const Observer> observer;
  {
    std::lock_guard lock(observerState().mutex);
    observer = observerState().observer;
  }
  if (observer) (*observer)(displayType_, value);
}
