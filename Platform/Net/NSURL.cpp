#include "Platform/Net/NSURL.h"

#include <curl/curl.h>

#include <charconv>

namespace {

std::optional<std::string> urlPart(CURLU* url, CURLUPart part) {
  char* value = nullptr;
  if (curl_url_get(url, part, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string text(value);
  curl_free(value);
  return text;
}

}  // namespace

NSURL::NSURL(std::string absoluteString, std::string scheme, std::string host,
             std::optional<uint16_t> port, std::string path, std::optional<std::string> query)
    : absoluteString_(std::move(absoluteString)),
      scheme_(std::move(scheme)),
      host_(std::move(host)),
      port_(port),
      path_(std::move(path)),
      query_(std::move(query)) {}

NSURLPtr NSURL::URLWithString(const std::string& text) {
  if (text.empty() || text.find_first_of(" \t\r\n") != std::string::npos) return nullptr;
  CURLU* url = curl_url();
  if (url == nullptr) return nullptr;
  NSURLPtr result;
  if (curl_url_set(url, CURLUPART_URL, text.c_str(), 0) == CURLUE_OK) {
    auto scheme = urlPart(url, CURLUPART_SCHEME);
    auto host = urlPart(url, CURLUPART_HOST);
    if (scheme && (*scheme == "http" || *scheme == "https") && host && !host->empty()) {
      std::optional<uint16_t> port;
      if (auto portText = urlPart(url, CURLUPART_PORT)) {
        uint16_t value = 0;
        const std::string& digits = *portText;
        const char* first = digits.c_str();
        const char* last = first + digits.size();
        const std::from_chars_result parsed = std::from_chars(first, last, value);
        if (parsed.ec == std::errc() && parsed.ptr == last) port = value;
      }
      result = std::make_shared<const NSURL>(text, std::move(*scheme), std::move(*host), port,
                                             urlPart(url, CURLUPART_PATH).value_or("/"),
                                             urlPart(url, CURLUPART_QUERY));
    }
  }
  curl_url_cleanup(url);
  return result;
}
