#pragma once
// The handlers of zrl-events: one per registered type, each printing a line
// per call, and the count of messages that ends a run after --max of them.
// Handler calls and flush() come one at a time, in stream order, on the
// handler queue; lines are gathered there and written by flush() in one go.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LDEventSource/LDEventSource.h"

class ZRLEventsPrinter : public std::enable_shared_from_this<ZRLEventsPrinter> {
 public:
  // The types registered before any --on type, in this order.
  static std::vector<std::string> standardTypes();

  // fd: where the lines go (it stays open). types: one handler is
  // registered per entry, in order. ended is called once, on the handler
  // queue, once the maxMessages-th "message" call has been printed (with
  // the record's calls of other types) or when a write has failed.
  ZRLEventsPrinter(int fd, std::vector<std::string> types, std::optional<uint64_t> maxMessages,
                   std::function<void()> ended);

  void registerHandlers(LDEventSource& source);
  // Writes the lines printed since the last flush.
  void flush();
  // Nothing is printed from now on; any thread. Lines already printed are
  // still written by the next flush.
  void stop();
  // The errno of the write that failed, or 0; any thread.
  int writeError() const { return writeError_.load(std::memory_order_acquire); }

 private:
  // What a handler prints with: its type, and the start of its lines.
  struct Registration {
    std::string type;
    std::string linePrefix;
    bool isMessage;
  };
  // One handler call: the record, under the type the handler was
  // registered for.
  void handle(const Registration& registration, const LDEventPtr& event);
  void print(const Registration& registration, const LDEvent& event);
  // Makes room for bytes more after the used part of the buffer.
  char* room(std::size_t bytes);

  // How many calls of these handlers a parsed record makes: each "message"
  // registration, then each registration of the record's own event name
  // (which, for an event named "message", are the message handlers again).
  size_t callsFor(const LDEvent& event) const;
  size_t registrationsOf(std::string_view type) const;
  void end();

  const int fd_;
  const std::vector<std::string> types_;
  const std::optional<uint64_t> maxMessages_;
  const std::function<void()> ended_;
  std::atomic<bool> stopped_{false};
  std::atomic<bool> endReported_{false};
  std::atomic<int> writeError_{0};

  // Handler queue only. The lines printed since the last flush are the
  // first used_ bytes of buffer_.
  std::vector<char> buffer_;
  std::size_t used_ = 0;
  std::string scratch_;       // a line that only the general path prints
  uint64_t messages_ = 0;     // "message" calls printed
  LDEventPtr currentRecord_;  // the record of the latest call
  size_t callsOfCurrentRecord_ = 0;
  LDEventPtr finalMessage_;  // the record whose "message" call reached the limit
};
