#include "Tools/zrl-events/ZRLEventsOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "Platform/Foundation/NSStringTrimmed.h"
#include "Platform/Net/NSURL.h"

#ifndef ZRL_EVENTS_VERSION
#define ZRL_EVENTS_VERSION "unknown"
#endif

namespace {

// Longer waits than a century are taken as "forever"; the limit keeps the
// deadline arithmetic far from overflow.
constexpr double kLongestWaitSeconds = 100.0 * 365 * 24 * 3600;

bool isTokenCharacter(char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Anything but control characters (a tab excepted): a CR or LF would end
// the field on the wire and smuggle in another.
bool isFieldValueCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == '\t' || (byte >= 0x20 && byte != 0x7F);
}

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<uint64_t> parseCount(std::string_view text) {
  if (!allDigits(text)) return std::nullopt;
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Digits with an optional fraction ("2", "0.5", ".5", "5."): no sign, no
// exponent, no "inf" or "nan".
std::optional<double> parseSeconds(std::string_view text) {
  const auto dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;
  if ((!whole.empty() && !allDigits(whole)) || (!fraction.empty() && !allDigits(fraction))) {
    return std::nullopt;
  }
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  // A value too large for a double is out of range, and longer than any
  // wait anyway.
  if (ec == std::errc::result_out_of_range) return kLongestWaitSeconds;
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return std::min(value, kLongestWaitSeconds);
}

// Built with append: optimising g++ 12 reports a false overlap for a
// concatenation that starts with a one-character literal.
std::string inQuotes(std::string_view text) {
  std::string quoted = "'";
  quoted.append(text);
  quoted += '\'';
  return quoted;
}

// The reason a CA file cannot be used, or nothing when it can be read.
std::optional<std::string> unreadableFileReason(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) return error.message();
  if (std::filesystem::is_directory(status)) return std::string("it is a directory");
  if (!std::filesystem::is_regular_file(status)) return std::string("it is not a regular file");
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::string("it cannot be opened for reading");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return std::string("it cannot be read");
  // At least one PEM certificate that parses, or every https attempt
  // would fail later with a bare TLS error.
  const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
      BIO_new_mem_buf(text.data(), static_cast<int>(std::min<std::size_t>(text.size(), INT32_MAX))),
      &BIO_free);
  if (!bio) return std::string("it cannot be read");
  const std::unique_ptr<X509, decltype(&X509_free)> certificate(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
  ERR_clear_error();
  if (!certificate) return std::string("it holds no PEM certificate");
  return std::nullopt;
}

// Text that may go into a header field: no control characters but tabs.
bool isFieldValue(std::string_view text) {
  return std::all_of(text.begin(), text.end(), isFieldValueCharacter);
}

}  // namespace

ZRLEventsParseResult ZRLEventsOptions::parse(const std::vector<std::string_view>& args) {
  ZRLEventsParseResult result;
  // --help wins over everything else on the line, mistakes included.
  for (const std::string_view arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      result.help = true;
      return result;
    }
  }
  for (const std::string_view arg : args) {
    if (arg == "--") break;
    if (arg == "--version") {
      result.version = true;
      return result;
    }
  }

  auto fail = [&result](std::string message) {
    result.error = std::move(message);
    return result;
  };

  ZRLEventsOptions options;
  bool urlSeen = false;
  bool endOfOptions = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!endOfOptions && arg == "--") {
      endOfOptions = true;
      continue;
    }
    if (endOfOptions || arg.empty() || arg[0] != '-' || arg == "-") {
      if (urlSeen) return fail("unexpected argument " + inQuotes(arg) + ": give one URL only");
      options.url_ = std::string(arg);
      urlSeen = true;
      continue;
    }

    // "--name value" or "--name=value"; "-H value" or "-Hvalue".
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (arg == "-i" || arg == "--include") {
      options.include_ = true;
      continue;
    }
    if (arg.starts_with("-H")) {
      name = "--header";
      if (arg.size() > 2) value = arg.substr(2);
    } else if (arg.starts_with("--")) {
      if (const auto equals = arg.find('='); equals != std::string_view::npos) {
        name = arg.substr(0, equals);
        value = arg.substr(equals + 1);
      }
    }
    if (value && (name == "--help" || name == "--version" || name == "--include")) {
      return fail("option " + std::string(name) + " takes no value");
    }
    const bool known = name == "--header" || name == "--on" || name == "--max" ||
                       name == "--seconds" || name == "--ca-file" || name == "--last-event-id" ||
                       name == "--retries";
    if (!known) return fail("unknown option " + inQuotes(name));
    if (!value) {
      if (i + 1 >= args.size()) return fail("option " + std::string(name) + " needs a value");
      value = args[++i];
    }

    if (name == "--header") {
      const auto colon = value->find(':');
      if (colon == std::string_view::npos) {
        return fail("--header takes NAME:VALUE, not " + inQuotes(*value));
      }
      const std::string_view fieldName = value->substr(0, colon);
      const std::string_view fieldValue = NSStringTrimmed(value->substr(colon + 1));
      if (fieldName.empty() || !std::all_of(fieldName.begin(), fieldName.end(), isTokenCharacter)) {
        return fail("--header: " + inQuotes(fieldName) + " is not a valid header name");
      }
      if (!isFieldValue(fieldValue)) {
        return fail("--header: the value of " + std::string(fieldName) +
                    " holds a control character");
      }
      options.headers_.emplace_back(fieldName, fieldValue);
    } else if (name == "--on") {
      if (value->empty()) return fail("--on needs a type name, not an empty one");
      options.types_.emplace_back(*value);
    } else if (name == "--max") {
      const auto count = parseCount(*value);
      if (!count) {
        return fail("--max takes a whole number from 0 to 18446744073709551615, not " +
                    inQuotes(*value));
      }
      options.maxMessages_ = count;
    } else if (name == "--seconds") {
      const auto seconds = parseSeconds(*value);
      if (!seconds) return fail("--seconds takes a number of 0 or more, not " + inQuotes(*value));
      options.seconds_ = seconds;
    } else if (name == "--last-event-id") {
      if (!isFieldValue(*value)) return fail("--last-event-id: the ID holds a control character");
      options.lastEventID_ = std::string(*value);
    } else if (name == "--retries") {
      const auto count = parseCount(*value);
      if (!count || *count == 0) {
        return fail("--retries takes a whole number of 1 or more, not " + inQuotes(*value));
      }
      options.retries_ = count;
    } else {  // --ca-file
      if (value->empty()) return fail("--ca-file needs a file name");
      options.caFile_ = std::string(*value);
    }
  }

  if (!urlSeen) return fail("missing URL");
  if (!NSURL::URLWithString(options.url_)) {
    return fail(inQuotes(options.url_) + " is not an http or https URL with a host");
  }
  if (options.caFile_) {
    if (auto reason = unreadableFileReason(*options.caFile_)) {
      return fail("cannot use CA file " + inQuotes(*options.caFile_) + ": " + *reason);
    }
  }
  result.options = std::move(options);
  return result;
}

std::string ZRLEventsOptions::usage() {
  return R"(usage: zrl-events [-H NAME:VALUE]... [--on TYPE]... [--max N] [--seconds S]
                  [--ca-file FILE] [--last-event-id ID] [--retries N] [-i] URL
       zrl-events --help | --version

Opens the event stream at URL (http or https) and prints one JSON object per
handler call, one per line, in stream order. Handlers are registered for
"message", "open", "error" and "readyState", then one for each --on TYPE.
Each line has exactly these keys, in this order:
  "type"        the type the handler was registered under
  "readyState"  0 connecting, 1 open, 2 closed
  "id", "event", "data"   strings, or null
  "error"       null, or {"domain": string, "code": integer, "message": string}
Lines end with LF. Inside strings, control characters are escaped as JSON
requires, U+0085, U+2028 and U+2029 are written as \u0085, \u2028 and \u2029
so that no line-splitting reader cuts a record, and bytes that are not UTF-8
become U+FFFD. The client reconnects by itself when the stream ends or fails,
and every attempt prints its records; after an HTTP 401 answer it stops for
good, and so does zrl-events, with exit status 3.

Options (each value follows as the next argument, taken as it is even when it
starts with '-', or after '=', as in --max=3):
  -H, --header NAME:VALUE
                       sends this request header field. The text is split at
                       its first ':'; spaces and tabs around VALUE are
                       dropped, so "A: b:c" sends A with the value "b:c".
                       Repeatable; a name given again (in any letter case)
                       replaces the earlier value. "Accept: text/event-stream"
                       is sent unless an Accept field is given.
  --on TYPE            also prints the records delivered under TYPE (records
                       whose "event" field is TYPE). Repeatable. Every
                       registration prints: a TYPE given twice, or equal to
                       one of the four above, prints each record twice.
  --max N              exits 0 once N "message" calls have been printed:
                       lines whose "type" is "message", from the built-in
                       handler and any --on message. The record that made
                       the Nth one still prints its lines of other types (its
                       own --on type); no further "message" line is printed.
                       A record whose "event" is "message" reaches the
                       "message" handlers twice and so makes two calls.
                       N is a whole number; 0 exits at once without
                       connecting.
  --seconds S          exits 0 S seconds after it starts connecting (a
                       decimal number such as 2 or 0.5; no sign, no
                       exponent); 0 exits at once without connecting.
                       With --max as well, whichever comes first ends the run.
  --ca-file FILE       also trusts the PEM certificates in FILE for https,
                       besides the system's store. The file must hold at
                       least one, or the run does not start.
                       Without it, ZRL_CA_FILE from the environment is used
                       if set. Only https connections use it.
  --last-event-id ID   the first request resumes from ID (sends it as
                       Last-Event-ID); later ones send the last ID received.
  --retries N          gives up with exit status 3 after N failed attempts in
                       a row. An attempt fails when its connection ends
                       before it delivered a record with data: refused,
                       timed out, a TLS failure, an answer that is not a
                       200 event stream, or a stream that ended empty.
                       N is a whole number of 1 or more. Without it the
                       client retries for ever, at growing intervals.
  -i, --include        writes each answer's status and header fields to
                       standard error, and for each failed or ended
                       connection the reason in words ("refused",
                       "time-out", "unknown issuer", "name mismatch", ...).
  -h, --help           prints this text and exits 0.
  --version            prints the version and exits 0.
  --                   ends the options; the next argument is the URL.
A later --max, --seconds, --ca-file, --last-event-id or --retries replaces an
earlier one.

Without --max or --seconds it runs until interrupted. Every line printed is
written out before it exits, also on SIGINT (exit 130) and SIGTERM (exit 143);
if a reader that stopped reading holds that up, a second signal ends it.

Exit status:
  0    --max or --seconds was reached (or --help, --version).
  1    standard output could not be written.
  2    a mistake on the command line: an unknown option, a missing value, a
       value that is not a whole number (N) or a number (S) of 0 or more, a
       header without ':' or with an invalid name or a control character, an
       ID with a control character, an empty --on type, no URL or more than
       one, a URL that is not http or https, or a CA file that cannot be
       read or holds no PEM certificate. The mistake is explained on
       standard error.
  3    the server refused the stream with HTTP 401, or --retries attempts
       failed in a row; the reason is on standard error.
  130  interrupted by SIGINT; 143 ended by SIGTERM.
)";
}

std::string ZRLEventsOptions::version() {
  return "zrl-events " ZRL_EVENTS_VERSION "\n";
}
