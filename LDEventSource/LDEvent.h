#pragma once
// The record that the event-stream client hands to its listeners: a parsed
// message, a change of the connection's ready state, or a connection error.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "LDEventSource/LDEventSourceExport.h"
#include "Platform/Foundation/NSError.h"

// The state of an event-stream connection.
enum LDEventReadyState : int32_t {
  LDEventReadyStateConnecting = 0,
  LDEventReadyStateOpen = 1,
  LDEventReadyStateClosed = 2,
};

// A plain record of five properties. A new record has no id, event, data or
// error and the ready state CONNECTING. Records are shared with listeners as
// LDEventPtr and never changed once delivery has started.
class LDEVENTSOURCE_EXPORT LDEvent {
 public:
  const std::optional<std::string>& id() const { return id_; }
  void setId(std::optional<std::string> value) { id_ = std::move(value); }

  const std::optional<std::string>& event() const { return event_; }
  void setEvent(std::optional<std::string> value) { event_ = std::move(value); }

  // The data lines of a parsed block, joined with line feeds.
  const std::optional<std::string>& data() const { return data_; }
  void setData(std::optional<std::string> value) { data_ = std::move(value); }

  // An LDEventReadyState; any other value is stored as it is.
  int32_t readyState() const { return readyState_; }
  void setReadyState(int32_t value) { readyState_ = value; }

  const NSErrorPtr& error() const { return error_; }
  void setError(NSErrorPtr value) { error_ = std::move(value); }

  // "<LDEvent: readyState: OPEN, id: 7; event: update; data: {}>", with
  // (null) for an absent value and for a ready state outside 0 to 2. The
  // error is not part of the text.
  std::string description() const;

  // A new record with the same values; the error object is shared, not
  // copied.
  std::shared_ptr<LDEvent> copy() const;

 private:
  std::optional<std::string> id_;
  std::optional<std::string> event_;
  std::optional<std::string> data_;
  int32_t readyState_ = LDEventReadyStateConnecting;
  NSErrorPtr error_;
};

using LDEventPtr = std::shared_ptr<const LDEvent>;

// The same five properties seen without owning them: the texts are views
// that stay valid only as long as what they view (a record, or the text a
// batch handler is given for the length of its call).
struct LDEVENTSOURCE_EXPORT LDEventView {
  std::optional<std::string_view> id;
  std::optional<std::string_view> event;
  std::optional<std::string_view> data;
  int32_t readyState = LDEventReadyStateConnecting;
  NSErrorPtr error;

  static LDEventView of(const LDEvent& record);
};
