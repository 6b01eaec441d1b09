#include "LDEventSource/LDEvent.h"

#include "Platform/Foundation/NSString.h"

namespace {

const char* readyStateText(int32_t state) {
  switch (state) {
    case LDEventReadyStateConnecting:
      return "CONNECTING";
    case LDEventReadyStateOpen:
      return "OPEN";
    case LDEventReadyStateClosed:
      return "CLOSED";
    default:
      return nullptr;
  }
}

}  // namespace

std::string LDEvent::description() const {
  return NSStringWithFormat("<%@: readyState: %@, id: %@; event: %@; data: %@>", "LDEvent",
                            readyStateText(readyState_), id_, event_, data_);
}

std::shared_ptr<LDEvent> LDEvent::copy() const {
  auto record = std::make_shared<LDEvent>();
  record->setId(id_);
  record->setEvent(event_);
  record->setData(data_);
  record->setReadyState(readyState_);
  record->setError(error_);
  return record;
}

LDEventView LDEventView::of(const LDEvent& record) {
  const auto view = [](const std::optional<std::string>& text) -> std::optional<std::string_view> {
    if (!text) return std::nullopt;
    return std::string_view(*text);
  };
  return {view(record.id()), view(record.event()), view(record.data()), record.readyState(),
          record.error()};
}
