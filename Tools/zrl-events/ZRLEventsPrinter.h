#pragma once
// The handlers of zrl-events: one per registered type, each printing a line
// per call, and the count of messages that ends a run after --max of them.
// Calls must come one at a time, in stream order (a serial listener queue).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LDEventSource/LDEventSource.h"
#include "Tools/zrl-events/ZRLEventsOutput.h"

class ZRLEventsPrinter : public std::enable_shared_from_this<ZRLEventsPrinter> {
 public:
  // The types registered before any --on type, in this order.
  static std::vector<std::string> standardTypes();

  // types: one handler is registered per entry, in order. limitReached is
  // called once, on the handler queue, when the last line of the
  // maxMessages-th message has been printed.
  ZRLEventsPrinter(std::shared_ptr<ZRLEventsOutput> output, std::vector<std::string> types,
                   std::optional<uint64_t> maxMessages, std::function<void()> limitReached);

  void registerHandlers(LDEventSource& source);
  // One handler call: the record, under the type the handler was
  // registered for.
  void handle(const std::string& type, const LDEventPtr& event);
  // Nothing is printed from now on; any thread.
  void stop();

 private:
  // How many calls of these handlers a parsed record makes: each "message"
  // registration, then each registration of the record's own event name
  // (which, for an event named "message", are the message handlers again).
  size_t callsFor(const LDEvent& event) const;
  size_t registrationsOf(std::string_view type) const;
  void reachLimit();

  const std::shared_ptr<ZRLEventsOutput> output_;
  const std::vector<std::string> types_;
  const std::optional<uint64_t> maxMessages_;
  const std::function<void()> limitReached_;
  std::atomic<bool> stopped_{false};

  // Handler queue only.
  std::string line_;
  uint64_t messages_ = 0;
  LDEventPtr lastMessage_;   // the record counted last
  LDEventPtr finalMessage_;  // the record that reached the limit
  size_t finalCallsLeft_ = 0;
};
