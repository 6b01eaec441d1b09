#include "Tools/ZRLLocalServer/ZRLLocalConnection.h"

#include <algorithm>
#include <charconv>
#include <exception>

#include "Platform/Net/NSURLRequest.h"

namespace {

constexpr size_t kLongestHead = size_t{64} << 10;
constexpr size_t kLargestBody = size_t{64} << 20;
constexpr size_t kMostBuffersPerWrite = 64;
// How long an orderly close waits for the client to close its side.
constexpr std::chrono::seconds kCloseGrace{2};

bool containsToken(const std::optional<std::string>& value, std::string_view token) {
  if (!value) return false;
  std::string lower = *value;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return lower.find(token) != std::string::npos;
}

std::string head(int status, const ZRLLocalHeaders& headers) {
  std::string text = "HTTP/1.1 ";
  text.append(std::to_string(status)).append(" ").append(ZRLLocalResponder::reasonPhrase(status));
  text.append("\r\n");
  for (const auto& [name, value] : headers.fields()) {
    text.append(name).append(": ").append(value).append("\r\n");
  }
  return text;
}

}  // namespace

ZRLLocalHandler ZRLLocalServerState::handlerFor(const std::string& method,
                                                const std::string& path) const {
  std::lock_guard lock(mutex);
  auto found = routes.find({method, path});
  return found != routes.end() ? found->second : fallback;
}

void ZRLLocalServerState::record(ZRLLocalRequest& request) {
  {
    std::lock_guard lock(mutex);
    request.setPlace(requests.size(), request.connectionIndex());
    requests.push_back(request);
  }
  arrived.notify_all();
}

ZRLLocalConnection::ZRLLocalConnection(std::shared_ptr<ZRLLocalServerState> state,
                                       std::shared_ptr<ZRLLocalGate> gate,
                                       asio::ip::tcp::socket socket, asio::ssl::context* tls,
                                       uint64_t index)
    : state_(std::move(state)),
      gate_(std::move(gate)),
      status_(std::make_shared<ZRLLocalConnectionStatus>()),
      index_(index),
      socket_(std::move(socket)),
      closeTimer_(socket_.get_executor()) {
  if (tls != nullptr)
    tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket_, *tls);
  state_->open.fetch_add(1);
}

ZRLLocalConnection::~ZRLLocalConnection() {
  if (phase_ != Phase::Closed) {
    std::error_code ignored;
    socket_.close(ignored);
    status_->markClosed();
    state_->open.fetch_sub(1);
  }
}

void ZRLLocalConnection::start() {
  std::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  if (!tls_) {
    phase_ = Phase::Head;
    readMore();
    return;
  }
  tls_->async_handshake(asio::ssl::stream_base::server,
                        [self = shared_from_this()](const std::error_code& error) {
                          if (self->phase_ == Phase::Closed) return;
                          if (error) {
                            self->finish();
                            return;
                          }
                          self->phase_ = Phase::Head;
                          self->readMore();
                        });
}

void ZRLLocalConnection::readMore() {
  if (phase_ == Phase::Closed || reading_) return;
  reading_ = true;
  auto handler = [self = shared_from_this()](const std::error_code& error, size_t size) {
    self->reading_ = false;
    self->onRead(error, size);
  };
  if (tls_) {
    tls_->async_read_some(asio::buffer(readBuffer_), std::move(handler));
  } else {
    socket_.async_read_some(asio::buffer(readBuffer_), std::move(handler));
  }
}

void ZRLLocalConnection::onRead(const std::error_code& error, size_t size) {
  if (phase_ == Phase::Closed) return;
  if (phase_ == Phase::Closing) {
    // A TLS close begins once the read in flight is out of the way; a plain
    // close waits for the client's end of the stream.
    if (tls_) {
      shutDownTLS();
    } else if (error) {
      finish();
    } else {
      readMore();
    }
    return;
  }
  if (error) {
    finish();  // the client went away
    return;
  }
  if (phase_ != Phase::Streaming) {
    input_.append(readBuffer_.data(), size);
    if (phase_ == Phase::Head || phase_ == Phase::Body) process();
  }
  readMore();
}

void ZRLLocalConnection::process() {
  while (phase_ == Phase::Head || phase_ == Phase::Body) {
    if (phase_ == Phase::Head) {
      const size_t end = input_.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (input_.size() > kLongestHead) refuse(431, "The request head is too long.\n");
        return;
      }
      std::optional<ZRLLocalRequest> request =
          ZRLLocalRequest::parseHead(std::string_view(input_).substr(0, end));
      input_.erase(0, end + 4);
      if (!request) return refuse(400, "The request head is malformed.\n");
      if (request->header("Transfer-Encoding")) {
        return refuse(501, "Request bodies must have a Content-Length.\n");
      }
      bodyLength_ = 0;
      if (const std::optional<std::string> length = request->header("Content-Length")) {
        const char* first = length->c_str();
        const char* last = first + length->size();
        const std::from_chars_result parsed = std::from_chars(first, last, bodyLength_);
        if (parsed.ec != std::errc() || parsed.ptr != last || first == last) {
          return refuse(400, "The Content-Length is not a number.\n");
        }
        if (bodyLength_ > kLargestBody) return refuse(413, "The request body is too large.\n");
      }
      if (bodyLength_ > 0 && containsToken(request->header("Expect"), "100-continue")) {
        enqueue("HTTP/1.1 100 Continue\r\n\r\n");
      }
      const auto connection = request->header("Connection");
      keepAlive_ = request->version() == "HTTP/1.1" ? !containsToken(connection, "close")
                                                    : containsToken(connection, "keep-alive");
      headRequest_ = request->method() == "HEAD";
      request->setPlace(0, index_);
      pending_ = std::move(request);
      phase_ = Phase::Body;
    }
    if (input_.size() < bodyLength_) return;
    pending_->setBody(input_.substr(0, bodyLength_));
    input_.erase(0, bodyLength_);
    ZRLLocalRequest request = std::move(*pending_);
    pending_.reset();
    phase_ = Phase::Responding;
    dispatch(std::move(request));
  }
}

void ZRLLocalConnection::dispatch(ZRLLocalRequest request) {
  state_->record(request);
  const ZRLLocalHandler handler = state_->handlerFor(request.method(), request.path());
  ZRLLocalResponder responder(*this);
  try {
    if (handler) {
      handler(request, responder);
    } else {
      responder.respond(404, {{"Content-Type", "text/plain"}}, "Not Found\n");
    }
  } catch (const std::exception& e) {
    if (!responder.answered()) {
      responder.respond(500, {{"Content-Type", "text/plain"}}, std::string(e.what()) + "\n");
    }
  } catch (...) {
    if (!responder.answered()) responder.respond(500);
  }
  if (!responder.answered()) {
    responder.respond(500, {{"Content-Type", "text/plain"}}, "The handler did not answer.\n");
  }
}

void ZRLLocalConnection::refuse(int status, const std::string& message) {
  phase_ = Phase::Responding;
  keepAlive_ = false;
  headRequest_ = false;
  respondWhole(status, {{"Content-Type", "text/plain"}}, message);
}

void ZRLLocalConnection::respondWhole(int status, const ZRLLocalHeaders& headers,
                                      const std::string& body) {
  ZRLLocalHeaders fields = headers;
  // These answers never have a body, nor a length that announces one.
  const bool bodiless = status < 200 || status == 204 || status == 304;
  if (!bodiless && !fields.contains("Content-Length")) {
    fields.add("Content-Length", std::to_string(body.size()));
  }
  if (containsToken(fields.value("Connection"), "close")) keepAlive_ = false;
  if (!keepAlive_ && !fields.contains("Connection")) fields.add("Connection", "close");
  std::string text = head(status, fields) + "\r\n";
  if (!headRequest_ && !bodiless) text += body;
  enqueue(std::move(text));
  if (keepAlive_) {
    resumeAfterWrites_ = true;
  } else {
    closeAfterWrites_ = true;
  }
  writeNext();
}

std::shared_ptr<ZRLLocalStream> ZRLLocalConnection::respondStream(int status,
                                                                  const ZRLLocalHeaders& headers) {
  ZRLLocalHeaders fields = headers;
  if (!fields.contains("Connection")) fields.add("Connection", "close");
  enqueue(head(status, fields) + "\r\n");
  return respondRaw();
}

std::shared_ptr<ZRLLocalStream> ZRLLocalConnection::respondRaw() {
  phase_ = Phase::Streaming;
  input_.clear();
  return makeStream();
}

std::shared_ptr<ZRLLocalStream> ZRLLocalConnection::makeStream() {
  return std::make_shared<ZRLLocalStream>(gate_, weak_from_this(), status_, index_);
}

void ZRLLocalConnection::enqueue(std::string bytes) {
  if (phase_ == Phase::Closed || phase_ == Phase::Closing || closeAfterWrites_ || bytes.empty()) {
    return;
  }
  queuedBytes_ += bytes.size();
  queue_.push_back(std::move(bytes));
  writeNext();
}

void ZRLLocalConnection::writeNext() {
  if (inFlight_ != 0 || phase_ == Phase::Closed || phase_ == Phase::Handshake) return;
  if (queue_.empty()) {
    for (auto& [target, done] : flushWaiters_)
      done->set_value(true);
    flushWaiters_.clear();
    if (closeAfterWrites_) {
      beginGracefulClose();
    } else if (resumeAfterWrites_) {
      resumeAfterWrites_ = false;
      phase_ = Phase::Head;
      process();  // a request that arrived meanwhile
    }
    return;
  }
  // Everything queued goes out in one gathered write.
  std::vector<asio::const_buffer> buffers;
  inFlight_ = std::min(queue_.size(), kMostBuffersPerWrite);
  buffers.reserve(inFlight_);
  for (size_t i = 0; i < inFlight_; ++i)
    buffers.emplace_back(asio::buffer(queue_[i]));
  auto handler = [self = shared_from_this()](const std::error_code& error, size_t size) {
    self->onWritten(error, size);
  };
  if (tls_) {
    asio::async_write(*tls_, buffers, std::move(handler));
  } else {
    asio::async_write(socket_, buffers, std::move(handler));
  }
}

void ZRLLocalConnection::onWritten(const std::error_code& error, size_t size) {
  if (phase_ == Phase::Closed) return;
  if (error) {
    finish();
    return;
  }
  writtenBytes_ += size;
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(inFlight_));
  inFlight_ = 0;
  auto reached = std::remove_if(flushWaiters_.begin(), flushWaiters_.end(), [&](auto& waiter) {
    if (waiter.first > writtenBytes_) return false;
    waiter.second->set_value(true);
    return true;
  });
  flushWaiters_.erase(reached, flushWaiters_.end());
  writeNext();
}

void ZRLLocalConnection::whenWritten(const std::shared_ptr<std::promise<bool>>& done) {
  if (phase_ == Phase::Closed) {
    done->set_value(false);
  } else if (writtenBytes_ >= queuedBytes_) {
    done->set_value(true);
  } else {
    flushWaiters_.emplace_back(queuedBytes_, done);
  }
}

void ZRLLocalConnection::closeAfterWrites() {
  if (phase_ == Phase::Closed || phase_ == Phase::Closing) return;
  closeAfterWrites_ = true;
  writeNext();
}

void ZRLLocalConnection::beginGracefulClose() {
  if (phase_ == Phase::Closed || phase_ == Phase::Closing) return;
  phase_ = Phase::Closing;
  closeTimer_.expires_after(kCloseGrace);
  closeTimer_.async_wait([self = shared_from_this()](const std::error_code& error) {
    if (!error) self->finish();
  });
  if (tls_) {
    // The close_notify goes out through the TLS engine, which must not read
    // while another read is in flight: that read is cancelled first, and
    // onRead() then starts the shutdown.
    std::error_code ignored;
    if (reading_) {
      socket_.cancel(ignored);
    } else {
      shutDownTLS();
    }
    return;
  }
  // Our side ends; the client reads everything, then closes its side, which
  // the read in flight sees. Closing at once could reset the connection and
  // lose the last bytes.
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  readMore();
}

void ZRLLocalConnection::shutDownTLS() {
  if (tlsShutdownStarted_ || phase_ == Phase::Closed) return;
  tlsShutdownStarted_ = true;
  tls_->async_shutdown([self = shared_from_this()](const std::error_code&) { self->finish(); });
}

void ZRLLocalConnection::abort() {
  if (phase_ == Phase::Closed) return;
  std::error_code ignored;
  socket_.set_option(asio::socket_base::linger(true, 0), ignored);
  finish();
}

void ZRLLocalConnection::closeNow() {
  finish();
}

void ZRLLocalConnection::finish() {
  if (phase_ == Phase::Closed) return;
  phase_ = Phase::Closed;
  std::error_code ignored;
  closeTimer_.cancel();
  socket_.close(ignored);
  queue_.clear();
  for (auto& [target, done] : flushWaiters_)
    done->set_value(false);
  flushWaiters_.clear();
  status_->markClosed();
  state_->open.fetch_sub(1);
}

void ZRLLocalResponder::respond(int status, const ZRLLocalHeaders& headers,
                                const std::string& body) {
  if (answered_) return;
  answered_ = true;
  connection_.respondWhole(status, headers, body);
}

std::shared_ptr<ZRLLocalStream> ZRLLocalResponder::stream(int status,
                                                          const ZRLLocalHeaders& headers) {
  if (answered_) return nullptr;
  answered_ = true;
  return connection_.respondStream(status, headers);
}

std::shared_ptr<ZRLLocalStream> ZRLLocalResponder::raw() {
  if (answered_) return nullptr;
  answered_ = true;
  return connection_.respondRaw();
}

std::string ZRLLocalResponder::reasonPhrase(int status) {
  return NSHTTPURLResponse::reasonPhraseForStatusCode(status);
}

ZRLLocalStream::ZRLLocalStream(std::shared_ptr<ZRLLocalGate> gate,
                               std::weak_ptr<ZRLLocalConnection> connection,
                               std::shared_ptr<ZRLLocalConnectionStatus> status,
                               uint64_t connectionIndex)
    : gate_(std::move(gate)),
      connection_(std::move(connection)),
      status_(std::move(status)),
      connectionIndex_(connectionIndex) {}

bool ZRLLocalStream::write(std::string bytes) {
  std::lock_guard lock(gate_->mutex);
  if (!gate_->open || status_->isClosed()) return false;
  std::shared_ptr<ZRLLocalConnection> connection = connection_.lock();
  if (!connection) return false;
  // On the server's thread (inside a handler) the bytes are queued at once: a
  // post from there would only be queued when the handler returns, behind
  // the writes that other threads make meanwhile with a handle it gave out.
  if (std::this_thread::get_id() == gate_->loopThread) {
    connection->enqueue(std::move(bytes));
    return true;
  }
  asio::any_io_executor executor = connection->executor();
  asio::post(executor, [connection = std::move(connection), bytes = std::move(bytes)]() mutable {
    connection->enqueue(std::move(bytes));
  });
  return true;
}

bool ZRLLocalStream::flush(std::chrono::milliseconds timeout) {
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  {
    std::lock_guard lock(gate_->mutex);
    if (!gate_->open || status_->isClosed()) return false;
    if (std::this_thread::get_id() == gate_->loopThread) return false;
    std::shared_ptr<ZRLLocalConnection> connection = connection_.lock();
    if (!connection) return false;
    asio::any_io_executor executor = connection->executor();
    asio::post(executor,
               [connection = std::move(connection), done] { connection->whenWritten(done); });
  }
  if (result.wait_for(timeout) != std::future_status::ready) return false;
  try {
    return result.get();
  } catch (const std::future_error&) {
    return false;  // the server stopped before it could answer
  }
}

void ZRLLocalStream::close() {
  std::lock_guard lock(gate_->mutex);
  if (!gate_->open) return;
  if (std::shared_ptr<ZRLLocalConnection> connection = connection_.lock()) {
    asio::any_io_executor executor = connection->executor();
    asio::post(executor, [connection = std::move(connection)] { connection->closeAfterWrites(); });
  }
}

void ZRLLocalStream::abort() {
  std::lock_guard lock(gate_->mutex);
  if (!gate_->open) return;
  if (std::shared_ptr<ZRLLocalConnection> connection = connection_.lock()) {
    asio::any_io_executor executor = connection->executor();
    asio::post(executor, [connection = std::move(connection)] { connection->abort(); });
  }
}

bool ZRLLocalStream::isOpen() const {
  return !status_->isClosed();
}

bool ZRLLocalStream::waitUntilClosed(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(status_->mutex);
  return status_->changed.wait_for(lock, timeout, [&] { return status_->closed; });
}
