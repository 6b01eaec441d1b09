#include "Tools/zrl-events/ZRLEventsPrinter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "LDEventSource/LDEventSourceConstants.h"
#include "Tools/zrl-events/ZRLEventsRecord.h"

namespace {

// Past this many bytes a pass writes what it has gathered before going on,
// so that a long pass neither holds lines back nor grows without bound.
constexpr size_t kFlushThreshold = size_t{1} << 20;

// 0, or the errno of the failure.
int writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

}  // namespace

std::vector<std::string> ZRLEventsPrinter::standardTypes() {
  return {std::string(MessageEvent), std::string(OpenEvent), std::string(ErrorEvent),
          std::string(ReadyStateEvent)};
}

ZRLEventsPrinter::ZRLEventsPrinter(int fd, std::vector<std::string> types,
                                   std::optional<uint64_t> maxMessages, std::function<void()> ended)
    : fd_(fd), types_(std::move(types)), maxMessages_(maxMessages), ended_(std::move(ended)) {}

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
      end();
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

  ZRLEventsRecord::appendLine(lines_, type, *event);
  if (lines_.size() >= kFlushThreshold) flush();
  if (finalMessage_ && --finalCallsLeft_ == 0) end();
}

void ZRLEventsPrinter::flush() {
  if (lines_.empty() || writeError() != 0) return;
  const int error = writeAll(fd_, lines_);
  lines_.clear();
  if (error != 0) {
    writeError_.store(error, std::memory_order_release);
    end();
  }
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

void ZRLEventsPrinter::end() {
  stop();
  if (endReported_.exchange(true, std::memory_order_acq_rel)) return;
  if (ended_) ended_();
}
