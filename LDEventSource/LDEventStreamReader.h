#pragma once
// Reads the body of one event-stream connection: bytes in, in the chunks
// the network delivers, and the fields of each complete event block out, in
// stream order.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "LDEventSource/LDEventParser.h"
#include "LDEventSource/LDEventSourceConstants.h"
#include "LDEventSource/LDEventSourceExport.h"
#include "LDEventSource/LDEventStringAccumulator.h"
#include "LDEventSource/LDUTF8Decoder.h"

// The bytes are decoded as UTF-8 across chunk boundaries (ill-formed bytes
// become U+FFFD), one byte order mark at the start of the body is dropped,
// CR LF and a lone CR count as LF, and each complete block is parsed by
// LDEventParser. Only the text after the last complete block is kept, so
// the records and retry intervals delivered for a stream do not depend on
// how it is cut into chunks, and each byte costs the same whatever the
// chunking.
//
// A block may hold at most maxEventSize bytes of text. Once a block is
// known to be longer, whether it is complete or still growing, appendBytes
// returns false: the reader has dropped what it held and ignores the body
// from then on, until reset() starts a new connection.
//
// Not thread-safe: one connection feeds it, one chunk at a time.
class LDEVENTSOURCE_EXPORT LDEventStreamReader {
 public:
  // Receives the fields of each block as views valid for the call only (see
  // LDEventParser::parseEventBlockFields): the reader makes no records, so
  // that its user keeps the text its own way.
  using FieldsHandler = std::function<void(const LDEventParser::BlockFields& fields)>;

  explicit LDEventStreamReader(FieldsHandler handler,
                               std::size_t maxEventSize = LDEventSourceMaxEventSize);

  // Reads one chunk of the body and delivers the blocks it completes.
  // Returns false when a block exceeds the size limit (or did so before).
  [[nodiscard]] bool appendBytes(std::string_view bytes);

  // Starts a new body: a block the last one left incomplete is dropped, and
  // a byte order mark is looked for again. Not from inside the handler.
  void reset();
  // The same, with a new size limit.
  void reset(std::size_t maxEventSize);

  bool didExceedSizeLimit() const { return exceededSizeLimit_; }
  std::size_t maxEventSize() const { return maxEventSize_; }
  // The bytes of text held for the block not yet complete.
  std::size_t pendingSize() const { return accumulator_.pendingSize(); }

 private:
  void decode(std::string_view bytes, std::string& text);
  void normalizeLineBreaks(std::string& text, std::size_t from);
  bool parseCompleteBlocks();
  void failOnSizeLimit();

  FieldsHandler handler_;
  std::string joined_;  // the joined data of the block that the handler is given
  std::size_t maxEventSize_;
  LDEventStringAccumulator accumulator_;
  LDUTF8Decoder decoder_;
  bool atBodyStart_ = true;
  // The last character decoded was a CR, so an LF that follows it is part
  // of the same line break.
  bool afterReturn_ = false;
  bool exceededSizeLimit_ = false;
};
