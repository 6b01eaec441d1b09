#pragma once
// Turns the text of an event stream into event records: the fields of one
// event block become one LDEvent, and a "retry" field a reconnection
// interval.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LDEventSource/LDEvent.h"
#include "LDEventSource/LDEventSourceExport.h"

// Lines end at LF, CR or CR LF; a blank line ends a block, and line breaks
// where a block would begin are skipped. VT, FF, NEL, U+2028 and U+2029 are
// ordinary characters of a line.
//
// A field line is a name, a colon and a value. Tabs and Unicode space
// separators before the name and after the colon are skipped; everything
// else is kept, so a name with trailing whitespace matches no field. A line
// without a colon or without a value, a line that begins with a colon (a
// comment) and an unknown name are ignored. "event" and "id" keep their last
// value, "data" lines are joined with line feeds, and "retry" counts only
// when its value is all ASCII digits: the milliseconds become seconds, and a
// number too large for 64 bits counts as the largest 64-bit number. Every
// block makes a record with ready state OPEN, also one with no field.
//
// The object form parses the first block of a text and tells what follows
// it; parseEventBlock is the form the stream reader uses, one block at a
// time, without copying the text.
class LDEVENTSOURCE_EXPORT LDEventParser {
 public:
  // What one block yields.
  struct ParsedBlock {
    LDEventPtr event;
    // Seconds, from the block's last valid "retry" line.
    std::optional<double> retryInterval;
  };

  // Parses one block, given without the blank line that ends it; its lines
  // are separated by LF, CR or CR LF.
  static ParsedBlock parseEventBlock(std::string_view block);

  // The same fields as views, without making a record: into the block, but
  // for data of several lines, whose joined text is kept in `joined`. Valid
  // while both are.
  struct BlockFields {
    std::optional<std::string_view> id;
    std::optional<std::string_view> event;
    std::optional<std::string_view> data;
    std::optional<double> retryInterval;
  };
  static BlockFields parseEventBlockFields(std::string_view block, std::string& joined);

  static std::shared_ptr<LDEventParser> eventParserWithEventString(
      std::optional<std::string> eventString);
  // Stores the text and parses it at once.
  explicit LDEventParser(std::optional<std::string> eventString);

  const std::optional<std::string>& eventString() const { return eventString_; }
  void setEventString(std::optional<std::string> value) { eventString_ = std::move(value); }

  // The record of the first block; absent when the text holds no complete
  // block.
  const LDEventPtr& event() const { return event_; }
  void setEvent(LDEventPtr value) { event_ = std::move(value); }

  const std::optional<double>& retryInterval() const { return retryInterval_; }
  void setRetryInterval(std::optional<double> value) { retryInterval_ = value; }

  // The text after the first block; absent when nothing follows it or the
  // text holds no complete block.
  const std::optional<std::string>& remainingEventString() const { return remainingEventString_; }
  void setRemainingEventString(std::optional<std::string> value) {
    remainingEventString_ = std::move(value);
  }

  // Fills event, retryInterval and remainingEventString from eventString.
  void parseEventString();

  // The lines of the first complete block followed by the two empty lines
  // that end it; absent when there is no complete block.
  std::optional<std::vector<std::string>> linesToParseFromEventString() const;

  // The text after the first complete block, or absent when it is empty or
  // there is no complete block.
  std::optional<std::string> remainingEventStringAfterParsingEventString() const;

 private:
  std::optional<std::string> eventString_;
  LDEventPtr event_;
  std::optional<double> retryInterval_;
  std::optional<std::string> remainingEventString_;
};
