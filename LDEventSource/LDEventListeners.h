#pragma once
// Part of the event-stream client: its listeners by event type, the queue
// on which they run, and the blocks that carry records to them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "LDEventSource/LDEvent.h"
#include "LDEventSource/LDEventSourceExport.h"
#include "Platform/Dispatch/Dispatch.h"

// A listener: called with each record delivered under the type it was
// registered for.
using LDEventSourceEventHandler = std::function<void(const LDEventPtr& event)>;

// Why a record is delivered, which gives the types it goes to, in order.
enum class LDEventOccasion : uint8_t {
  Parsed,      // "message", then the record's own event name if any
  Connecting,  // "readyState"
  Opened,      // "readyState", "open"
  Ended,       // "readyState", "error"
};
struct LDEVENTSOURCE_EXPORT LDEventQueued {
  LDEventPtr event;
  LDEventOccasion occasion;
};
// The records of one piece of the stream (or one change of state).
using LDEventBatch = std::vector<LDEventQueued>;

// Safe from any thread, also from the listeners themselves. A registration
// copies the registry (copy on write), so a block on the listener queue
// never waits for one: it looks at the version before each record and takes
// the new registry only when it has changed. clear() (the client's close())
// ends that: blocks queued before it go on with the listeners registered
// before it.
class LDEVENTSOURCE_EXPORT LDEventListeners {
 public:
  LDEventListeners();

  void add(std::string_view type, LDEventSourceEventHandler handler);
  void clear();
  bool empty() const;
  std::map<std::string, size_t> counts() const;

  // The high-priority global queue unless set.
  dispatch_queue_t queue() const;
  void setQueue(dispatch_queue_t queue);

  // Queues one block that makes every call of the batch, in order, and then
  // runs done(batch) on the listener queue; false (and the batch left
  // alone) when no listener is registered. Queued under the registry's
  // lock, so that once clear() has returned nothing more is queued.
  template <typename Done>
  bool post(LDEventBatch&& batch, Done done);
  // A record to the listeners of exactly one type.
  void post(const LDEventPtr& event, std::string_view type);

 private:
  using Handlers = std::vector<std::shared_ptr<const LDEventSourceEventHandler>>;
  // Listeners by type; never changed once made.
  struct Registry {
    std::map<std::string, Handlers, std::less<>> byType;
    // byType's "message" list, which every parsed record goes to, if any.
    const Handlers* messages = nullptr;

    const Handlers* handlersOf(std::string_view type) const;
  };
  // Shared with the blocks on the queue, which may outlive the client.
  struct State {
    mutable std::mutex mutex;
    std::shared_ptr<const Registry> registry;
    dispatch_queue_t queue;
    // Bumped under mutex whenever registry changes, and by clear().
    std::atomic<uint64_t> version{0};
    std::atomic<uint64_t> clears{0};
  };

  static void callBatch(const State& state, std::shared_ptr<const Registry> registry,
                        uint64_t version, uint64_t clears, const LDEventBatch& batch);
  static void callRecord(const Registry& registry, const LDEventQueued& queued);

  std::shared_ptr<State> state_;
};

template <typename Done>
bool LDEventListeners::post(LDEventBatch&& batch, Done done) {
  std::lock_guard lock(state_->mutex);
  if (state_->registry->byType.empty()) return false;
  dispatch_async(state_->queue, [state = state_, registry = state_->registry,
                                 version = state_->version.load(), clears = state_->clears.load(),
                                 batch = std::move(batch), done = std::move(done)]() mutable {
    callBatch(*state, std::move(registry), version, clears, batch);
    done(batch);
  });
  return true;
}
