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

std::vector<ZRLEventsPrinter::Registration> ZRLEventsPrinter::registrationsOf(
    const std::vector<std::string>& types) {
  std::vector<Registration> registrations;
  registrations.reserve(types.size());
  for (const std::string& type : types)
    registrations.push_back({type, ZRLEventsRecord::linePrefix(type), type == MessageEvent});
  return registrations;
}

ZRLEventsPrinter::ZRLEventsPrinter(int fd, const std::vector<std::string>& types,
                                   std::optional<uint64_t> maxMessages, std::function<void()> ended)
    : fd_(fd),
      registrations_(registrationsOf(types)),
      maxMessages_(maxMessages),
      ended_(std::move(ended)) {
  for (const Registration& registration : registrations_) {
    if (registration.isMessage) messageRegistrations_.push_back(&registration);
  }
}

void ZRLEventsPrinter::print(std::span<const LDEventDelivery> records) {
  for (const LDEventDelivery& record : records) {
    if (!print(record)) break;
  }
  flush();
}

bool ZRLEventsPrinter::print(const LDEventDelivery& record) {
  if (stopped_.load(std::memory_order_acquire)) return false;
  // Set by the maxMessages-th "message" line: of the record's other lines,
  // only those of other types are still printed, and then the run ends.
  bool final = false;
  const auto printAs = [&](const Registration& registration) {
    if (final) {
      if (!registration.isMessage) printLine(registration, record.record);
      return;
    }
    if (registration.isMessage) {
      ++messages_;
      final = maxMessages_ && messages_ >= *maxMessages_;
    }
    printLine(registration, record.record);
    if (used_ >= kFlushThreshold) flush();
  };
  for (const std::string_view type : record.typeNames()) {
    if (type == MessageEvent) {
      for (const Registration* registration : messageRegistrations_)
        printAs(*registration);
      continue;
    }
    for (const Registration& registration : registrations_) {
      if (registration.type == type) printAs(registration);
    }
  }
  if (final) {
    end();
    return false;
  }
  return true;
}

void ZRLEventsPrinter::printLine(const Registration& registration, const LDEventView& record) {
  const size_t bytes = ZRLEventsRecord::lineRoom(registration.linePrefix, record);
  if (bytes <= kMostLineRoom) {
    if (const char* end =
            ZRLEventsRecord::writeLine(room(bytes), registration.linePrefix, record)) {
      used_ = static_cast<size_t>(end - buffer_.data());
      return;
    }
  }
  scratch_.clear();
  ZRLEventsRecord::appendLine(scratch_, registration.type, record);
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

void ZRLEventsPrinter::end() {
  stop();
  if (endReported_.exchange(true, std::memory_order_acq_rel)) return;
  if (ended_) ended_();
}
