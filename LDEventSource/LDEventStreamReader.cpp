#include "LDEventSource/LDEventStreamReader.h"

#include <cstring>

#include "LDEventSource/LDEventParser.h"

namespace {

// Large chunks are read in slices of this many bytes, so the text held
// stays near the size limit however large a chunk is, and each slice is
// still in the cache when its blocks are parsed.
constexpr std::size_t kSliceSize = std::size_t{64} * 1024;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

LDEventStreamReader::LDEventStreamReader(FieldsHandler handler, std::size_t maxEventSize)
    : handler_(std::move(handler)), maxEventSize_(maxEventSize) {}

bool LDEventStreamReader::appendBytes(std::string_view bytes) {
  while (!bytes.empty() && !exceededSizeLimit_) {
    const std::string_view slice = bytes.substr(0, kSliceSize);
    bytes.remove_prefix(slice.size());
    accumulator_.accumulateEventStringWith([&](std::string& text) { decode(slice, text); });
    if (!parseCompleteBlocks()) break;
  }
  return !exceededSizeLimit_;
}

void LDEventStreamReader::reset() {
  if (joined_.capacity() > kSliceSize) std::string().swap(joined_);
  accumulator_.reset();
  decoder_.reset();
  atBodyStart_ = true;
  afterReturn_ = false;
  exceededSizeLimit_ = false;
}

void LDEventStreamReader::reset(std::size_t maxEventSize) {
  maxEventSize_ = maxEventSize;
  reset();
}

void LDEventStreamReader::decode(std::string_view bytes, std::string& text) {
  const std::size_t from = text.size();
  decoder_.decode(bytes, text);
  if (text.size() == from) return;
  if (atBodyStart_) {
    atBodyStart_ = false;
    if (std::string_view(text).substr(from).starts_with(kByteOrderMark)) {
      text.erase(from, kByteOrderMark.size());
    }
  }
  normalizeLineBreaks(text, from);
}

void LDEventStreamReader::normalizeLineBreaks(std::string& text, std::size_t from) {
  const std::size_t size = text.size();
  if (from == size) return;
  char* characters = text.data();
  std::size_t read = from;
  if (afterReturn_ && characters[read] == '\n') ++read;
  afterReturn_ = false;
  // Each CR becomes an LF, and the text after it moves down over an LF that
  // follows it; text without CR is not touched.
  std::size_t write = from;
  while (read < size) {
    const void* found = std::memchr(characters + read, '\r', size - read);
    const std::size_t end =
        found == nullptr ? size
                         : static_cast<std::size_t>(static_cast<const char*>(found) - characters);
    if (write != read) std::memmove(characters + write, characters + read, end - read);
    write += end - read;
    read = end;
    if (read == size) break;
    characters[write++] = '\n';
    ++read;
    if (read == size) {
      afterReturn_ = true;
    } else if (characters[read] == '\n') {
      ++read;
    }
  }
  text.resize(write);
}

bool LDEventStreamReader::parseCompleteBlocks() {
  while (const auto block = accumulator_.nextEventBlock()) {
    if (block->size() > maxEventSize_) {
      failOnSizeLimit();
      return false;
    }
    handler_(LDEventParser::parseEventBlockFields(*block, joined_));
  }
  // The text held is the start of one block: a line feed left of a run at
  // its front and the first line feed of its terminator at its end are not
  // part of it.
  const std::string_view pending = accumulator_.pendingEventString();
  std::size_t blockSize = pending.size();
  if (pending.starts_with('\n')) --blockSize;
  if (blockSize > 0 && pending.ends_with('\n')) --blockSize;
  if (blockSize > maxEventSize_) {
    failOnSizeLimit();
    return false;
  }
  return true;
}

void LDEventStreamReader::failOnSizeLimit() {
  exceededSizeLimit_ = true;
  accumulator_.reset();
  decoder_.reset();
  afterReturn_ = false;
}
