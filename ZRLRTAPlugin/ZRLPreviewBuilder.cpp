#include "ZRLRTAPlugin/ZRLPreviewBuilder.h"

#include <memory>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSLog.h"
#include "Platform/UIKit/UILabel.h"
#include "Platform/UIKit/UIWindow.h"

namespace {

struct ObserverState {
  std::mutex mutex;
  std::shared_ptr<const ZRLPreviewBuilder::Observer> observer;
};

ObserverState& observerState() {
  static ObserverState* state = new ObserverState();  // NOLINT: process lifetime
  return *state;
}

// Shows a card naming the display type at the bottom of the key window,
// in place of any earlier one. Main thread.
void showPreviewView(const std::string& displayType) {
  const auto window = UIApplication::sharedApplication().keyWindow();
  if (!window) return;
  for (const UIViewPtr& view : std::vector<UIViewPtr>(window->subviews())) {
    if (view->tag() == ZRLPreviewViewTag) view->removeFromSuperview();
  }
  const CGRect bounds = window->bounds();
  const CGFloat width = bounds.size.width * 0.8;
  auto card =
      std::make_shared<UILabel>(CGRectMake(bounds.origin.x + (bounds.size.width - width) / 2,
                                           bounds.origin.y + bounds.size.height * 0.75, width, 56));
  card->setTag(ZRLPreviewViewTag);
  card->setBackgroundColor(UIColor::colorWithRed(0.15, 0.15, 0.2, 0.92));
  card->layer().setCornerRadius(12);
  card->setTextColor(UIColor::whiteColor());
  card->setTextAlignment(NSTextAlignment::center);
  card->setText(displayType + " preview");
  window->addSubview(card);
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
  // Builders are called from background queues; views live on the main one.
  // The card is queued before the observer hears of it, so that an observer
  // that queues its own work on the main queue runs once the card is shown.
  dispatch_async(dispatch_get_main_queue(),
                 [displayType = displayType_] { showPreviewView(displayType); });
  if (observer) (*observer)(displayType_, value);
}
