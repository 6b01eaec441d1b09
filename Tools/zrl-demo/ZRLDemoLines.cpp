#include "Tools/zrl-demo/ZRLDemoLines.h"

#include <charconv>

namespace {

bool startsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

bool ZRLDemoDashboardAddress::take(const std::string& line) {
  if (startsWith(line, "ca: ")) {
    authorityFile = line.substr(4);
  } else if (startsWith(line, "listening: ")) {
    // Written by the dashboard as https://127.0.0.1:PORT.
    const std::string address = line.substr(11);
    const size_t colon = address.rfind(':');
    unsigned value = 0;
    if (startsWith(address, "https://") && colon != std::string::npos) {
      const char* first = address.data() + colon + 1;
      const char* last = address.data() + address.size();
      const auto [end, error] = std::from_chars(first, last, value);
      if (error == std::errc() && end == last && value > 0 && value < 65536) {
        origin = address;
        port = static_cast<unsigned short>(value);
      }
    }
  } else if (startsWith(line, "open: ")) {
    const size_t at = line.find("?token=");
    if (at != std::string::npos && at + 7 < line.size()) {
      token = line.substr(at + 7);
      openLine = line;
    }
  }
  return complete();
}

ZRLDemoSimLine ZRLDemoSimLine::parse(const std::string& line) {
  ZRLDemoSimLine result;
  if (startsWith(line, "plug-in: ")) {
    result.kind = Kind::plugin;
    result.outcome = line.substr(9);
  } else if (startsWith(line, "request: ")) {
    // request: METHOD TARGET -> OUTCOME
    const size_t space = line.find(' ', 9);
    const size_t arrow = line.rfind(" -> ");
    if (space == std::string::npos || arrow == std::string::npos || arrow <= space) return result;
    result.kind = Kind::request;
    result.method = line.substr(9, space - 9);
    result.target = line.substr(space + 1, arrow - space - 1);
    result.outcome = line.substr(arrow + 4);
  } else if (startsWith(line, "stream: open ")) {
    result.kind = Kind::streamOpen;
    result.target = line.substr(13);
  } else if (line == "stream: closed") {
    result.kind = Kind::streamClosed;
  } else if (startsWith(line, "stream: error ")) {
    result.kind = Kind::streamError;
    result.outcome = line.substr(14);
  } else if (startsWith(line, "builder: ")) {
    const size_t space = line.find(' ', 9);
    if (space == std::string::npos || space == 9) return result;
    auto config = nlohmann::json::parse(line.substr(space + 1), nullptr, false);
    if (config.is_discarded()) return result;
    result.kind = Kind::builder;
    result.displayType = line.substr(9, space - 9);
    result.config = std::move(config);
  }
  return result;
}
