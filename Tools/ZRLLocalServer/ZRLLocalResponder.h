#pragma once
// How a handler of the local test server answers a request: once, with a
// whole answer, a streaming answer or raw bytes. Valid only during the
// handler's call; a stream handle lives on after it.

#include <memory>
#include <string>

#include "Tools/ZRLLocalServer/ZRLLocalRequest.h"
#include "Tools/ZRLLocalServer/ZRLLocalStream.h"

class ZRLLocalConnection;

class ZRLLocalResponder {
 public:
  // A whole answer. Content-Length is added (not to 1xx, 204 and 304
  // answers, which have no body); the connection stays open for the next
  // request unless the client or the headers ask to close it.
  void respond(int status, const ZRLLocalHeaders& headers = {}, const std::string& body = {});
  // Writes the status line and header fields (with "Connection: close"),
  // then hands over the body: without a Content-Length among the headers it
  // ends when the stream is closed.
  std::shared_ptr<ZRLLocalStream> stream(int status, const ZRLLocalHeaders& headers = {});
  // Writes nothing: every byte of the answer, head included, is the
  // caller's, which may also write none at all (a stalled server).
  std::shared_ptr<ZRLLocalStream> raw();

  bool answered() const { return answered_; }

  // The standard reason phrase of a status ("OK", "Not Found", ...).
  static std::string reasonPhrase(int status);

  ZRLLocalResponder(const ZRLLocalResponder&) = delete;
  ZRLLocalResponder& operator=(const ZRLLocalResponder&) = delete;

 private:
  friend class ZRLLocalConnection;
  explicit ZRLLocalResponder(ZRLLocalConnection& connection) : connection_(connection) {}

  ZRLLocalConnection& connection_;
  bool answered_ = false;
};
