#include "ZRLRTAPlugin/ZRLPreviewBuilder.h"

#include <memory>

#include "Platform/Dispatch/Dispatch.h"
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

nlohmann::json ZRLPreviewCopyJSON(const nlohmann::json& value) {
  if (!value.is_structured()) return value;
  const auto emptyLike = [](const nlohmann::json& item) {
    return item.is_object() ? nlohmann::json::object() : nlohmann::json::array();
  };
  nlohmann::json copy = emptyLike(value);
  // Each container is filled once its own slot exists; members go into a
  // map's nodes and into arrays reserved to their size, so the slots
  // pending here never move.
  std::vector<std::pair<const nlohmann::json*, nlohmann::json*>> pending{{&value, &copy}};
  while (!pending.empty()) {
    const auto [from, to] = pending.back();
    pending.pop_back();
    if (from->is_object()) {
      for (auto member = from->begin(); member != from->end(); ++member) {
        nlohmann::json& slot = (*to)[member.key()];
        if (member->is_structured()) {
          slot = emptyLike(*member);
          pending.emplace_back(&*member, &slot);
        } else {
          slot = *member;
        }
      }
      continue;
    }
    auto& items = to->get_ref<nlohmann::json::array_t&>();
    items.reserve(from->size());
    for (const nlohmann::json& item : *from) {
      if (item.is_structured()) {
        items.push_back(emptyLike(item));
        pending.emplace_back(&item, &items.back());
      } else {
        items.push_back(item);
      }
    }
  }
  return copy;
}

std::vector<nlohmann::json> ZRLPreviewBuilder::configurations() const {
  std::lock_guard lock(mutex_);
  std::vector<nlohmann::json> copies;
  copies.reserve(configurations_.size());
  for (const nlohmann::json& config : configurations_)
    copies.push_back(ZRLPreviewCopyJSON(config));
  return copies;
}

bool ZRLPreviewBuilder::waitForConfigurations(size_t count,
                                              std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return configurations_.size() >= count; });
}

void ZRLPreviewBuilder::resetConfigurations() {
  std::vector<nlohmann::json> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(configurations_);
  }
}

void ZRLPreviewBuilder::setObserver(Observer observer) {
  auto next = observer ? std::make_shared<const Observer>(std::move(observer)) : nullptr;
  std::lock_guard lock(observerState().mutex);
  observerState().observer = std::move(next);
}

void ZRLPreviewBuilder::show(const nlohmann::json* config) {
  static const nlohmann::json kNone;
  const nlohmann::json& value = config != nullptr ? *config : kNone;
  {
    nlohmann::json record = ZRLPreviewCopyJSON(value);
    std::lock_guard lock(mutex_);
    configurations_.push_back(std::move(record));
  }
  changed_.notify_all();
  NSLog("[ZRLRTAPlugin] Showing %@ preview", displayType_);

  // Only the few fields that are drawn go on to the main queue, read and
  // bounded here.
  std::optional<ZRLPreviewContent> content;
  if (config != nullptr) {
    const bool usesTarget = kind_ == ZRLPreviewKind::coachMark || kind_ == ZRLPreviewKind::tooltip;
    content = ZRLPreviewContent::fromConfiguration(*config, usesTarget);
    if (!content->problems.empty()) {
      NSLog("[ZRLRTAPlugin] %@ preview configuration: %@ (taken as absent)", displayType_,
            content->problems);
    }
  } else {
    NSLog("[ZRLRTAPlugin] %@ preview without a configuration: nothing is drawn", displayType_);
  }

  std::shared_ptr<const Observer> observer;
  {
    std::lock_guard lock(observerState().mutex);
    observer = observerState().observer;
  }
  // Builders are called from background queues; views live on the main one.
  // The preview is queued before the observer hears of it, so that an
  // observer that queues its own work on the main queue runs once the
  // preview is shown.
  if (content) {
    dispatch_async(dispatch_get_main_queue(), [kind = kind_, content = std::move(*content)] {
      ZRLPreviewPresenter::present(kind, content);
    });
  }
  if (observer) (*observer)(displayType_, value);
}
