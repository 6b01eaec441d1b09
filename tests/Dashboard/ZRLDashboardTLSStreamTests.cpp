// The dashboard's TLS stream on its own: a connection accepted in the test,
// the stream's calls made on its strand, a raw TLS client on the other end.
#include <sys/ioctl.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include <functional>
#include <future>
#include <thread>

#include "Tools/zrl-dashboard/ZRLDashboardCertificate.h"
#include "Tools/zrl-dashboard/ZRLDashboardTLSStream.h"
#include "tests/Dashboard/DashboardTestSupport.h"

namespace net = boost::asio;
using tcp = net::ip::tcp;
using Result = std::pair<boost::system::error_code, size_t>;

namespace {

class DashboardTLSStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    const auto files = ZRLDashboardCertificate::loadOrCreate(folder.path(), &error);
    ASSERT_TRUE(files) << error;
    ASSERT_EQ(SSL_CTX_use_certificate_chain_file(context, files->chainFile().c_str()), 1);
    ASSERT_EQ(SSL_CTX_use_PrivateKey_file(context, files->keyFile().c_str(), SSL_FILETYPE_PEM), 1);
    acceptor.open(tcp::v4());
    acceptor.bind({net::ip::make_address_v4("127.0.0.1"), 0});
    acceptor.listen();
    running = std::thread([this] { io.run(); });
    // A client connected, and the server's stream of its connection after
    // both handshakes.
    client = std::make_unique<RawTLSClient>(acceptor.local_endpoint().port(),
                                            files->authorityFile(), false);
    ASSERT_TRUE(client->connected());
    tcp::socket socket(net::make_strand(io));
    acceptor.accept(socket);
    stream = std::make_unique<ZRLDashboardTLSStream>(std::move(socket), context);
    Outcome accepted;
    onStrand([&] { stream->async_handshake(accepted.handler()); });
    ASSERT_TRUE(client->handshake());
    ASSERT_FALSE(accepted.get().first);
  }
  void TearDown() override {
    io.stop();
    running.join();
    stream.reset();
    SSL_CTX_free(context);
  }

  // The outcome of one operation on the stream.
  struct Outcome {
    std::shared_ptr<std::promise<Result>> promise = std::make_shared<std::promise<Result>>();
    std::future<Result> future = promise->get_future();
    std::function<void(boost::system::error_code, size_t)> handler() const {
      return [promise = promise](boost::system::error_code error, size_t bytes) {
        promise->set_value({error, bytes});
      };
    }
    Result get() {
      if (future.wait_for(kToolPatience) != std::future_status::ready)
        return {net::error::timed_out, 0};
      return future.get();
    }
  };
  // The stream's calls are made on its strand.
  void onStrand(std::function<void()> calls) {
    net::post(stream->get_executor(), std::move(calls));
  }

  // Fills the kernel's buffers between the server and the client, which
  // reads nothing, so that the stream's next write has to wait.
  void fillTheWay() {
    const std::string bytes(65536, 'x');
    const int fd = stream->socket().native_handle();
    while (::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT) > 0) {
    }
  }

  TemporaryDirectory folder;
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  net::io_context io;
  net::executor_work_guard<net::io_context::executor_type> work{io.get_executor()};
  tcp::acceptor acceptor{io};
  std::thread running;
  std::unique_ptr<RawTLSClient> client;
  std::unique_ptr<ZRLDashboardTLSStream> stream;
  char buffer[64] = {};
};

TEST_F(DashboardTLSStreamTest, APeerThatStopsReadingFailsTheWriteAtTheDeadline) {
  fillTheWay();
  const std::string large(size_t{1} << 20, 'y');
  Outcome written;
  onStrand([&] {
    stream->expiresAfter(std::chrono::milliseconds(300));
    net::async_write(*stream, net::buffer(large), written.handler());
  });
  const Result result = written.get();
  EXPECT_EQ(result.first, boost::beast::error::timeout);
  EXPECT_LT(result.second, large.size());
}

TEST_F(DashboardTLSStreamTest, ClosingTheSocketEndsAPendingReadAndWriteAndOpenSSLLetsItsNumberBe) {
  fillTheWay();
  Outcome read;
  Outcome written;
  Outcome closed;
  onStrand([&] {
    stream->async_read_some(net::buffer(buffer), read.handler());
    stream->async_write_some(net::buffer("z", 1), written.handler());
    // After the operations' first tries: both wait on the socket.
    onStrand([&, done = closed.handler()] {
      stream->socket().close();
      done({}, 0);
    });
  });
  ASSERT_FALSE(closed.get().first);
  EXPECT_EQ(written.get().first, net::error::operation_aborted);
  EXPECT_EQ(read.get().first, net::error::operation_aborted);

  // The descriptor's number goes to the next socket made; a read started
  // now must not take that socket's bytes.
  int pair[2] = {-1, -1};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_EQ(::send(pair[1], "other", 5, 0), 5);
  Outcome late;
  onStrand([&] { stream->async_read_some(net::buffer(buffer), late.handler()); });
  EXPECT_EQ(late.get().first, net::error::bad_descriptor);
  int waiting = 0;
  EXPECT_EQ(::ioctl(pair[0], FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 5);
  ::close(pair[0]);
  ::close(pair[1]);
}

TEST_F(DashboardTLSStreamTest, KeyUpdatesGoBothWays) {
  // The client updates its keys and asks the server to update its own.
  ASSERT_EQ(SSL_key_update(client->ssl(), SSL_KEY_UPDATE_REQUESTED), 1);
  ASSERT_TRUE(client->write("ping"));
  Outcome read;
  onStrand([&] { stream->async_read_some(net::buffer(buffer), read.handler()); });
  ASSERT_EQ(read.get(), Result({}, 4));
  EXPECT_EQ(std::string(buffer, 4), "ping");
  // The server does the same.
  Outcome written;
  onStrand([&] {
    SSL_key_update(stream->nativeHandle(), SSL_KEY_UPDATE_REQUESTED);
    net::async_write(*stream, net::buffer("pong", 4), written.handler());
  });
  ASSERT_EQ(written.get(), Result({}, 4));
  ASSERT_TRUE(client->readUntil("pong"));
  ASSERT_TRUE(client->write("again"));
  Outcome again;
  onStrand([&] { stream->async_read_some(net::buffer(buffer), again.handler()); });
  ASSERT_EQ(again.get(), Result({}, 5));
  EXPECT_EQ(std::string(buffer, 5), "again");
}

}  // namespace
