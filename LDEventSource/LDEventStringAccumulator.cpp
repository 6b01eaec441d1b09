#include "LDEventSource/LDEventStringAccumulator.h"

#include <cstring>

namespace {

// A buffer larger than this is given back on reset rather than kept for the
// next text.
constexpr std::size_t kRetainedCapacity = std::size_t{64} * 1024;

}  // namespace

std::optional<std::string> LDEventStringAccumulator::eventString() const {
  if (absent_) return std::nullopt;
  return std::string(pendingEventString());
}

void LDEventStringAccumulator::setEventString(std::optional<std::string_view> value) {
  text_.assign(value.value_or(std::string_view()));
  begin_ = 0;
  scanned_ = 0;
  terminator_ = std::string::npos;
  absent_ = !value.has_value();
  findTerminator();
}

void LDEventStringAccumulator::accumulateEventStringWithString(
    std::optional<std::string_view> text) {
  if (!text || text->empty()) return;
  prepareToAppend();
  text_.append(*text);
  didAppend();
}

void LDEventStringAccumulator::reset() {
  if (text_.capacity() > kRetainedCapacity) {
    std::string().swap(text_);
  } else {
    text_.clear();
  }
  begin_ = 0;
  scanned_ = 0;
  terminator_ = std::string::npos;
  absent_ = true;
}

std::optional<std::string_view> LDEventStringAccumulator::nextEventBlock() {
  while (terminator_ != std::string::npos) {
    std::string_view block = std::string_view(text_).substr(begin_, terminator_ - begin_);
    begin_ = terminator_ + 2;
    scanned_ = begin_;
    terminator_ = std::string::npos;
    findTerminator();
    if (begin_ == text_.size()) absent_ = true;
    // A block holds no pair of line feeds, so at most one extra line feed of
    // a run can lead it; a block of nothing else is no block.
    if (!block.empty() && block.front() == '\n') block.remove_prefix(1);
    if (!block.empty()) return block;
  }
  return std::nullopt;
}

void LDEventStringAccumulator::prepareToAppend() {
  if (begin_ == 0) return;
  // The blocks before begin_ were taken out; moving the rest to the front
  // costs at most the text appended since the last move.
  text_.erase(0, begin_);
  scanned_ -= begin_;
  if (terminator_ != std::string::npos) terminator_ -= begin_;
  begin_ = 0;
}

void LDEventStringAccumulator::didAppend() {
  if (text_.size() > begin_) absent_ = false;
  if (terminator_ == std::string::npos) findTerminator();
}

void LDEventStringAccumulator::findTerminator() {
  const char* text = text_.data();
  const std::size_t end = text_.size();
  std::size_t from = scanned_;
  while (from < end) {
    const void* found = std::memchr(text + from, '\n', end - from);
    if (found == nullptr) break;
    const auto lineFeed = static_cast<std::size_t>(static_cast<const char*>(found) - text);
    if (lineFeed + 1 == end) {
      // The next byte decides; look at this line feed again then.
      scanned_ = lineFeed;
      return;
    }
    if (text[lineFeed + 1] == '\n') {
      terminator_ = lineFeed;
      scanned_ = lineFeed;
      return;
    }
    from = lineFeed + 2;
  }
  scanned_ = end;
}
