#pragma once
// An absolute URL, parsed and checked when it is made.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/PlatformExport.h"

class NSURL;
using NSURLPtr = std::shared_ptr<const NSURL>;

class PLATFORM_EXPORT NSURL {
 public:
  // Null when the text is not an absolute http or https URL with a host.
  static NSURLPtr URLWithString(const std::string& text);

  const std::string& absoluteString() const { return absoluteString_; }
  const std::string& scheme() const { return scheme_; }
  const std::string& host() const { return host_; }
  std::optional<uint16_t> port() const { return port_; }
  // The path ("/" when the text has none) and the query without its "?".
  const std::string& path() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }

  std::string description() const { return absoluteString_; }

  NSURL(std::string absoluteString, std::string scheme, std::string host,
        std::optional<uint16_t> port, std::string path, std::optional<std::string> query);

 private:
  std::string absoluteString_;
  std::string scheme_;
  std::string host_;
  std::optional<uint16_t> port_;
  std::string path_;
  std::optional<std::string> query_;
};
