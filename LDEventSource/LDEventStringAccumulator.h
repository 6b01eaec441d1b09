#pragma once
// Gathers the text of an event stream until event blocks are complete, and
// hands the complete blocks out one by one while an unfinished block stays.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "LDEventSource/LDEventSourceExport.h"

// Text goes in at the end; complete blocks (text before two line feeds) come
// out at the front. The search for the end of a block resumes where the last
// one stopped, and taking a block out moves only the unfinished rest, so the
// cost per byte is constant however the text arrives.
//
// Not thread-safe: one connection feeds it, holding its own lock.
class LDEVENTSOURCE_EXPORT LDEventStringAccumulator {
 public:
  // The text gathered and not yet taken out; absent when there is none.
  std::optional<std::string> eventString() const;
  // Replaces the gathered text.
  void setEventString(std::optional<std::string_view> value);

  // Appends the text; absent or empty text changes nothing.
  void accumulateEventStringWithString(std::optional<std::string_view> text);

  // Appends what `write` adds to the end of the gathered text. `write` gets
  // the text buffer and must only append to it; this lets a decoder write
  // straight into the accumulator without an intermediate copy.
  template <typename Writer>
  void accumulateEventStringWith(Writer&& write) {
    prepareToAppend();
    std::forward<Writer>(write)(text_);
    didAppend();
  }

  // True when the gathered text holds two consecutive line feeds.
  bool isReadyToParseEvent() const { return terminator_ != std::string::npos; }

  // Empties the accumulator.
  void reset();

  // Takes out the next complete block: the text before the first pair of
  // line feeds, without them. Line feeds where a block would begin belong to
  // no block and are skipped, so a block is never empty and never begins
  // with a line feed. Absent when no complete block is left; the text after
  // the last complete block stays. The view is valid until the accumulator
  // is next changed.
  std::optional<std::string_view> nextEventBlock();

  // The text gathered and not yet taken out, as a view valid until the
  // accumulator is next changed.
  std::string_view pendingEventString() const { return std::string_view(text_).substr(begin_); }
  std::size_t pendingSize() const { return text_.size() - begin_; }

 private:
  void prepareToAppend();
  void didAppend();
  void findTerminator();

  std::string text_;
  // Where the text not yet taken out begins.
  std::size_t begin_ = 0;
  // Where the search for the next terminator resumes.
  std::size_t scanned_ = 0;
  // The first terminator at or after begin_, once found.
  std::size_t terminator_ = std::string::npos;
  bool absent_ = true;
};
