#pragma once
// An HTTP request and an HTTP answer's head, as the URL session sees them.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Platform/Foundation/NSData.h"
#include "Platform/Net/NSURL.h"
#include "Platform/PlatformExport.h"

enum class NSURLRequestCachePolicy {
  UseProtocolCachePolicy = 0,
  ReloadIgnoringLocalCacheData = 1,
};

// Header fields in the order in which they were set; names compare without
// regard to letter case, and setting a name again replaces its value. Past
// a handful of fields the names are indexed by their lower-case form, so
// setting, adding to and looking up a field costs the same however many
// fields there are (a head of n fields is read in O(n)).
class PLATFORM_EXPORT NSHTTPHeaderFields {
 public:
  NSHTTPHeaderFields() = default;
  NSHTTPHeaderFields(const NSHTTPHeaderFields& other);
  NSHTTPHeaderFields& operator=(const NSHTTPHeaderFields& other);
  NSHTTPHeaderFields(NSHTTPHeaderFields&&) noexcept = default;
  NSHTTPHeaderFields& operator=(NSHTTPHeaderFields&&) noexcept = default;
  ~NSHTTPHeaderFields() = default;

  void setValue(std::string value, std::string_view name);
  // Appends to the field's value after ", ", or sets it if it is absent: how
  // a repeated field of an answer's head is kept.
  void addValue(std::string_view value, std::string_view name);
  std::optional<std::string> valueForField(std::string_view name) const;
  void remove(std::string_view name);
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }
  // Gives back the room that later fields would have used (a head that is
  // kept once complete).
  void shrinkToFit() { fields_.shrink_to_fit(); }

 private:
  // Where the named field is in fields_, if it is there.
  std::optional<size_t> position(std::string_view name) const;
  // Adds a field that is not there yet.
  void append(std::string_view name, std::string value);

  using Index = std::unordered_map<std::string, size_t>;

  std::vector<std::pair<std::string, std::string>> fields_;
  // Lower-case name -> position in fields_; none while there are few fields
  // (a pointer, so that the usual small set of fields carries no empty table).
  std::unique_ptr<Index> index_;
};

class PLATFORM_EXPORT NSMutableURLRequest {
 public:
  NSMutableURLRequest() = default;
  explicit NSMutableURLRequest(
      NSURLPtr url,
      NSURLRequestCachePolicy cachePolicy = NSURLRequestCachePolicy::UseProtocolCachePolicy,
      double timeoutInterval = 60.0)
      : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}

  const NSURLPtr& URL() const { return url_; }
  void setURL(NSURLPtr url) { url_ = std::move(url); }
  NSURLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(NSURLRequestCachePolicy policy) { cachePolicy_ = policy; }
  // Idle limit in seconds: the longest wait for the answer or between two
  // pieces of the body. Zero or less means none.
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
  const std::string& HTTPMethod() const { return method_; }
  void setHTTPMethod(std::string method) { method_ = std::move(method); }
  const std::optional<NSData>& HTTPBody() const { return body_; }
  void setHTTPBody(std::optional<NSData> body) { body_ = std::move(body); }

  const NSHTTPHeaderFields& allHTTPHeaderFields() const { return headers_; }
  void setValue(std::string value, std::string_view field) {
    headers_.setValue(std::move(value), field);
  }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const {
    return headers_.valueForField(field);
  }

 private:
  NSURLPtr url_;
  NSURLRequestCachePolicy cachePolicy_ = NSURLRequestCachePolicy::UseProtocolCachePolicy;
  double timeoutInterval_ = 60.0;
  std::string method_ = "GET";
  std::optional<NSData> body_;
  NSHTTPHeaderFields headers_;
};

using NSURLRequest = NSMutableURLRequest;

class PLATFORM_EXPORT NSHTTPURLResponse {
 public:
  NSHTTPURLResponse(NSURLPtr url, long statusCode, NSHTTPHeaderFields headers)
      : url_(std::move(url)), statusCode_(statusCode), headers_(std::move(headers)) {}

  const NSURLPtr& URL() const { return url_; }
  long statusCode() const { return statusCode_; }
  const NSHTTPHeaderFields& allHeaderFields() const { return headers_; }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const {
    return headers_.valueForField(field);
  }
  // The reason phrase of a status in lower case ("not found"); for a status
  // without one of its own, the phrase of its class ("client error").
  static std::string localizedStringForStatusCode(long statusCode);
  // The same phrase as a status line writes it ("Not Found", "OK").
  static std::string reasonPhraseForStatusCode(long statusCode);

 private:
  NSURLPtr url_;
  long statusCode_;
  NSHTTPHeaderFields headers_;
};

using NSHTTPURLResponsePtr = std::shared_ptr<const NSHTTPURLResponse>;
