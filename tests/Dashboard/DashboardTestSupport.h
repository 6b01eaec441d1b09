#pragma once
// What the dashboard's tests add to the tools' test support: HTTPS requests
// through libcurl that trust the dashboard's own authority, a raw TLS client
// that can stall on purpose, and the router on a store of the test's own.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"
#include "Tools/zrl-dashboard/ZRLDashboardSQLiteStore.h"
#include "tests/Tools/ToolTestSupport.h"

using json = nlohmann::json;

struct HTTPAnswer {
  long status = 0;
  std::string body;
  std::string failure;  // libcurl's message when the request failed
};

// One request; verification stays on, trusting only the given authority.
inline HTTPAnswer httpsRequest(const std::string& url, const std::string& authorityFile,
                               const std::string& method = "GET",
                               const std::vector<std::string>& headers = {},
                               const std::optional<std::string>& body = std::nullopt) {
  HTTPAnswer answer;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return {0, {}, "curl_easy_init"};
  curl_slist* list = nullptr;
  for (const auto& header : headers)
    list = curl_slist_append(list, header.c_str());
  const auto collect = +[](char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
  };
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, authorityFile.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  if (body) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
  }
  const CURLcode code = curl_easy_perform(curl);
  if (code != CURLE_OK) answer.failure = curl_easy_strerror(code);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return answer;
}

// A call of the dashboard's own API, with the page's token.
inline HTTPAnswer dashboardAPI(const DashboardProcess& dashboard, const std::string& method,
                               const std::string& target,
                               const std::optional<std::string>& body = std::nullopt) {
  return httpsRequest(dashboard.origin() + target, dashboard.authority(), method,
                      {"Authorization: Bearer " + dashboard.token()}, body);
}

// A TLS connection to 127.0.0.1 that verifies the dashboard's certificate
// and does only what the test tells it. Each read waits at most kPatience,
// and each wait for a text or an end at most its deadline (so that a stream
// that keeps sending keep-alives cannot hold a test); a failed wait says
// what it waited for and why it stopped.
class RawTLSClient {
  using Clock = std::chrono::steady_clock;

 public:
  RawTLSClient(unsigned short port, const std::string& authorityFile, bool handshake = true) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval patience{std::chrono::seconds(kPatience).count(), 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    connected_ = true;
    context_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_load_verify_locations(context_, authorityFile.c_str(), nullptr);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    ssl_ = SSL_new(context_);
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), "127.0.0.1");
    SSL_set_fd(ssl_, fd_);
    if (handshake) this->handshake();
  }
  ~RawTLSClient() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (context_ != nullptr) SSL_CTX_free(context_);
    if (fd_ >= 0) ::close(fd_);
  }
  RawTLSClient(const RawTLSClient&) = delete;
  RawTLSClient& operator=(const RawTLSClient&) = delete;

  // The TLS handshake, for a client made without it.
  bool handshake() { return secure_ = connected_ && SSL_connect(ssl_) == 1; }
  bool connected() const { return connected_; }
  SSL* ssl() const { return ssl_; }
  bool write(const std::string& text) {
    return secure_ && SSL_write(ssl_, text.data(), static_cast<int>(text.size())) ==
                          static_cast<int>(text.size());
  }
  // Reads until the text holds `until`; fails when the connection ends, a
  // read times out or the deadline passes first.
  ::testing::AssertionResult readUntil(const std::string& until) {
    const auto deadline = Clock::now() + kToolPatience;
    while (received_.find(until) == std::string::npos) {
      if (!readSome(deadline))
        return ::testing::AssertionFailure()
               << "no \"" << until << "\" before " << stopped_ << "; the last bytes received: \""
               << received_.substr(received_.size() - std::min<size_t>(received_.size(), 300))
               << "\"";
    }
    return ::testing::AssertionSuccess();
  }
  // Succeeds when the server ends the connection before a read times out
  // and before the deadline.
  ::testing::AssertionResult endsByServer() {
    if (!secure_) {
      char byte = 0;
      if (connected_ && ::recv(fd_, &byte, 1, 0) == 0) return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << "the server did not end the connection";
    }
    const auto deadline = Clock::now() + kToolPatience;
    while (readSome(deadline)) {
    }
    if (stopped_ == "the end of the connection") return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the server did not end the connection: " << stopped_;
  }
  const std::string& received() const { return received_; }

 private:
  // False when nothing more can be read: stopped_ says why.
  bool readSome(Clock::time_point deadline) {
    if (Clock::now() >= deadline) {
      stopped_ = "the deadline";
      return false;
    }
    char buffer[65536];
    const int n = SSL_read(ssl_, buffer, sizeof buffer);
    if (n > 0) {
      received_.append(buffer, static_cast<size_t>(n));
      return true;
    }
    // A read that timed out on the blocking socket comes back as "want
    // read" (or, from older libraries, a system-call error) with EAGAIN.
    const int error = SSL_get_error(ssl_, n);
    const bool timedOut = (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_SYSCALL) &&
                          (errno == EAGAIN || errno == EWOULDBLOCK);
    stopped_ = timedOut ? "a read timed out" : "the end of the connection";
    return false;
  }

  int fd_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  bool connected_ = false;
  bool secure_ = false;
  std::string stopped_;
  std::string received_;
};

// The request for application "app"'s event stream.
inline const std::string kStreamRequest =
    "GET /v1/api/sse-ui-config?appId=app HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// The key that the plug-in's test-device requests carry.
inline constexpr const char* kPluginKey = "7C4D19E2A05B3F86D1E7420C9B5A6F13";

// A stream as the hub sees it, keeping what it is handed.
class RecordingSink : public ZRLDashboardStreamSink {
 public:
  void deliver(std::shared_ptr<const std::string> text, bool replayed) override {
    std::lock_guard lock(mutex);
    texts.push_back((replayed ? "replayed " : "live ") + *text);
  }
  void close() override {
    std::lock_guard lock(mutex);
    closed = true;
  }
  std::mutex mutex;
  std::vector<std::string> texts;
  bool closed = false;
};

// A request as the page makes it of a router on port 8443 with the token
// "secret"; or, given a key, without the token and Host but with the key, as
// the plug-in makes its test-device requests.
inline ZRLDashboardRequest routerRequest(const std::string& method, const std::string& target,
                                         const std::string& body = "",
                                         const std::optional<std::string>& key = std::nullopt) {
  ZRLDashboardRequest request;
  request.method = method;
  request.target = target;
  request.host = key ? "" : "127.0.0.1:8443";
  request.authorization = key ? "" : "Bearer secret";
  request.apiKey = key;
  request.body = body;
  return request;
}

// The router on a store in a folder of the test's own (or another store of
// a subclass's), with the page's token "secret" and port 8443.
class DashboardRouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store = openStore(&error);
    ASSERT_TRUE(store) << error;
    router = std::make_unique<ZRLDashboardRouter>(
        *store, hub, ZRLDashboardRouter::Options{"secret", 8443, folder.path(), {}});
  }
  virtual std::unique_ptr<ZRLDashboardStore> openStore(std::string* error) {
    return ZRLDashboardSQLiteStore::open(path("db.sqlite"), error);
  }
  std::string path(const std::string& name) const { return folder.path() + "/" + name; }
  ZRLDashboardResponse call(const std::string& method, const std::string& target,
                            const std::string& body = "",
                            const std::optional<std::string>& key = std::nullopt) {
    return router->handle(routerRequest(method, target, body, key));
  }

  TemporaryDirectory folder;
  std::unique_ptr<ZRLDashboardStore> store;
  ZRLDashboardHub hub;
  std::unique_ptr<ZRLDashboardRouter> router;
};
