#include "Tools/zrl-events/ZRLEventsPrinter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "LDEventSource/LDEventSourceConstants.h"
#include "Tools/zrl-events/ZRLEventsRecord.h"

namespace {

// Past this many bytes a pass writes what it has gathered before going on,
// so that a long pass neither holds lines back nor grows without bound.
constexpr size_t kFlushThreshold = size_t{1} << 20;
// A record whose line may need more room than this (a long text, where
// every byte is counted as the longest escape) goes the general way.
constexpr size_t kMostLineRoom = size_t{256} << 10;

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
    auto registration = std::make_shared<const Registration>(
        Registration{type, ZRLEventsRecord::linePrefix(type), type == MessageEvent});
    // Each handler keeps the printer alive for calls still queued when the
    // program winds down.
    source.addEventListener(type,
                            [self = shared_from_this(), registration](const LDEventPtr& event) {
                              self->handle(*registration, event);
                            });
  }
}

void ZRLEventsPrinter::handle(const Registration& registration, const LDEventPtr& event) {
  if (!event || stopped_.load(std::memory_order_acquire)) return;
  if (event != currentRecord_) {
    currentRecord_ = event;
    callsOfCurrentRecord_ = 0;
  }
  ++callsOfCurrentRecord_;
  if (finalMessage_) {
    // After the last "message" call, only the other calls of the same
    // record are still printed.
    if (event != finalMessage_) {
      end();
      return;
    }
    if (!registration.isMessage) print(registration, *event);
    if (callsOfCurrentRecord_ >= callsFor(*event)) end();
    return;
  }

  bool reachedLimit = false;
  if (registration.isMessage) {
    ++messages_;
    reachedLimit = maxMessages_ && messages_ >= *maxMessages_;
  }
  print(registration, *event);
  if (used_ >= kFlushThreshold) flush();
  if (reachedLimit) {
    finalMessage_ = event;
    if (callsOfCurrentRecord_ >= callsFor(*event)) end();
  }
}

void ZRLEventsPrinter::print(const Registration& registration, const LDEvent& event) {
  const size_t bytes = ZRLEventsRecord::lineRoom(registration.linePrefix, event);
  if (bytes <= kMostLineRoom) {
    if (const char* end = ZRLEventsRecord::writeLine(room(bytes), registration.linePrefix, event)) {
      used_ = static_cast<size_t>(end - buffer_.data());
      return;
    }
  }
  scratch_.clear();
  ZRLEventsRecord::appendLine(scratch_, registration.type, event);
  if (scratch_.size() > kMostLineRoom) {
    // Too long to gather: out at once, after what came before.
    flush();
    if (writeError() == 0) {
      if (const int error = writeAll(fd_, scratch_); error != 0) {
        writeError_.store(error, std::memory_order_release);
        end();
      }
    }
    std::string().swap(scratch_);
    return;
  }
  std::memcpy(room(scratch_.size()), scratch_.data(), scratch_.size());
  used_ += scratch_.size();
}

char* ZRLEventsPrinter::room(size_t bytes) {
  if (buffer_.size() - used_ < bytes) {
    buffer_.resize(std::max(kFlushThreshold + kMostLineRoom, used_ + bytes));
  }
  return buffer_.data() + used_;
}

void ZRLEventsPrinter::flush() {
  if (used_ == 0 || writeError() != 0) return;
  const int error = writeAll(fd_, std::string_view(buffer_.data(), used_));
  used_ = 0;
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
