#pragma once
// The command line of zrl-events, checked in full before anything connects:
// what to open, which types to print, when to stop. parse() turns the
// arguments into options or into the message that explains the first
// mistake; usage() is the text of --help.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ZRLEventsParseResult;

class ZRLEventsOptions {
 public:
  // args excludes the program's name.
  static ZRLEventsParseResult parse(const std::vector<std::string_view>& args);
  static std::string usage();
  // The text of --version.
  static std::string version();

  // Request header fields in the order given, names as written.
  const std::vector<std::pair<std::string, std::string>>& headers() const { return headers_; }
  // The extra --on types, in the order given (duplicates kept).
  const std::vector<std::string>& types() const { return types_; }
  const std::optional<uint64_t>& maxMessages() const { return maxMessages_; }
  const std::optional<double>& seconds() const { return seconds_; }
  const std::optional<std::string>& caFile() const { return caFile_; }
  // The identifier the first request resumes from (sent as Last-Event-ID).
  const std::optional<std::string>& lastEventID() const { return lastEventID_; }
  // Failed attempts in a row after which the run gives up (exit 3).
  const std::optional<uint64_t>& retries() const { return retries_; }
  // Whether each answer's head and each failure's reason go to stderr.
  bool include() const { return include_; }
  const std::string& url() const { return url_; }

 private:
  std::vector<std::pair<std::string, std::string>> headers_;
  std::vector<std::string> types_;
  std::optional<uint64_t> maxMessages_;
  std::optional<double> seconds_;
  std::optional<std::string> caFile_;
  std::optional<std::string> lastEventID_;
  std::optional<uint64_t> retries_;
  bool include_ = false;
  std::string url_;
};

// Either options to run with, a request for the usage or version text, or
// an error.
struct ZRLEventsParseResult {
  std::optional<ZRLEventsOptions> options;
  bool help = false;
  bool version = false;
  std::string error;  // set when neither of the others is
};
