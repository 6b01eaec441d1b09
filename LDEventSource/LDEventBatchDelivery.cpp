#include "LDEventSource/LDEventBatchDelivery.h"

#include <exception>
#include <optional>

#include "LDEventSource/LDEventSourceConstants.h"
#include "Platform/Foundation/NSLog.h"

namespace {

// Room for the records of a full 16 KiB piece of short events.
constexpr std::size_t kBatchCapacity = 256;

// A few spares cover the pieces in flight at once; more would only hold
// memory.
constexpr std::size_t kMostSpares = 4;

// The most room for the texts of a piece that is kept between pieces.
constexpr std::size_t kRetainedTextCapacity = std::size_t{1} << 20;

}  // namespace

LDEventBatchDelivery::LDEventBatchDelivery(LDEventListeners& listeners, std::size_t maximumRecords,
                                           std::size_t maximumBytes)
    : listeners_(listeners), returns_(std::make_shared<Returns>(maximumRecords, maximumBytes)) {}

void LDEventBatchDelivery::stage(const LDEventParser::BlockFields& fields) {
  Staged& staged = staged_.emplace_back();
  const auto keep = [this](const std::optional<std::string_view>& text, std::size_t& offset,
                           std::size_t& size) {
    if (!text) return false;
    offset = text_.size();
    size = text->size();
    text_.append(*text);
    textBytes_ += text->size();
    return true;
  };
  staged.hasId = keep(fields.id, staged.idOffset, staged.idSize);
  staged.hasEvent = keep(fields.event, staged.eventOffset, staged.eventSize);
  staged.hasData = keep(fields.data, staged.dataOffset, staged.dataSize);
}

void LDEventBatchDelivery::deliverStaged() {
  if (staged_.empty()) return;
  const std::string_view text(text_);
  const auto view = [text](bool present, std::size_t offset,
                           std::size_t size) -> std::optional<std::string_view> {
    if (!present) return std::nullopt;
    return text.substr(offset, size);
  };
  if (const auto handler = batchHandler()) {
    deliveries_.resize(staged_.size());
    for (std::size_t i = 0; i < staged_.size(); ++i) {
      const Staged& staged = staged_[i];
      LDEventDelivery& delivery = deliveries_[i];
      delivery.record.id = view(staged.hasId, staged.idOffset, staged.idSize);
      delivery.record.event = view(staged.hasEvent, staged.eventOffset, staged.eventSize);
      delivery.record.data = view(staged.hasData, staged.dataOffset, staged.dataSize);
      delivery.record.readyState = LDEventReadyStateOpen;
      delivery.types[0] = MessageEvent;
      delivery.typeCount = 1;
      if (delivery.record.event) delivery.types[delivery.typeCount++] = *delivery.record.event;
    }
    callBatchHandler(*handler, deliveries_);
  }
  // Records are made only for listeners that take them.
  if (!listeners_.empty()) {
    LDEventBatch batch = returns_->spares.take();
    for (const Staged& staged : staged_) {
      auto record = std::make_shared<LDEvent>();
      record->setReadyState(LDEventReadyStateOpen);
      if (staged.hasId) record->setId(std::string(text.substr(staged.idOffset, staged.idSize)));
      if (staged.hasEvent) {
        record->setEvent(std::string(text.substr(staged.eventOffset, staged.eventSize)));
      }
      if (staged.hasData) {
        record->setData(std::string(text.substr(staged.dataOffset, staged.dataSize)));
      }
      batch.push_back({std::move(record), LDEventOccasion::Parsed});
    }
    post(std::move(batch), textBytes_);
  }
  staged_.clear();
  // The text of a piece of short events is kept for the next one; that of
  // a huge event is given back.
  if (text_.capacity() > kRetainedTextCapacity) {
    std::string().swap(text_);
  } else {
    text_.clear();
  }
  textBytes_ = 0;
}

void LDEventBatchDelivery::deliverState(LDEventReadyState state, LDEventOccasion occasion,
                                        NSErrorPtr error) {
  auto record = std::make_shared<LDEvent>();
  record->setReadyState(state);
  record->setError(std::move(error));
  if (const auto handler = batchHandler()) {
    LDEventDelivery delivery{LDEventView::of(*record)};
    delivery.types[delivery.typeCount++] = ReadyStateEvent;
    if (occasion == LDEventOccasion::Opened) delivery.types[delivery.typeCount++] = OpenEvent;
    if (occasion == LDEventOccasion::Ended) delivery.types[delivery.typeCount++] = ErrorEvent;
    callBatchHandler(*handler, std::span<const LDEventDelivery>(&delivery, 1));
  }
  post({{std::move(record), occasion}}, 0);
}

void LDEventBatchDelivery::post(LDEventBatch batch, std::size_t bytes) {
  const std::size_t records = batch.size();
  returns_->flow.admit(records, bytes);
  const bool posted =
      listeners_.post(std::move(batch), [returns = returns_, bytes](LDEventBatch& done) {
        returns->flow.release(done.size(), bytes);
        returns->spares.recycle(std::move(done));
      });
  if (!posted) returns_->flow.release(records, bytes);
}

void LDEventBatchDelivery::setBatchHandler(LDEventSourceBatchHandler handler) {
  auto shared =
      handler ? std::make_shared<const LDEventSourceBatchHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(handlerMutex_);
  batchHandler_ = std::move(shared);
}

std::shared_ptr<const LDEventSourceBatchHandler> LDEventBatchDelivery::batchHandler() const {
  std::lock_guard lock(handlerMutex_);
  return batchHandler_;
}

void LDEventBatchDelivery::callBatchHandler(const LDEventSourceBatchHandler& handler,
                                            std::span<const LDEventDelivery> records) {
  try {
    handler(records);
  } catch (const std::exception& e) {
    NSLog("LDEventSource: the batch handler threw: %s", e.what());
  } catch (...) {
    NSLog("LDEventSource: the batch handler threw");
  }
}

void LDEventBatchDelivery::Spares::recycle(LDEventBatch batch) {
  // Only a batch with the room that take() asks for is worth keeping. A
  // smaller one (a state change's single record) would be replaced on reuse
  // anyway, and kept it would hold its record for as long as the stream
  // stays idle.
  if (batch.capacity() < kBatchCapacity) return;
  std::lock_guard lock(mutex);
  if (batches.size() < kMostSpares) batches.push_back(std::move(batch));
}

LDEventBatch LDEventBatchDelivery::Spares::take() {
  LDEventBatch batch;
  {
    std::lock_guard lock(mutex);
    if (!batches.empty()) {
      batch = std::move(batches.back());
      batches.pop_back();
    }
  }
  batch.clear();
  batch.reserve(kBatchCapacity);
  return batch;
}
