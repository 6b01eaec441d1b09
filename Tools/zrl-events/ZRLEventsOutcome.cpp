#include "Tools/zrl-events/ZRLEventsOutcome.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "Platform/Net/NSURLError.h"

namespace {

bool containsFolded(std::string_view text, std::string_view lowerNeedle) {
  const auto it =
      std::search(text.begin(), text.end(), lowerNeedle.begin(), lowerNeedle.end(),
                  [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
  return it != text.end();
}

// What the TLS library said about a certificate it did not trust.
std::string_view certificateProblem(std::string_view detail) {
  if (containsFolded(detail, "subject name") || containsFolded(detail, "does not match") ||
      containsFolded(detail, "hostname mismatch") || containsFolded(detail, "host name mismatch")) {
    return "name mismatch";
  }
  if (containsFolded(detail, "expired")) return "certificate expired";
  if (containsFolded(detail, "issuer") || containsFolded(detail, "self-signed") ||
      containsFolded(detail, "self signed")) {
    return "unknown issuer";
  }
  return "untrusted certificate";
}

}  // namespace

ZRLEventsOutcome::ZRLEventsOutcome(std::optional<uint64_t> retries,
                                   std::function<void(const std::string&)> report,
                                   std::function<void(const std::string&)> gaveUp)
    : retries_(retries), report_(std::move(report)), gaveUp_(std::move(gaveUp)) {}

void ZRLEventsOutcome::handle(std::span<const LDEventDelivery> records) {
  // Records matter only to the count of failures and to the words of -i;
  // a plain run looks at the ends alone.
  const bool messagesMatter = retries_ || report_;
  for (const LDEventDelivery& delivery : records) {
    for (const std::string_view type : delivery.typeNames()) {
      if (type == MessageEvent && messagesMatter) {
        messageDelivered(delivery.record);
      } else if (type == ErrorEvent) {
        connectionEnded(delivery.record);
      }
    }
  }
}

void ZRLEventsOutcome::messageDelivered(const LDEventView& record) {
  if (!record.data) return;
  deliveredData_ = true;
  failuresInARow_ = 0;
}

void ZRLEventsOutcome::connectionEnded(const LDEventView& record) {
  if (ended_) return;
  const NSErrorPtr& error = record.error;
  const std::string reason = reasonFor(error);
  const bool delivered = std::exchange(deliveredData_, false);
  if (report_) report_(delivered ? "connection ended: " + reason : "attempt failed: " + reason);
  if (error && error->domain() == LDEventSourceErrorDomain && error->code() == -401) {
    ended_ = true;
    if (gaveUp_) gaveUp_("the server refused the stream (HTTP 401)");
    return;
  }
  if (delivered) return;
  ++failuresInARow_;
  if (retries_ && failuresInARow_ >= *retries_) {
    ended_ = true;
    if (gaveUp_) {
      gaveUp_("gave up after " + std::to_string(failuresInARow_) + " failed attempt" +
              (failuresInARow_ == 1 ? "" : "s") + " in a row; the last: " + reason);
    }
  }
}

std::string ZRLEventsOutcome::reasonFor(const NSErrorPtr& error) {
  if (!error) return "no error";
  std::string detail;
  if (const NSErrorPtr& cause = error->underlyingError()) detail = cause->localizedDescription();
  std::string words;
  if (error->domain() == NSURLErrorDomain) {
    switch (error->code()) {
      case NSURLErrorCannotConnectToHost:
        words = "refused";
        break;
      case NSURLErrorTimedOut:
        words = "time-out";
        break;
      case NSURLErrorCannotFindHost:
        words = "host not found";
        break;
      case NSURLErrorNetworkConnectionLost:
        words = "connection lost";
        break;
      case NSURLErrorServerCertificateUntrusted:
        words = certificateProblem(detail);
        break;
      case NSURLErrorSecureConnectionFailed:
        words = "TLS failure";
        break;
      case NSURLErrorBadServerResponse:
        words = "bad answer";
        break;
      default:
        words = error->localizedDescription();
        break;
    }
  } else if (error->domain() == LDEventSourceErrorDomain && error->code() == -401) {
    words = "refused by the server (HTTP 401)";
  } else if (error->domain().empty() && error->code() == LDEventReadyStateClosed) {
    words = "the stream ended";
  } else {
    words = error->localizedDescription();
  }
  if (!detail.empty()) words += ": " + detail;
  return words;
}

std::string ZRLEventsOutcome::headOf(const NSHTTPURLResponse& response) {
  std::string head = "HTTP " + std::to_string(response.statusCode());
  head += ' ';
  head += NSHTTPURLResponse::reasonPhraseForStatusCode(response.statusCode());
  head += '\n';
  for (const auto& [name, value] : response.allHeaderFields().fields())
    head.append(name).append(": ").append(value).append("\n");
  head += '\n';
  return head;
}
