#include "Platform/Net/NSHTTPHeadParser.h"

#include <algorithm>

namespace {

bool isTokenCharacter(char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// "HTTP/1.1 204 No Content" -> 204; 0 without three digits after the version.
long statusOf(std::string_view line) {
  const size_t begin = line.find_first_not_of(' ', line.find(' '));
  if (begin == std::string_view::npos) return 0;
  const std::string_view rest = line.substr(begin);
  if (rest.size() < 3 || !std::all_of(rest.begin(), rest.begin() + 3, isDigit)) return 0;
  if (rest.size() > 3 && rest[3] != ' ') return 0;
  return (rest[0] - '0') * 100L + (rest[1] - '0') * 10L + (rest[2] - '0');
}

}  // namespace

bool NSHTTPHeadParser::isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isTokenCharacter);
}

std::string_view NSHTTPHeadParser::trimmed(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) return {};
  const size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

NSHTTPHeadParser::Line NSHTTPHeadParser::read(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    fields_ = NSHTTPHeaderFields();
    lastFieldName_.clear();
    status_ = statusOf(line);
    sawStatusLine_ = true;
    return Line::Status;
  }
  if (line.empty()) return Line::End;
  if (line.front() == ' ' || line.front() == '\t') {
    if (lastFieldName_.empty()) return Line::Skipped;
    std::string value = fields_.valueForField(lastFieldName_).value_or("");
    value += ' ';
    value += trimmed(line);
    fields_.setValue(std::move(value), lastFieldName_);
    return Line::Field;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return Line::Skipped;
  const std::string_view name = line.substr(0, colon);
  fields_.addValue(trimmed(line.substr(colon + 1)), name);
  lastFieldName_.assign(name);
  return Line::Field;
}

NSHTTPHeaderFields NSHTTPHeadParser::takeFields() {
  NSHTTPHeaderFields fields = std::move(fields_);
  fields_ = NSHTTPHeaderFields();
  lastFieldName_.clear();
  return fields;
}
