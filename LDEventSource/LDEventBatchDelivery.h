#pragma once
// Part of the event-stream client: the delivery of the records of one piece
// of the stream (or of one change of state), to the batch handler as views
// and to the listeners as one block of record objects.

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "LDEventSource/LDEvent.h"
#include "LDEventSource/LDEventFlowControl.h"
#include "LDEventSource/LDEventListeners.h"
#include "LDEventSource/LDEventParser.h"
#include "LDEventSource/LDEventSourceExport.h"
#include "Platform/Foundation/NSError.h"

// One record as a batch handler sees it, and the types that the listeners
// get it under, in order: "message" and then its own event name for a
// parsed record; "readyState" and then "open" or "error" for a change of
// state ("readyState" alone for CONNECTING).
struct LDEVENTSOURCE_EXPORT LDEventDelivery {
  LDEventView record;
  std::array<std::string_view, 2> types{};
  std::size_t typeCount = 0;

  std::span<const std::string_view> typeNames() const { return {types.data(), typeCount}; }
};
// A batch handler: the records of one piece of the stream (or one change of
// state), whose views stay valid for the call only.
using LDEventSourceBatchHandler = std::function<void(std::span<const LDEventDelivery> records)>;

// The records of a piece are staged as the reader parses their blocks: their
// texts in one buffer, so the batch handler gets views and no record
// objects, which are made only when listeners are registered. A block handed
// to the listener queue counts in the flow control until its calls have run.
//
// Not thread-safe but for setBatchHandler: the client calls the rest under
// its stream lock, one piece at a time.
class LDEVENTSOURCE_EXPORT LDEventBatchDelivery {
 public:
  // The bounds are those of the flow control of the records in flight.
  LDEventBatchDelivery(LDEventListeners& listeners, std::size_t maximumRecords,
                       std::size_t maximumBytes);

  LDEventFlowControl& flow() { return returns_->flow; }
  const LDEventFlowControl& flow() const { return returns_->flow; }

  // Stages the fields of one parsed block.
  void stage(const LDEventParser::BlockFields& fields);
  // Delivers the staged records and empties the stage.
  void deliverStaged();
  // A change of state, delivered the same way.
  void deliverState(LDEventReadyState state, LDEventOccasion occasion, NSErrorPtr error = nullptr);

  // Any thread, the handler included (a handler that sets another one does
  // not end the call under way).
  void setBatchHandler(LDEventSourceBatchHandler handler);

 private:
  // A batch whose calls have run comes back for a later piece: a batch's
  // buffer is a few KiB, and allocating one per piece would make the
  // allocator tidy its free lists each time. Its records are let go when it
  // is reused, by the thread that reads the stream: freed where they were
  // made, their memory goes straight back to the records it parses next.
  struct Spares {
    std::mutex mutex;
    std::vector<LDEventBatch> batches;

    void recycle(LDEventBatch batch);
    LDEventBatch take();
  };
  // What a block gives back once its calls have run: its records to the
  // flow control, its buffer to the spares. Shared with the blocks, which
  // may outlive the client.
  struct Returns {
    Returns(std::size_t maximumRecords, std::size_t maximumBytes)
        : flow(maximumRecords, maximumBytes) {}
    LDEventFlowControl flow;
    Spares spares;
  };
  // Where the texts of a staged record are in text_.
  struct Staged {
    std::size_t idOffset = 0;
    std::size_t idSize = 0;
    std::size_t eventOffset = 0;
    std::size_t eventSize = 0;
    std::size_t dataOffset = 0;
    std::size_t dataSize = 0;
    bool hasId = false;
    bool hasEvent = false;
    bool hasData = false;
  };

  std::shared_ptr<const LDEventSourceBatchHandler> batchHandler() const;
  void callBatchHandler(const LDEventSourceBatchHandler& handler,
                        std::span<const LDEventDelivery> records);
  void post(LDEventBatch batch, std::size_t bytes);

  LDEventListeners& listeners_;
  const std::shared_ptr<Returns> returns_;

  std::vector<Staged> staged_;
  std::string text_;
  std::size_t textBytes_ = 0;
  std::vector<LDEventDelivery> deliveries_;  // kept for the next piece

  mutable std::mutex handlerMutex_;
  std::shared_ptr<const LDEventSourceBatchHandler> batchHandler_;  // under handlerMutex_
};
