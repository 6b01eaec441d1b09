#include "LDEventSource/LDEventParser.h"

#include <cstdint>
#include <cstring>
#include <limits>

#include "LDEventSource/LDEventSourceConstants.h"

namespace {

constexpr std::size_t kNone = std::string_view::npos;

std::size_t find(std::string_view text, char byte, std::size_t from) {
  if (from >= text.size()) return text.size();
  const void* found = std::memchr(text.data() + from, byte, text.size() - from);
  return found == nullptr ? text.size()
                          : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

// Reads the lines of a block one by one. Each kind of line break is searched
// for at most once per byte: the next LF and the next CR are remembered
// until the reading passes them.
class LineReader {
 public:
  explicit LineReader(std::string_view text)
      : text_(text), nextLineFeed_(find(text, '\n', 0)), nextReturn_(find(text, '\r', 0)) {}

  bool next(std::string_view& line) {
    if (position_ > text_.size()) return false;
    if (nextLineFeed_ < position_) nextLineFeed_ = find(text_, '\n', position_);
    if (nextReturn_ < position_) nextReturn_ = find(text_, '\r', position_);
    const std::size_t end = std::min(nextLineFeed_, nextReturn_);
    line = text_.substr(position_, end - position_);
    position_ = end + 1;
    if (end < text_.size() && text_[end] == '\r' && position_ < text_.size() &&
        text_[position_] == '\n') {
      ++position_;
    }
    return true;
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
  std::size_t nextLineFeed_;
  std::size_t nextReturn_;
};

bool isLineBreak(char byte) {
  return byte == '\n' || byte == '\r';
}

// The length of the line break at position; CR LF counts as one.
std::size_t lineBreakLength(std::string_view text, std::size_t position) {
  return text[position] == '\r' && position + 1 < text.size() && text[position + 1] == '\n' ? 2 : 1;
}

struct LocatedBlock {
  std::string_view block;
  std::string_view remaining;
};

// The first block of the text and the text after the blank line that ends
// it; absent when no block of the text is complete.
std::optional<LocatedBlock> locateFirstBlock(std::string_view text) {
  std::size_t position = 0;
  while (position < text.size() && isLineBreak(text[position]))
    ++position;
  const std::size_t begin = position;
  while (true) {
    const std::size_t lineEnd = text.find_first_of("\r\n", position);
    if (lineEnd == kNone) return std::nullopt;
    const std::size_t next = lineEnd + lineBreakLength(text, lineEnd);
    if (next >= text.size()) return std::nullopt;
    if (isLineBreak(text[next])) {
      return LocatedBlock{text.substr(begin, lineEnd - begin),
                          text.substr(next + lineBreakLength(text, next))};
    }
    position = next;
  }
}

// The length of the tab or Unicode space separator (category Zs) at the
// start of the UTF-8 text, or 0.
std::size_t whitespaceLength(std::string_view text) {
  const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  switch (byte(0)) {
    case 0x09:
    case 0x20:
      return 1;
    case 0xC2:
      return text.size() >= 2 && byte(1) == 0xA0 ? 2 : 0;  // U+00A0
    case 0xE1:
      return text.starts_with("\u1680") ? 3 : 0;
    case 0xE2:
      if (text.size() < 3) return 0;
      if (byte(1) == 0x80 && ((byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xAF)) {
        return 3;  // U+2000 to U+200A, U+202F
      }
      return byte(1) == 0x81 && byte(2) == 0x9F ? 3 : 0;  // U+205F
    case 0xE3:
      return text.starts_with("\u3000") ? 3 : 0;
    default:
      return 0;
  }
}

std::size_t skipWhitespace(std::string_view line, std::size_t position) {
  while (position < line.size()) {
    const std::size_t length = whitespaceLength(line.substr(position));
    if (length == 0) break;
    position += length;
  }
  return position;
}

// Milliseconds of a "retry" value of ASCII digits, in seconds; absent for
// any other character. Too many digits saturate at the largest int64.
std::optional<double> retrySeconds(std::string_view value) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t milliseconds = 0;
  for (const char character : value) {
    if (character < '0' || character > '9') return std::nullopt;
    const int digit = character - '0';
    milliseconds = milliseconds > (kMax - digit) / 10 ? kMax : milliseconds * 10 + digit;
  }
  return static_cast<double>(milliseconds) / MILLISEC_PER_SEC;
}

}  // namespace

LDEventParser::BlockFields LDEventParser::parseEventBlockFields(std::string_view block,
                                                                std::string& joined) {
  BlockFields fields;
  // Data of one line stays a view into the block; a second line starts
  // the joined text.
  bool dataJoined = false;

  LineReader reader(block);
  std::string_view line;
  while (reader.next(line)) {
    if (line.starts_with(LDEventSourceKeyValueDelimiter)) continue;
    const std::size_t nameBegin = skipWhitespace(line, 0);
    const std::size_t colon = line.find(':', nameBegin);
    // No colon, or nothing before it: no value or no name.
    if (colon == kNone || colon == nameBegin) continue;
    const std::size_t valueBegin = skipWhitespace(line, colon + 1);
    if (valueBegin == line.size()) continue;
    const std::string_view name = line.substr(nameBegin, colon - nameBegin);
    const std::string_view value = line.substr(valueBegin);
    if (name == LDEventKeyData) {
      if (dataJoined) {
        joined.push_back('\n');
        joined.append(value);
      } else if (fields.data) {
        joined.assign(*fields.data);
        joined.push_back('\n');
        joined.append(value);
        dataJoined = true;
      } else {
        fields.data = value;
      }
    } else if (name == LDEventKeyEvent) {
      fields.event = value;
    } else if (name == LDEventKeyId) {
      fields.id = value;
    } else if (name == LDEventKeyRetry) {
      if (auto seconds = retrySeconds(value)) fields.retryInterval = seconds;
    }
  }
  if (dataJoined) fields.data = std::string_view(joined);
  return fields;
}

LDEventParser::ParsedBlock LDEventParser::parseEventBlock(std::string_view block) {
  std::string joined;
  const BlockFields fields = parseEventBlockFields(block, joined);
  auto record = std::make_shared<LDEvent>();
  record->setReadyState(LDEventReadyStateOpen);
  if (fields.id) record->setId(std::string(*fields.id));
  if (fields.event) record->setEvent(std::string(*fields.event));
  if (fields.data) {
    if (fields.data->data() == joined.data()) {
      record->setData(std::move(joined));
    } else {
      record->setData(std::string(*fields.data));
    }
  }
  return {std::move(record), fields.retryInterval};
}

std::shared_ptr<LDEventParser> LDEventParser::eventParserWithEventString(
    std::optional<std::string> eventString) {
  return std::make_shared<LDEventParser>(std::move(eventString));
}

LDEventParser::LDEventParser(std::optional<std::string> eventString)
    : eventString_(std::move(eventString)) {
  parseEventString();
}

void LDEventParser::parseEventString() {
  event_.reset();
  retryInterval_.reset();
  remainingEventString_.reset();
  if (!eventString_ || eventString_->empty()) return;
  const auto located = locateFirstBlock(*eventString_);
  if (!located) return;
  if (!located->remaining.empty()) remainingEventString_.emplace(located->remaining);
  auto parsed = parseEventBlock(located->block);
  event_ = std::move(parsed.event);
  retryInterval_ = parsed.retryInterval;
}

std::optional<std::vector<std::string>> LDEventParser::linesToParseFromEventString() const {
  if (!eventString_) return std::nullopt;
  const auto located = locateFirstBlock(*eventString_);
  if (!located) return std::nullopt;
  std::vector<std::string> result;
  LineReader reader(located->block);
  std::string_view line;
  while (reader.next(line))
    result.emplace_back(line);
  result.emplace_back();
  result.emplace_back();
  return result;
}

std::optional<std::string> LDEventParser::remainingEventStringAfterParsingEventString() const {
  if (!eventString_) return std::nullopt;
  const auto located = locateFirstBlock(*eventString_);
  if (!located || located->remaining.empty()) return std::nullopt;
  return std::string(located->remaining);
}
