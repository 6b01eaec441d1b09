#include "Tools/zrl-events/ZRLEventsPrinter.h"

#include <algorithm>

#include "LDEventSource/LDEventSourceConstants.h"
#include "Tools/zrl-events/ZRLEventsRecord.h"

std::vector<std::string> ZRLEventsPrinter::standardTypes() {
  return {std::string(MessageEvent), std::string(OpenEvent), std::string(ErrorEvent),
          std::string(ReadyStateEvent)};
}

ZRLEventsPrinter::ZRLEventsPrinter(std::shared_ptr<ZRLEventsOutput> output,
                                   std::vector<std::string> types,
                                   std::optional<uint64_t> maxMessages,
                                   std::function<void()> limitReached)
    : output_(std::move(output)),
      types_(std::move(types)),
      maxMessages_(maxMessages),
      limitReached_(std::move(limitReached)) {}

void ZRLEventsPrinter::registerHandlers(LDEventSource& source) {
  for (const std::string& type : types_) {
    // Each handler keeps the printer alive for calls still queued when the
    // program winds down.
    source.addEventListener(type, [self = shared_from_this(), type](const LDEventPtr& event) {
      self->handle(type, event);
    });
  }
}

void ZRLEventsPrinter::handle(const std::string& type, const LDEventPtr& event) {
  if (!event || stopped_.load(std::memory_order_acquire)) return;
  if (finalMessage_) {
    // Only the calls of the final message are still printed.
    if (event != finalMessage_) {
      reachLimit();
      return;
    }
  } else if (type == MessageEvent && event != lastMessage_) {
    lastMessage_ = event;
    ++messages_;
    if (maxMessages_ && messages_ >= *maxMessages_) {
      finalMessage_ = event;
      finalCallsLeft_ = callsFor(*event);
    }
  }

  line_.clear();
  ZRLEventsRecord::appendLine(line_, type, *event);
  output_->append(line_);

  if (finalMessage_ && --finalCallsLeft_ == 0) reachLimit();
}

void ZRLEventsPrinter::stop() {
  stopped_.store(true, std::memory_order_release);
}

size_t ZRLEventsPrinter::callsFor(const LDEvent& event) const {
  size_t calls = registrationsOf(MessageEvent);
  if (event.event()) calls += registrationsOf(*event.event());
  return calls;
}

size_t ZRLEventsPrinter::registrationsOf(std::string_view type) const {
  return static_cast<size_t>(std::count(types_.begin(), types_.end(), type));
}

void ZRLEventsPrinter::reachLimit() {
  if (stopped_.exchange(true, std::memory_order_acq_rel)) return;
  if (limitReached_) limitReached_();
}
