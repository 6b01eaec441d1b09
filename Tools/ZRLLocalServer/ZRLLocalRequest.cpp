#include "Tools/ZRLLocalServer/ZRLLocalRequest.h"

#include <algorithm>

#include "Platform/Foundation/NSStringTrimmed.h"

namespace {

bool sameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

bool isTokenCharacter(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), isTokenCharacter);
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "%XX" becomes its byte and "+" a space; a "%" without two hex digits
// stays as it is.
std::string decoded(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      result.push_back(' ');
    } else if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      result.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      result.push_back(c);
    }
  }
  return result;
}

}  // namespace

std::optional<std::string> ZRLLocalHeaders::value(std::string_view name) const {
  for (const auto& field : fields_) {
    if (sameName(field.first, name)) return field.second;
  }
  return std::nullopt;
}

std::vector<std::string> ZRLLocalHeaders::values(std::string_view name) const {
  std::vector<std::string> result;
  for (const auto& field : fields_) {
    if (sameName(field.first, name)) result.push_back(field.second);
  }
  return result;
}

std::optional<std::string> ZRLLocalRequest::queryValue(std::string_view name) const {
  for (const auto& [key, value] : queryParameters_) {
    if (key == name) return value;
  }
  return std::nullopt;
}

std::optional<ZRLLocalRequest> ZRLLocalRequest::parseHead(std::string_view head) {
  ZRLLocalRequest request;
  size_t lineEnd = head.find("\r\n");
  const std::string_view requestLine = head.substr(0, lineEnd);
  const size_t firstSpace = requestLine.find(' ');
  const size_t lastSpace = requestLine.rfind(' ');
  if (firstSpace == std::string_view::npos || lastSpace == firstSpace) return std::nullopt;
  request.method_ = std::string(requestLine.substr(0, firstSpace));
  request.target_ = std::string(requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1));
  request.version_ = std::string(requestLine.substr(lastSpace + 1));
  if (!isToken(request.method_) || request.target_.empty() ||
      request.target_.find(' ') != std::string::npos || request.version_.rfind("HTTP/1.", 0) != 0) {
    return std::nullopt;
  }

  const size_t question = request.target_.find('?');
  request.path_ = request.target_.substr(0, question);
  if (question != std::string::npos) {
    request.query_ = request.target_.substr(question + 1);
    std::string_view rest = *request.query_;
    while (!rest.empty()) {
      const size_t amp = rest.find('&');
      const std::string_view pair = rest.substr(0, amp);
      if (!pair.empty()) {
        const size_t equals = pair.find('=');
        request.queryParameters_.emplace_back(
            decoded(pair.substr(0, equals)),
            equals == std::string_view::npos ? std::string() : decoded(pair.substr(equals + 1)));
      }
      if (amp == std::string_view::npos) break;
      rest.remove_prefix(amp + 1);
    }
  }

  while (lineEnd != std::string_view::npos) {
    const size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string_view line = head.substr(start, lineEnd - start);
    if (line.empty()) continue;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return std::nullopt;
    request.headers_.add(std::string(line.substr(0, colon)),
                         std::string(NSStringTrimmed(line.substr(colon + 1))));
  }
  return request;
}
