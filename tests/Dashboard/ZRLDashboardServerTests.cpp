// The server in this process, with short time-outs and a small stream
// queue, driven over real HTTPS.
#include <future>
#include <thread>

#include "Tools/zrl-dashboard/ZRLDashboardCertificate.h"
#include "Tools/zrl-dashboard/ZRLDashboardServer.h"
#include "tests/Dashboard/DashboardTestSupport.h"

namespace {

// A router that holds each event stream's request until the test lets it go.
class HeldRouter : public ZRLDashboardRouter {
 public:
  using ZRLDashboardRouter::ZRLDashboardRouter;
  ZRLDashboardResponse handle(const ZRLDashboardRequest& request) override {
    if (request.target.starts_with("/v1/api/sse-ui-config")) {
      routing.set_value();
      released.wait();
    }
    return ZRLDashboardRouter::handle(request);
  }
  std::promise<void> routing;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
};

// The server in a thread of its own, with short time-outs and a small
// stream queue; its read time-out (how long it waits for a client's bytes,
// TLS handshakes included) in seconds, its cap on connections (0: none), and
// its router as given.
template <int ReadTimeoutSeconds, size_t MaximumConnections = 0,
          typename Router = ZRLDashboardRouter>
class ServedDashboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    const auto files = ZRLDashboardCertificate::loadOrCreate(folder.path(), &error);
    ASSERT_TRUE(files) << error;
    authority = files->authorityFile();
    store = ZRLDashboardSQLiteStore::open(folder.path() + "/db.sqlite", &error);
    ASSERT_TRUE(store) << error;
    ZRLDashboardServer::Options options;
    options.certificateChainFile = files->chainFile();
    options.keyFile = files->keyFile();
    options.readTimeout = std::chrono::seconds(ReadTimeoutSeconds);
    options.writeTimeout = std::chrono::seconds(60);
    options.streamQueueLimit = 8;
    options.keepAliveInterval = std::chrono::milliseconds(200);
    options.maximumConnections = MaximumConnections;
    server = ZRLDashboardServer::make(options, &error);
    ASSERT_TRUE(server) << error;
    origin = "https://127.0.0.1:" + std::to_string(server->port());
    router = std::make_unique<Router>(
        *store, hub, ZRLDashboardRouter::Options{"t0k3n", server->port(), folder.path(), {}});
    serving = std::thread([this] { server->run(*router, hub); });
  }
  void TearDown() override {
    if (server) server->stop();
    if (serving.joinable()) serving.join();
  }

  HTTPAnswer api(const std::string& method, const std::string& target,
                 const std::optional<std::string>& body = std::nullopt) {
    return httpsRequest(origin + target, authority, method, {"Authorization: Bearer t0k3n"}, body);
  }

  TemporaryDirectory folder;
  std::string authority;
  std::string origin;
  std::unique_ptr<ZRLDashboardStore> store;
  ZRLDashboardHub hub;
  std::unique_ptr<ZRLDashboardServer> server;
  std::unique_ptr<Router> router;
  std::thread serving;
};
// A read time-out generous enough that no handshake under a sanitizer on a
// busy machine runs into it, but for the tests of slow senders.
using DashboardServerTest = ServedDashboardTest<20>;
using DashboardSlowSenderTest = ServedDashboardTest<2>;
using DashboardConnectionCapTest = ServedDashboardTest<20, 2>;
using DashboardHeldRouterTest = ServedDashboardTest<20, 0, HeldRouter>;

// (The page's browser test stores an upload and shows its screenshot.) A
// body too large is refused from its head; a client that asks whether to
// send its body is told to go on.
TEST_F(DashboardServerTest, AnswersABodysHeadBeforeTheBody) {
  const auto huge = httpsRequest(origin + "/v1/api/layout?appId=a", authority, "POST", {},
                                 std::string(kZRLDashboardMaximumBodyBytes + 1, ' '));
  EXPECT_EQ(huge.status, 413) << huge.failure;
  EXPECT_EQ(api("GET", "/api/captures?appId=a").body, "[]");

  RawTLSClient client(server->port(), authority);
  const std::string body = R"({"ui":{"display_type":"inline"}})";
  ASSERT_TRUE(client.write(
      "POST /api/previews?appId=a HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) +
      "\r\nAuthorization: Bearer t0k3n\r\nExpect: 100-continue\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n"));
  ASSERT_TRUE(client.readUntil("HTTP/1.1 100 Continue\r\n\r\n"));
  ASSERT_TRUE(client.write(body));
  ASSERT_TRUE(client.readUntil("{\"delivered\":0,\"id\":1}"));
  EXPECT_NE(client.received().find("HTTP/1.1 200 OK\r\n"), std::string::npos);
}

TEST_F(DashboardSlowSenderTest, CutsOffClientsThatSendTooSlowly) {
  RawTLSClient silent(server->port(), authority, false);  // no handshake at all
  ASSERT_TRUE(silent.connected());
  RawTLSClient halfHead(server->port(), authority);
  ASSERT_TRUE(halfHead.write("GET /api/captures?appId=a HTTP/1.1\r\nHost: 127.0.0.1"));
  RawTLSClient halfBody(server->port(), authority);
  ASSERT_TRUE(halfBody.write(
      "POST /api/previews?appId=a HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{"));
  EXPECT_TRUE(silent.endsByServer());
  EXPECT_TRUE(halfHead.endsByServer());
  EXPECT_TRUE(halfBody.endsByServer());
  EXPECT_EQ(halfBody.received(), "");
  // Nothing was pushed: the next preview is the first.
  EXPECT_EQ(json::parse(api("POST", "/api/previews?appId=a", "{}").body)["id"], 1);
}

TEST_F(DashboardServerTest, ASlowReaderIsCutOffWithoutHoldingUpTheOthers) {
  RawTLSClient slow(server->port(), authority);
  ASSERT_TRUE(slow.write(kStreamRequest));
  ASSERT_TRUE(slow.readUntil("\r\n\r\n"));
  EXPECT_NE(slow.received().find("text/event-stream"), std::string::npos);

  // The fast reader takes everything as it comes, on a thread of its own.
  RawTLSClient fast(server->port(), authority);
  ASSERT_TRUE(fast.write(kStreamRequest));
  ASSERT_TRUE(fast.readUntil("\r\n\r\n"));
  std::thread reader([&] { fast.endsByServer(); });

  // Large previews fill the slow reader's socket buffers, then its queue.
  const std::string large =
      json{{"ui", {{"display_type", "inline"}}}, {"padding", std::string(size_t{256} * 1024, 'x')}}
          .dump();
  json result = {{"delivered", 2}};
  int pushes = 0;
  for (; result["delivered"] == 2 && pushes < 400; ++pushes) {
    const auto answer = api("POST", "/api/previews?appId=app", large);
    if (answer.status != 200) {  // not ASSERT: the reader thread must be joined
      ADD_FAILURE() << "push " << pushes << ": " << answer.status << " " << answer.failure;
      break;
    }
    result = json::parse(answer.body);
  }
  EXPECT_EQ(result["delivered"], 1) << "after " << pushes << " pushes";
  EXPECT_TRUE(slow.endsByServer());
  server->stop();  // ends the fast stream too, so that its reader returns
  reader.join();
  // The fast reader got every preview up to the last, and a proper end.
  EXPECT_NE(fast.received().find("id: " + result["id"].dump() + "\n"), std::string::npos);
  EXPECT_NE(fast.received().find("\r\n0\r\n\r\n"), std::string::npos);
}

TEST_F(DashboardConnectionCapTest, AnswersOneConnectionPastTheCapWith503AndClosesIt) {
  RawTLSClient first(server->port(), authority);
  ASSERT_TRUE(first.write(kStreamRequest));
  // A keep-alive comment line as its own chunk, without a blank line.
  ASSERT_TRUE(first.readUntil("\r\n2\r\n:\n\r\n"));
  {
    RawTLSClient second(server->port(), authority);
    ASSERT_TRUE(second.write(kStreamRequest));
    ASSERT_TRUE(second.readUntil("\r\n\r\n"));
    RawTLSClient third(server->port(), authority);
    ASSERT_TRUE(third.write(kStreamRequest));
    EXPECT_TRUE(third.endsByServer());
    EXPECT_EQ(third.received().rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u)
        << third.received();
    EXPECT_NE(third.received().find("at most 2 connections"), std::string::npos);
  }
  // Once a connection has closed, the server takes another, and the open
  // stream was never disturbed.
  EXPECT_TRUE(eventually([&] { return api("GET", "/api/captures?appId=a").status == 200; }));
  EXPECT_EQ(json::parse(api("POST", "/api/previews?appId=app", R"({"n":1})").body)["delivered"], 1);
  EXPECT_TRUE(first.readUntil("id: 1\ndata: {\"n\":1}\n\n"));
}

TEST_F(DashboardHeldRouterTest, AStreamClosedWhileItsFirstRequestIsRoutedEndsCleanly) {
  auto routing = router->routing.get_future();
  RawTLSClient client(server->port(), authority);
  ASSERT_TRUE(client.write(kStreamRequest));
  ASSERT_EQ(routing.wait_for(kToolPatience), std::future_status::ready);
  server->stop();
  EXPECT_TRUE(client.endsByServer());
  router->release.set_value();
  serving.join();
  EXPECT_EQ(client.received(), "");
  EXPECT_EQ(hub.streamCount(), 0u);
}

}  // namespace
