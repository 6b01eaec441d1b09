#pragma once
// Private to the URL session: one HTTP exchange on a libcurl easy handle. It
// sets the handle up from a request, reads the answer's heads (through
// NSHTTPHeadParser), holds the body back while it is paused, keeps the idle
// clock and turns libcurl's result into the platform's error. Everything but
// the constructor runs on the network thread (NSURLSessionEngine).

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Foundation/NSData.h"
#include "Platform/Foundation/NSError.h"
#include "Platform/Net/NSHTTPHeadParser.h"
#include "Platform/Net/NSURLRequest.h"
#include "Platform/PlatformExport.h"

// What a transfer reports, on the network thread, in this order: the final
// answer's head at most once, body pieces, then the end exactly once.
class PLATFORM_EXPORT NSURLTransferClient {
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

class PLATFORM_EXPORT NSURLTransfer {
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

  // The steps of open(), each of one job; each returns the error that
  // stops the transfer before it starts, or null.
  NSErrorPtr checkRequest() const;
  NSErrorPtr listRequestHeaders();
  NSErrorPtr setOptions();

  size_t onHeaderLine(std::string_view line);
  // The head that just ended: an interim answer or a redirect that libcurl
  // follows (false: failure_ says why not), or the final answer.
  bool endOfHead();
  // Whether to follow the redirect that ends this head (false: failure_ says
  // why not), and how: the method that the next request uses.
  bool followRedirect(long status, std::string_view location);
  size_t onBody(const char* data, size_t size);
  void deliverResponse();
  NSErrorPtr errorForCode(CURLcode code) const;
  void touch() { lastActivity_ = Clock::now(); }

  const std::shared_ptr<const NSURLRequest> request_;  // the task's own, shared
  const std::optional<std::string> certificateAuthorityFile_;

  // The transfer's life:
  //
  //   Made --open()--> Heads --final head--> Body --libcurl's result--> Ended
  //     |                |                    |                          |
  //     +--- failed set-up, refused redirect, time-out, body refused --->+
  //                                                                      |
  //   any state --cancel: the engine retires it, nothing reported--+     |
  //                                                                v     v
  //                                       Closed: close() frees the handle
  //                                       and lets the client go
  //
  //   Heads  handle_ is in the multi handle; head_ reads heads until the
  //          final one (interim answers and followed redirects come first).
  //   Body   response_ is set and head_ gone. pauseReasons_ holds the body
  //          back: AwaitingDisposition from the head until the client allows
  //          it, FlowControl while the client is full, Suspended while the
  //          task is. curlPaused_: libcurl keeps a piece for us until then;
  //          heldResult_: libcurl finished while the disposition was
  //          awaited, which is reported once it comes.
  //   Ended  ended_: the client has heard its end, exactly once, and client_
  //          is gone. failure_ is an end decided here rather than by
  //          libcurl (a refused redirect, a body the client will not take).
  //
  // lastActivity_ (and lastUploaded_ while a body is sent) feed the idle
  // clock, which stops while any pause reason is set.
  std::shared_ptr<NSURLTransferClient> client_;
  CURL* handle_ = nullptr;
  curl_slist* requestHeaders_ = nullptr;
  char errorBuffer_[CURL_ERROR_SIZE] = {};
  // Made by the first line of a head and let go with the final one: a
  // transfer that has its answer keeps no parsing state.
  std::unique_ptr<NSHTTPHeadParser> head_;
  NSHTTPURLResponsePtr response_;
  NSErrorPtr failure_;
  unsigned pauseReasons_ = 0;
  bool curlPaused_ = false;
  std::optional<CURLcode> heldResult_;
  bool ended_ = false;
  Clock::time_point lastActivity_;
  curl_off_t lastUploaded_ = 0;
};
