// An event stream sent with a content coding: each record is read as soon
// as its compressed bytes arrive, and a stream that cannot be decoded ends
// its connection with the network layer's error instead of going silent.

#include <gtest/gtest.h>
#include <zlib.h>

#include "LDEventSource/LDEventSource.h"
#include "Platform/Net/NSURLError.h"
#include "tests/Platform/NetTestSupport.h"

namespace {

// A gzip writer whose every piece is flushed, so that the receiver can
// decode everything written so far.
class GzipPieces {
 public:
  GzipPieces() { ok_ = deflateInit2(&stream_, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) == Z_OK; }
  ~GzipPieces() { deflateEnd(&stream_); }
  GzipPieces(const GzipPieces&) = delete;
  GzipPieces& operator=(const GzipPieces&) = delete;

  std::string piece(const std::string& text, int flush = Z_SYNC_FLUSH) {
    std::string out;
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream_.avail_in = static_cast<uInt>(text.size());
    char buffer[4096];
    do {
      stream_.next_out = reinterpret_cast<Bytef*>(buffer);
      stream_.avail_out = sizeof buffer;
      const int result = deflate(&stream_, flush);
      ok_ = ok_ && (result == Z_OK || result == Z_STREAM_END || result == Z_BUF_ERROR);
      out.append(buffer, sizeof buffer - stream_.avail_out);
    } while (stream_.avail_out == 0);
    return out;
  }
  bool ok() const { return ok_; }

 private:
  z_stream stream_{};
  bool ok_ = false;
};

// The data of each message and the code of each error, in order.
void listen(LDEventSource& source, const std::shared_ptr<LineLog>& heard) {
  source.onMessage([heard](const LDEventPtr& event) { heard->add("message " + *event->data()); });
  source.onError([heard](const LDEventPtr& event) {
    heard->add("error " + event->error()->domain() + " " + std::to_string(event->error()->code()));
  });
}

const ZRLLocalHeaders kGzipStream = {{"Content-Type", "text/event-stream"},
                                     {"Content-Encoding", "gzip"}};

}  // namespace

class LDEventSourceEncoding : public LocalServerFixture {};

TEST_F(LDEventSourceEncoding, AGzipStreamIsReadAsItArrivesAndOneNotGzipEndsWithTheError) {
  // The first connection is not gzip at all; the second is.
  server.route("GET", "/gzip", [this](const ZRLLocalRequest& request, auto& r) {
    auto live = r.stream(200, kGzipStream);
    if (request.index() == 0) live->write("data: this is not gzip\n\n");
    hand(live);
  });
  auto source =
      LDEventSource::eventSourceWithURL(NSURL::URLWithString(server.URL("/gzip")), std::nullopt);
  auto heard = std::make_shared<LineLog>();
  listen(*source, heard);
  // The reconnection after the error would come only after many seconds.
  source->setRetryInterval(30);
  source->setRandomUniform([](uint32_t bound) { return bound - 1; });
  source->open();
  const std::string error = std::string("error ") + NSURLErrorDomain + " " +
                            std::to_string(NSURLErrorCannotDecodeContentData);
  ASSERT_TRUE(heard->waitFor(error));
  EXPECT_EQ(heard->lines(), std::vector<std::string>{error}) << "nothing is parsed from it";
  // Opened again at once instead; close() let the listeners go.
  source->close();
  listen(*source, heard);
  source->open();
  const auto live = stream(1);
  ASSERT_TRUE(live);
  GzipPieces gzip;
  // Each record must come out while the stream is still open: nothing
  // waits for the end of the compressed body.
  for (int i = 0; i < 20; ++i) {
    const std::string data = "record " + std::to_string(i) + std::string(200, 'x');
    ASSERT_TRUE(live->write(gzip.piece("id: " + std::to_string(i) + "\ndata: " + data + "\n\n")));
    ASSERT_TRUE(heard->waitFor("message " + data)) << i;
  }
  ASSERT_TRUE(gzip.ok());
  source->close();
  EXPECT_EQ(heard->lines().size(), 21U) << heard->lines().back();
  EXPECT_NE(server.requests().at(1).header("Accept-Encoding").value_or("").find("gzip"),
            std::string::npos);
}
