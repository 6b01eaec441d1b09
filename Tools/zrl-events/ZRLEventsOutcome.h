#pragma once
// How a run of zrl-events ends on its own, and what -i tells about each
// connection: counts failed attempts in a row from the client's handler
// calls, gives up on an HTTP 401 or after --retries failures, and puts
// answers' heads and failures' reasons into words.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "LDEventSource/LDEventSource.h"
#include "Platform/Foundation/NSError.h"
#include "Platform/Net/NSURLRequest.h"

class ZRLEventsOutcome {
 public:
  // The exit status of a run that gave up.
  static constexpr int kExitGaveUp = 3;

  // retries: failed attempts in a row that end the run (none: never).
  // report: where -i lines go (none: nowhere); gaveUp: called once, on the
  // handler queue, with the reason, when the run should end with kExitGaveUp.
  ZRLEventsOutcome(std::optional<uint64_t> retries, std::function<void(const std::string&)> report,
                   std::function<void(const std::string&)> gaveUp);

  // Takes each record the way handlers of "error" (and of "message" when
  // retries or report is set) would; after the printer has printed them,
  // so that the lines of a record are out before the run ends on it. One
  // caller at a time (the client's batch handler).
  void handle(std::span<const LDEventDelivery> records);

  void messageDelivered(const LDEventView& record);
  void connectionEnded(const LDEventView& record);

  // A failure in a few words: "refused", "time-out", "unknown issuer",
  // "name mismatch", ...; with the details after a colon when there are any.
  static std::string reasonFor(const NSErrorPtr& error);
  // An answer's status line and header fields, one per line, ending with an
  // empty line.
  static std::string headOf(const NSHTTPURLResponse& response);

 private:
  const std::optional<uint64_t> retries_;
  const std::function<void(const std::string&)> report_;
  const std::function<void(const std::string&)> gaveUp_;
  // One caller at a time (see handle).
  bool deliveredData_ = false;
  uint64_t failuresInARow_ = 0;
  bool ended_ = false;
};
