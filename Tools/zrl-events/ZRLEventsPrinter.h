#pragma once
// What zrl-events prints: for each record of the stream, a line per
// registration of each type the listeners get it under (as a handler per
// registered type would print it), and the count of "message" lines that
// ends a run after --max of them. The lines of a piece of the stream are
// gathered in one buffer and written in one go.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "LDEventSource/LDEventSource.h"

class ZRLEventsPrinter {
 public:
  // The types registered before any --on type, in this order.
  static std::vector<std::string> standardTypes();

  // fd: where the lines go (it stays open). types: the registrations, in
  // order; a record delivered under a type gets a line per registration of
  // it. ended is called once, by print(), once the maxMessages-th "message"
  // line has been printed (with the record's lines of other types), or when
  // a write has failed.
  ZRLEventsPrinter(int fd, const std::vector<std::string>& types,
                   std::optional<uint64_t> maxMessages, std::function<void()> ended);
  ZRLEventsPrinter(const ZRLEventsPrinter&) = delete;
  ZRLEventsPrinter& operator=(const ZRLEventsPrinter&) = delete;

  // Prints the lines of the records, in order, and writes them. One caller
  // at a time (the client's batch handler), and flush() not meanwhile.
  void print(std::span<const LDEventDelivery> records);
  // Writes the lines printed and not yet written.
  void flush();
  // Nothing is printed from now on; any thread. Lines already printed are
  // still written by the next flush.
  void stop();
  // The errno of the write that failed, or 0; any thread.
  int writeError() const { return writeError_.load(std::memory_order_acquire); }

 private:
  // What a line is printed with: its type, and the start of its lines.
  struct Registration {
    std::string type;
    std::string linePrefix;
    bool isMessage;
  };
  static std::vector<Registration> registrationsOf(const std::vector<std::string>& types);
  // The lines of one record; false once the run has ended.
  bool print(const LDEventDelivery& record);
  void printLine(const Registration& registration, const LDEventView& record);
  // Makes room for bytes more after the used part of the buffer.
  char* room(std::size_t bytes);
  void end();

  const int fd_;
  const std::vector<Registration> registrations_;
  std::vector<const Registration*> messageRegistrations_;  // those of "message", in order
  const std::optional<uint64_t> maxMessages_;
  const std::function<void()> ended_;
  std::atomic<bool> stopped_{false};
  std::atomic<bool> endReported_{false};
  std::atomic<int> writeError_{0};

  // One caller at a time (see print). The lines printed since the last
  // flush are the first used_ bytes of buffer_.
  std::vector<char> buffer_;
  std::size_t used_ = 0;
  std::string scratch_;    // a line that only the general path prints
  uint64_t messages_ = 0;  // "message" lines printed
};
