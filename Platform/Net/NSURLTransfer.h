#pragma once
// Private to the URL session: one HTTP exchange on a libcurl easy handle. It
// sets the handle up from a request, parses the answer's heads, holds the
// body back while it is paused, keeps the idle clock and turns libcurl's
// result into the platform's error. Everything but the constructor runs on
// the network thread (NSURLSessionEngine).

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/NSData.h"
#include "Platform/Foundation/NSError.h"
#include "Platform/Net/NSURLRequest.h"

// What a transfer reports, on the network thread, in this order: the final
// answer's head at most once, body pieces, then the end exactly once.
class NSURLTransferClient {
 public:
  virtual ~NSURLTransferClient() = default;
  // Returns true when the body must wait until the transfer is resumed from
  // NSURLTransfer::AwaitingDisposition.
  virtual bool transferDidReceiveResponse(const NSHTTPURLResponsePtr& response) = 0;
  // Asked before each body piece: true holds the body back until the
  // transfer is resumed from NSURLTransfer::FlowControl.
  virtual bool transferShouldPause() = 0;
  // Returns an error to end the transfer with at once (the body has grown
  // past what the client keeps), or null to go on.
  virtual NSErrorPtr transferDidReceiveData(NSData data) = 0;
  virtual void transferDidComplete(const NSErrorPtr& error) = 0;
};

class NSURLTransfer {
 public:
  using Clock = std::chrono::steady_clock;
  // Why the body is held back; the transfer goes on once no reason is left.
  enum PauseReason : unsigned {
    AwaitingDisposition = 1U << 0,
    FlowControl = 1U << 1,
    Suspended = 1U << 2,  // the task's suspend()
  };

  // Any thread: keeps what the exchange needs; nothing is opened yet.
  NSURLTransfer(std::shared_ptr<const NSURLRequest> request,
                std::optional<std::string> certificateAuthorityFile);
  ~NSURLTransfer();
  NSURLTransfer(const NSURLTransfer&) = delete;
  NSURLTransfer& operator=(const NSURLTransfer&) = delete;

  // Makes and sets up the easy handle and starts the idle clock. On failure
  // returns the error, which the caller reports through complete().
  NSErrorPtr open(std::shared_ptr<NSURLTransferClient> client);
  CURL* handle() const { return handle_; }

  // Drops one pause reason; once none is left the body flows again (libcurl
  // may deliver held-back data inside this call). Returns true when that
  // also ended the transfer: a result that arrived during the pause for the
  // disposition is reported now.
  bool resumeFrom(PauseReason reason);
  // Adds a pause reason: the next body piece is held back (libcurl keeps
  // it) until the reason is dropped again.
  void pauseFor(PauseReason reason) { pauseReasons_ |= reason; }

  // libcurl finished the exchange (the handle is already out of the multi
  // handle). Returns true when the end has been reported; false when it is
  // kept until the disposition allows it (see resumeFrom).
  bool curlDidFinish(CURLcode code);

  // When the idle limit runs out, if it runs at all: not while paused, not
  // without a time-out.
  std::optional<Clock::time_point> idleDeadline() const;
  // Ends the transfer with NSURLErrorTimedOut.
  void timeOut();

  // Reports an end that did not come from libcurl (a failed open()).
  void complete(const NSErrorPtr& error);

  // Frees the handle and lets the client go, without reporting anything.
  void close();
  // Frees the handle only (the network thread stopping at exit).
  void closeHandle();

 private:
  static size_t headerCallback(char* data, size_t size, size_t count, void* self);
  static size_t writeCallback(char* data, size_t size, size_t count, void* self);
  static int progressCallback(void* self, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal,
                              curl_off_t ulnow);

  size_t onHeaderLine(std::string_view line);
  // Whether to follow the redirect that ends this head (false: failure_ says
  // why not), and how: the method that the next request uses.
  bool followRedirect(long status, std::string_view location);
  size_t onBody(const char* data, size_t size);
  bool endOfHead();
  // The status of the head being read (0 if libcurl cannot say).
  long responseCode() const;
  void deliverResponse(long status);
  NSErrorPtr errorForCode(CURLcode code) const;
  NSErrorPtr setUp();
  void touch() { lastActivity_ = Clock::now(); }

  const std::shared_ptr<const NSURLRequest> request_;  // the task's own, shared
  const std::optional<std::string> certificateAuthorityFile_;
  std::shared_ptr<NSURLTransferClient> client_;

  CURL* handle_ = nullptr;
  curl_slist* requestHeaders_ = nullptr;
  char errorBuffer_[CURL_ERROR_SIZE] = {};

  // The head being read, made by its status line and let go once it ends:
  // a transfer that has its answer keeps no parsing state.
  struct Head {
    NSHTTPHeaderFields fields;
    std::string lastFieldName;
  };
  Head& head();
  std::unique_ptr<Head> head_;
  bool statusLineSeen_ = false;
  NSHTTPURLResponsePtr response_;
  // An end decided here rather than by libcurl (a refused redirect, a body
  // that the client will not take); the callback that decided it stopped
  // the transfer.
  NSErrorPtr failure_;

  unsigned pauseReasons_ = 0;
  bool curlPaused_ = false;             // the write callback returned CURL_WRITEFUNC_PAUSE
  std::optional<CURLcode> heldResult_;  // finished while awaiting the disposition
  bool ended_ = false;
  Clock::time_point lastActivity_;
  curl_off_t lastUploaded_ = 0;
};
