#include "Platform/Net/NSURLTransfer.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "Platform/Foundation/NSString.h"
#include "Platform/Net/NSURLError.h"

namespace {

constexpr long kMaximumRedirects = 16;
constexpr const char* kSystemCertificateDirectory = "/etc/ssl/certs";
// An idle limit longer than this (about 31 years) is no limit at all, and
// keeps the deadline arithmetic far from overflowing.
constexpr double kLongestIdleLimit = 1e9;

// A value may hold anything but the characters that would end the line and
// smuggle another header field or request onto the wire.
bool isSafeFieldValue(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string methodOf(const NSURLRequest& request) {
  return request.HTTPMethod().empty() ? "GET" : request.HTTPMethod();
}

bool hasField(const NSHTTPHeaderFields& fields, std::string_view name) {
  return fields.valueForField(name).has_value();
}

// The absolute address that a Location value names, seen from the base
// address (libcurl's own URL parser, as it will follow it); none if it does
// not parse.
std::optional<std::string> resolvedAgainst(const char* base, std::string_view location) {
  CURLU* url = curl_url();
  if (url == nullptr) return std::nullopt;
  std::optional<std::string> resolved;
  const std::string relative(location);
  char* text = nullptr;
  if (curl_url_set(url, CURLUPART_URL, base, 0) == CURLUE_OK &&
      curl_url_set(url, CURLUPART_URL, relative.c_str(), 0) == CURLUE_OK &&
      curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK) {
    resolved = text;
  }
  curl_free(text);
  curl_url_cleanup(url);
  return resolved;
}

bool startsWithScheme(const char* url, const char* scheme) {
  const size_t length = std::char_traits<char>::length(scheme);
  return url != nullptr && ::strncasecmp(url, scheme, length) == 0 && url[length] == ':';
}

// Hosts that are reached without a proxy: the loopback addresses (the local
// dashboard and test servers), and whatever the user lists in no_proxy or
// NO_PROXY, which libcurl would otherwise no longer read once the option is
// set.
std::string hostsWithoutProxy() {
  std::string list = "localhost,127.0.0.1,::1";
  // Read on the network thread only; nothing in this process sets them.
  const char* user = std::getenv("no_proxy");  // NOLINT(concurrency-mt-unsafe)
  if (user == nullptr || *user == '\0')
    user = std::getenv("NO_PROXY");  // NOLINT(concurrency-mt-unsafe)
  if (user == nullptr) return list;
  const std::string_view entries = NSHTTPHeadParser::trimmed(user);
  if (entries == "*") return "*";
  if (!entries.empty()) list.append(",").append(entries);
  return list;
}

bool isDirectory(const char* path) {
  struct stat status {};
  return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

NSURLTransfer::NSURLTransfer(std::shared_ptr<const NSURLRequest> request,
                             std::optional<std::string> certificateAuthorityFile)
    : request_(std::move(request)),
      certificateAuthorityFile_(std::move(certificateAuthorityFile)) {}

NSURLTransfer::~NSURLTransfer() {
  close();
}

void NSURLTransfer::close() {
  closeHandle();
  client_.reset();
}

void NSURLTransfer::closeHandle() {
  if (handle_ != nullptr) curl_easy_cleanup(handle_);
  handle_ = nullptr;
  if (requestHeaders_ != nullptr) curl_slist_free_all(requestHeaders_);
  requestHeaders_ = nullptr;
}

NSErrorPtr NSURLTransfer::open(std::shared_ptr<NSURLTransferClient> client) {
  client_ = std::move(client);
  touch();
  if (NSErrorPtr error = checkRequest()) return error;
  if (NSErrorPtr error = listRequestHeaders()) return error;
  return setOptions();
}

NSErrorPtr NSURLTransfer::checkRequest() const {
  const NSURLPtr& url = request_->URL();
  if (!url) return NSURLErrorWithCode(NSURLErrorBadURL);
  if (url->scheme() != "http" && url->scheme() != "https") {
    return NSURLErrorWithCode(NSURLErrorUnsupportedURL);
  }
  if (!NSHTTPHeadParser::isToken(methodOf(*request_))) {
    return NSURLErrorWithCode(
        NSURLErrorUnknown,
        NSURLCURLError(CURLE_BAD_FUNCTION_ARGUMENT, "The request method is not a valid token."));
  }
  return nullptr;
}

NSErrorPtr NSURLTransfer::listRequestHeaders() {
  const auto append = [this](const std::string& line) {
    curl_slist* appended = curl_slist_append(requestHeaders_, line.c_str());
    if (appended == nullptr) return false;
    requestHeaders_ = appended;
    return true;
  };
  // Header fields in the caller's order. "Name;" is libcurl's way of sending
  // a field with an empty value; "Name:" removes one that it would add.
  const NSHTTPHeaderFields& fields = request_->allHTTPHeaderFields();
  for (const auto& [name, value] : fields.fields()) {
    if (!NSHTTPHeadParser::isToken(name) || !isSafeFieldValue(value)) {
      return NSURLErrorWithCode(
          NSURLErrorUnknown,
          NSURLCURLError(
              CURLE_BAD_FUNCTION_ARGUMENT,
              NSStringWithFormat("The request header field \"%@\" is not valid.", name)));
    }
    std::string line = name;
    line.append(value.empty() ? ";" : ": ").append(value);
    if (!append(line)) return NSURLErrorWithCode(NSURLErrorUnknown);
  }
  // No "Expect: 100-continue" round trip before a large body, and no form
  // content type that the caller did not ask for.
  if (!hasField(fields, "Expect") && !append("Expect:")) {
    return NSURLErrorWithCode(NSURLErrorUnknown);
  }
  if (request_->HTTPBody() && !hasField(fields, "Content-Type") && !append("Content-Type:")) {
    return NSURLErrorWithCode(NSURLErrorUnknown);
  }
  return nullptr;
}

NSErrorPtr NSURLTransfer::setOptions() {
  handle_ = curl_easy_init();
  if (handle_ == nullptr) return NSURLErrorWithCode(NSURLErrorUnknown);
  CURLcode failure = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (failure != CURLE_OK) return;
    failure = curl_easy_setopt(handle_, option, value);
  };
  const NSURLPtr& url = request_->URL();
  set(CURLOPT_PRIVATE, static_cast<void*>(this));
  set(CURLOPT_ERRORBUFFER, errorBuffer_);
  set(CURLOPT_URL, url->absoluteString().c_str());
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  // An https request is never redirected to plain http (see followRedirect,
  // which also names the error).
  set(CURLOPT_REDIR_PROTOCOLS_STR, url->scheme() == "https" ? "https" : "http,https");
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, kMaximumRedirects);
  set(CURLOPT_TCP_KEEPALIVE, 1L);
  set(CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  // Removing the handle while its host name is still being looked up must
  // not wait for the lookup: the resolver thread is left to finish alone.
  set(CURLOPT_QUICK_EXIT, 1L);
  // Every content coding that this libcurl can decode is offered, and the
  // body is handed on decoded.
  set(CURLOPT_ACCEPT_ENCODING, "");
  set(CURLOPT_NOPROXY, hostsWithoutProxy().c_str());
  // Certificates are always verified, against the system's store and the
  // configured file. Cookies stay off (no cookie file is ever set) and
  // libcurl keeps no response cache, so every request reaches the server.
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (certificateAuthorityFile_) set(CURLOPT_CAINFO, certificateAuthorityFile_->c_str());
  if (isDirectory(kSystemCertificateDirectory)) set(CURLOPT_CAPATH, kSystemCertificateDirectory);

  const std::string method = methodOf(*request_);
  const std::optional<NSData>& body = request_->HTTPBody();
  if (method == "HEAD") {
    set(CURLOPT_NOBODY, 1L);
  } else if (method == "GET" && !body) {
    set(CURLOPT_HTTPGET, 1L);
  } else {
    if (body) {
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
      set(CURLOPT_POSTFIELDS, body->data());
    } else if (method == "POST") {
      set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
      set(CURLOPT_POSTFIELDS, "");
    }
    if (method != "POST") {
      set(CURLOPT_CUSTOMREQUEST, method.c_str());
      // libcurl would turn a PUT (or any method that sends a body) into a
      // GET after a 301 or 302; only POST and DELETE change (followRedirect).
      if (body && method != "DELETE") {
        set(CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_301 | CURL_REDIR_POST_302));
      }
    }
  }
  set(CURLOPT_HTTPHEADER, requestHeaders_);

  set(CURLOPT_HEADERFUNCTION, &NSURLTransfer::headerCallback);
  set(CURLOPT_HEADERDATA, static_cast<void*>(this));
  set(CURLOPT_WRITEFUNCTION, &NSURLTransfer::writeCallback);
  set(CURLOPT_WRITEDATA, static_cast<void*>(this));
  // Only an upload needs the transfer-info callback (sending counts as
  // activity for the idle limit); a download sees its bytes in the header
  // and write callbacks.
  if (body && !body->empty()) {
    set(CURLOPT_XFERINFOFUNCTION, &NSURLTransfer::progressCallback);
    set(CURLOPT_XFERINFODATA, static_cast<void*>(this));
    set(CURLOPT_NOPROGRESS, 0L);
  } else {
    set(CURLOPT_NOPROGRESS, 1L);
  }
  if (failure != CURLE_OK) return errorForCode(failure);
  return nullptr;
}

size_t NSURLTransfer::headerCallback(char* data, size_t size, size_t count, void* self) {
  return static_cast<NSURLTransfer*>(self)->onHeaderLine(std::string_view(data, size * count));
}

size_t NSURLTransfer::writeCallback(char* data, size_t size, size_t count, void* self) {
  return static_cast<NSURLTransfer*>(self)->onBody(data, size * count);
}

int NSURLTransfer::progressCallback(void* self, curl_off_t /*dltotal*/, curl_off_t /*dlnow*/,
                                    curl_off_t /*ultotal*/, curl_off_t ulnow) {
  // Sending the body counts as activity; receiving is seen in the other
  // callbacks.
  auto* transfer = static_cast<NSURLTransfer*>(self);
  if (ulnow != transfer->lastUploaded_) {
    transfer->lastUploaded_ = ulnow;
    transfer->touch();
  }
  return 0;
}

size_t NSURLTransfer::onHeaderLine(std::string_view line) {
  const size_t consumed = line.size();
  touch();
  // After the final head only trailer fields of a chunked body can come.
  if (response_ || ended_) return consumed;
  if (!head_) head_ = std::make_unique<NSHTTPHeadParser>();
  if (head_->read(line) != NSHTTPHeadParser::Line::End) return consumed;
  return endOfHead() ? consumed : 0;
}

bool NSURLTransfer::endOfHead() {
  if (!head_->sawStatusLine()) return true;
  const long status = head_->status();
  const bool interim = status >= 100 && status < 200 && status != 101;
  const auto location = head_->fields().valueForField("Location");
  // libcurl follows every 3xx answer that names a location (or fails the
  // transfer once there have been too many): that answer is not the final one.
  const bool redirect = status >= 300 && status < 400 && location && !location->empty();
  if (interim) return true;
  if (redirect) return followRedirect(status, *location);
  deliverResponse();
  return true;
}

bool NSURLTransfer::followRedirect(long status, std::string_view location) {
  // The address that answered; the request's own if libcurl cannot say.
  char* current = nullptr;
  std::string fallback;
  if (curl_easy_getinfo(handle_, CURLINFO_EFFECTIVE_URL, &current) != CURLE_OK ||
      current == nullptr) {
    fallback = request_->URL()->absoluteString();
    current = fallback.data();
  }
  if (startsWithScheme(current, "https")) {
    const std::optional<std::string> target = resolvedAgainst(current, location);
    // One that does not parse here is left to libcurl, which follows only
    // https from an https request (CURLOPT_REDIR_PROTOCOLS_STR).
    const bool toHttp = target ? !startsWithScheme(target->c_str(), "https")
                               : startsWithScheme(std::string(location).c_str(), "http");
    if (toHttp) {
      failure_ = NSURLErrorWithCode(
          NSURLErrorAppTransportSecurityRequiresSecureConnection,
          NSURLCURLError(CURLE_UNSUPPORTED_PROTOCOL,
                         NSStringWithFormat("Refused a redirect from https to %@",
                                            target.value_or(std::string(location)))));
      return false;
    }
  }
  // After 301, 302 and 303 a POST or a DELETE goes on as a GET without its
  // body, and after 303 so does every other method; 307 and 308 keep both.
  // libcurl itself turns a POST (a body without a custom method) into a GET;
  // a custom method is dropped here, before the next request is built.
  const std::string& method = request_->HTTPMethod();
  const bool becomesGet =
      (status == 303 && method != "HEAD" && method != "GET") ||
      ((status == 301 || status == 302) && (method == "POST" || method == "DELETE"));
  if (becomesGet && method != "POST") {
    const CURLcode code = curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, nullptr);
    if (code != CURLE_OK) {
      failure_ = errorForCode(code);
      return false;
    }
  }
  return true;
}

void NSURLTransfer::deliverResponse() {
  char* effective = nullptr;
  NSURLPtr url = request_->URL();
  // The request's own URL unless a redirect led elsewhere: no second copy
  // of the same address for every answer.
  if (curl_easy_getinfo(handle_, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
      effective != nullptr && (!url || url->absoluteString() != effective)) {
    if (NSURLPtr answered = NSURL::URLWithString(effective)) url = std::move(answered);
  }
  // The status line's, or libcurl's if that had none that reads.
  long status = head_ ? head_->status() : 0;
  if (status == 0 && curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK) {
    status = 0;
  }
  NSHTTPHeaderFields fields;
  if (head_) fields = head_->takeFields();
  head_.reset();
  // Kept as long as the task: no spare room.
  fields.shrinkToFit();
  response_ = std::make_shared<const NSHTTPURLResponse>(std::move(url), status, std::move(fields));
  if (client_ && client_->transferDidReceiveResponse(response_)) {
    pauseReasons_ |= AwaitingDisposition;
  }
}

size_t NSURLTransfer::onBody(const char* data, size_t size) {
  if (ended_ || !client_) return 0;  // never happens: a handle ends outside its callbacks
  if (!response_) deliverResponse();
  if (size == 0) return 0;
  if (pauseReasons_ == 0 && client_->transferShouldPause()) pauseReasons_ |= FlowControl;
  // libcurl keeps the piece and hands it over again once unpaused.
  if (pauseReasons_ != 0) {
    curlPaused_ = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  touch();
  if (NSErrorPtr error = client_->transferDidReceiveData(NSData(data, size))) {
    failure_ = std::move(error);
    return 0;  // libcurl ends the transfer; curlDidFinish reports failure_
  }
  return size;
}

bool NSURLTransfer::resumeFrom(PauseReason reason) {
  if (ended_) return true;
  pauseReasons_ &= ~static_cast<unsigned>(reason);
  if (pauseReasons_ != 0) return false;
  touch();
  if (heldResult_) {
    complete(errorForCode(*heldResult_));
    return true;
  }
  if (curlPaused_ && handle_ != nullptr) {
    curlPaused_ = false;
    const CURLcode code = curl_easy_pause(handle_, CURLPAUSE_CONT);
    if (code != CURLE_OK) {
      complete(errorForCode(code));
      return true;
    }
  }
  return ended_;
}

bool NSURLTransfer::curlDidFinish(CURLcode code) {
  if (ended_) return true;
  if (failure_) {
    complete(failure_);
    return true;
  }
  if (code == CURLE_OK && !response_) {
    // A head that libcurl accepted without its closing blank line.
    if (!head_ || !head_->sawStatusLine()) {
      complete(NSURLErrorWithCode(NSURLErrorBadServerResponse));
      return true;
    }
    deliverResponse();
  }
  if ((pauseReasons_ & AwaitingDisposition) != 0) {
    heldResult_ = code;
    return false;
  }
  complete(errorForCode(code));
  return true;
}

std::optional<NSURLTransfer::Clock::time_point> NSURLTransfer::idleDeadline() const {
  const double limit = request_->timeoutInterval();
  if (ended_ || pauseReasons_ != 0 || !(limit > 0) || limit > kLongestIdleLimit) {
    return std::nullopt;
  }
  return lastActivity_ +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit));
}

void NSURLTransfer::timeOut() {
  complete(NSURLErrorWithCode(
      NSURLErrorTimedOut,
      NSURLCURLError(CURLE_OPERATION_TIMEDOUT, NSStringWithFormat("Nothing received for %g seconds",
                                                                  request_->timeoutInterval()))));
}

void NSURLTransfer::complete(const NSErrorPtr& error) {
  if (ended_) return;
  ended_ = true;
  std::shared_ptr<NSURLTransferClient> client = std::move(client_);
  if (client) client->transferDidComplete(error);
}

NSErrorPtr NSURLTransfer::errorForCode(CURLcode code) const {
  if (code == CURLE_OK) return nullptr;
  long redirects = 0;
  if (handle_ == nullptr ||
      curl_easy_getinfo(handle_, CURLINFO_REDIRECT_COUNT, &redirects) != CURLE_OK) {
    redirects = 0;
  }
  std::string text = errorBuffer_[0] != '\0' ? std::string(errorBuffer_) : curl_easy_strerror(code);
  return NSURLErrorForCURLCode(code, redirects > 0, std::move(text));
}
