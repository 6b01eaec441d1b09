#include "LDEventSource/LDEventListeners.h"

#include <exception>

#include "LDEventSource/LDEventSourceConstants.h"
#include "Platform/Foundation/NSLog.h"

namespace {

// A handler that throws is reported; the other calls of its block still run.
void callHandler(const LDEventSourceEventHandler& handler, const LDEventPtr& event) noexcept {
  try {
    handler(event);
  } catch (const std::exception& e) {
    NSLog("LDEventSource: a listener threw: %s", e.what());
  } catch (...) {
    NSLog("LDEventSource: a listener threw");
  }
}

}  // namespace

LDEventListeners::LDEventListeners() : state_(std::make_shared<State>()) {
  state_->registry = std::make_shared<const Registry>();
  state_->queue = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0);
}

const LDEventListeners::Handlers* LDEventListeners::Registry::handlersOf(
    std::string_view type) const {
  const auto it = byType.find(type);
  return it == byType.end() ? nullptr : &it->second;
}

void LDEventListeners::add(std::string_view type, LDEventSourceEventHandler handler) {
  if (!handler) return;
  auto copy = std::make_shared<const LDEventSourceEventHandler>(std::move(handler));
  std::lock_guard lock(state_->mutex);
  auto registry = std::make_shared<Registry>();
  registry->byType = state_->registry->byType;
  auto it = registry->byType.find(type);
  if (it == registry->byType.end())
    it = registry->byType.emplace(std::string(type), Handlers()).first;
  it->second.push_back(std::move(copy));
  registry->messages = registry->handlersOf(MessageEvent);
  state_->registry = std::move(registry);
  state_->version.fetch_add(1);
}

void LDEventListeners::clear() {
  std::lock_guard lock(state_->mutex);
  state_->clears.fetch_add(1);
  state_->registry = std::make_shared<const Registry>();
  state_->version.fetch_add(1);
}

bool LDEventListeners::empty() const {
  std::lock_guard lock(state_->mutex);
  return state_->registry->byType.empty();
}

std::map<std::string, size_t> LDEventListeners::counts() const {
  std::lock_guard lock(state_->mutex);
  std::map<std::string, size_t> counts;
  for (const auto& [type, handlers] : state_->registry->byType)
    counts[type] = handlers.size();
  return counts;
}

dispatch_queue_t LDEventListeners::queue() const {
  std::lock_guard lock(state_->mutex);
  return state_->queue;
}

void LDEventListeners::setQueue(dispatch_queue_t queue) {
  if (!queue) return;
  std::lock_guard lock(state_->mutex);
  state_->queue = std::move(queue);
}

void LDEventListeners::post(const LDEventPtr& event, std::string_view type) {
  std::lock_guard lock(state_->mutex);
  if (state_->registry->handlersOf(type) == nullptr) return;
  dispatch_async(state_->queue, [registry = state_->registry, event, type = std::string(type)] {
    for (const auto& handler : *registry->handlersOf(type))
      callHandler(*handler, event);
  });
}

void LDEventListeners::callBatch(const State& state, std::shared_ptr<const Registry> registry,
                                 uint64_t version, uint64_t clears, const LDEventBatch& batch) {
  for (const LDEventQueued& queued : batch) {
    // A record goes to the listeners registered when its calls start, or,
    // once clear() has run since the batch was queued, to those before it.
    if (state.version.load() != version) {
      std::lock_guard lock(state.mutex);
      if (state.clears.load() == clears) registry = state.registry;
      version = state.version.load();
    }
    callRecord(*registry, queued);
  }
}

void LDEventListeners::callRecord(const Registry& registry, const LDEventQueued& queued) {
  const auto callEach = [&queued](const Handlers* handlers) {
    if (handlers == nullptr) return;
    for (const auto& handler : *handlers)
      callHandler(*handler, queued.event);
  };
  const auto callAll = [&](std::string_view type) { callEach(registry.handlersOf(type)); };
  switch (queued.occasion) {
    case LDEventOccasion::Parsed:
      // "message", then the record's own name, which is not compared with
      // the client's names: a record named "message" reaches those handlers
      // twice.
      callEach(registry.messages);
      if (queued.event->event()) callAll(*queued.event->event());
      break;
    case LDEventOccasion::Connecting:
      callAll(ReadyStateEvent);
      break;
    case LDEventOccasion::Opened:
      callAll(ReadyStateEvent);
      callAll(OpenEvent);
      break;
    case LDEventOccasion::Ended:
      callAll(ReadyStateEvent);
      callAll(ErrorEvent);
      break;
  }
}
