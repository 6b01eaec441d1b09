#pragma once
// A request as the local test server received it: method, target, query
// parameters, header fields and body, with its place in the order of
// arrival and the connection that carried it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Header fields in the order in which they were written; names compare
// without regard to letter case. A name may appear more than once.
class ZRLLocalHeaders {
 public:
  using Field = std::pair<std::string, std::string>;

  ZRLLocalHeaders() = default;
  ZRLLocalHeaders(std::initializer_list<Field> fields) : fields_(fields) {}

  void add(std::string name, std::string value) {
    fields_.emplace_back(std::move(name), std::move(value));
  }
  // The first value of the name, if there is one.
  std::optional<std::string> value(std::string_view name) const;
  std::vector<std::string> values(std::string_view name) const;
  bool contains(std::string_view name) const { return value(name).has_value(); }
  const std::vector<Field>& fields() const { return fields_; }
  size_t size() const { return fields_.size(); }

 private:
  std::vector<Field> fields_;
};

class ZRLLocalRequest {
 public:
  const std::string& method() const { return method_; }
  // The request target as sent: the path and, after "?", the query.
  const std::string& target() const { return target_; }
  const std::string& path() const { return path_; }
  // The query text without its "?", null when the target has none.
  const std::optional<std::string>& query() const { return query_; }
  // The query's name=value pairs, percent-decoded ("+" is a space), in order.
  const std::vector<std::pair<std::string, std::string>>& queryParameters() const {
    return queryParameters_;
  }
  std::optional<std::string> queryValue(std::string_view name) const;
  const std::string& version() const { return version_; }  // "HTTP/1.1"
  const ZRLLocalHeaders& headers() const { return headers_; }
  std::optional<std::string> header(std::string_view name) const { return headers_.value(name); }
  const std::string& body() const { return body_; }

  // Arrival order over the server's life, from 0, and the connection that
  // carried the request, numbered from 0 in order of acceptance.
  uint64_t index() const { return index_; }
  uint64_t connectionIndex() const { return connectionIndex_; }

  // Reads the request line and header fields of a head (without its
  // closing blank line). Null when they are malformed.
  static std::optional<ZRLLocalRequest> parseHead(std::string_view head);

  void setBody(std::string body) { body_ = std::move(body); }
  void setPlace(uint64_t index, uint64_t connectionIndex) {
    index_ = index;
    connectionIndex_ = connectionIndex;
  }

 private:
  std::string method_;
  std::string target_;
  std::string path_;
  std::optional<std::string> query_;
  std::vector<std::pair<std::string, std::string>> queryParameters_;
  std::string version_;
  ZRLLocalHeaders headers_;
  std::string body_;
  uint64_t index_ = 0;
  uint64_t connectionIndex_ = 0;
};
