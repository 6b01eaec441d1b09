// The router and its APIs on a store of their own, without the server: the
// checks of each request, the page's API, the replay of a stream, and
// bodies nested deep, spread wide or met by a full disk.
#include "Tools/zrl-dashboard/ZRLDashboardEncoding.h"
#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"
#include "Tools/zrl-dashboard/ZRLDashboardMetrics.h"
#include "tests/Dashboard/PostgreSQLTestCluster.h"

namespace {

// Where the plug-in uploads application "a"'s captures, and a capture.
const std::string kUpload = "/v1/api/layout?appId=a";
std::string upload(const std::string& layout, const std::string& image = "") {
  return R"({"screen":{"navigation":"Home")" +
         (image.empty() ? std::string() : R"(,"image":")" + image + "\"") + R"(},"layout":)" +
         layout + R"(,"device_info":{"os":"iOS"}})";
}

TEST(ZRLDashboardEncoding, DecodesQueriesPathsAndBase64) {
  EXPECT_EQ(ZRLDashboardQueryValue("a=1&appId=my%20app+x&appId=2", "appId"), "my app x");
  EXPECT_EQ(ZRLDashboardQueryValue("appIdx=1", "appId"), std::nullopt);
  EXPECT_EQ(ZRLDashboardQueryValue("appId", "appId"), "");
  EXPECT_EQ(ZRLDashboardQueryValue("appId=%4", "appId"), std::nullopt);
  EXPECT_EQ(ZRLDashboardQueryValue("appId=%zz", "appId"), std::nullopt);
  EXPECT_EQ(ZRLDashboardPercentDecoded("a+b%2Fc", false), "a+b/c");
  EXPECT_EQ(ZRLDashboardBase64Decoded("aGVs\r\nbG8="), "hello");
  EXPECT_EQ(ZRLDashboardBase64Decoded("aGVsbA=="), "hell");
  EXPECT_EQ(ZRLDashboardBase64Decoded(""), "");
  EXPECT_EQ(ZRLDashboardBase64Decoded("aGVsbA="), std::nullopt);
  EXPECT_EQ(ZRLDashboardBase64Decoded("a*Vs"), std::nullopt);
}

TEST_P(DashboardRecordsTest, ReplaysWhatAStreamMissedThenHandsItLivePreviewsOnce) {
  ASSERT_EQ(call("POST", "/api/previews?appId=app", R"({"n":1})").status, 200u);
  ASSERT_EQ(call("POST", "/api/previews?appId=other", R"({"n":2})").status, 200u);
  ASSERT_EQ(call("POST", "/api/previews?appId=app", R"({"n":3})").status, 200u);

  auto fresh = std::make_shared<RecordingSink>();
  auto behind = std::make_shared<RecordingSink>();
  router->subscribe("app", std::nullopt, fresh);
  router->subscribe("app", 1, behind);
  EXPECT_EQ(json::parse(call("POST", "/api/previews?appId=other", "{}").body)["delivered"], 0);
  const auto pushed = call("POST", "/api/previews?appId=app", "{\"text\":\"a\\nb\"}");
  EXPECT_EQ(json::parse(pushed.body), (json{{"id", 5}, {"delivered", 2}}));
  EXPECT_EQ(fresh->texts, (std::vector<std::string>{"live id: 5\ndata: {\"text\":\"a\\nb\"}\n\n"}));
  EXPECT_EQ(behind->texts,
            (std::vector<std::string>{"replayed id: 3\ndata: {\"n\":3}\n\n",
                                      "live id: 5\ndata: {\"text\":\"a\\nb\"}\n\n"}));

  // A stream that has gone is no longer counted; closeAll() ends the others
  // and those that come later.
  hub.leave("app", fresh.get());
  EXPECT_EQ(json::parse(call("POST", "/api/previews?appId=app", "{}").body)["delivered"], 1);
  hub.closeAll();
  EXPECT_TRUE(behind->closed);
  auto late = std::make_shared<RecordingSink>();
  router->subscribe("app", std::nullopt, late);
  EXPECT_TRUE(late->closed);
  EXPECT_EQ(hub.streamCount(), 0u);
}

// Two dashboards on one PostgreSQL database, as behind a load balancer: a
// preview pushed through one reaches the streams of both once (the other's
// when it catches up, as its listener has it do), and a stream that comes
// back to either is replayed exactly what it missed.
TEST(ZRLDashboardFanOut, TwoDashboardsOnOneDatabaseHandEveryPreviewToEveryStreamOnce) {
  std::string error;
  const auto uri = PostgreSQLTestCluster::newDatabase(&error);
  ASSERT_TRUE(uri) << error;
  struct Dashboard {
    std::unique_ptr<ZRLDashboardPostgreSQLStore> store;
    ZRLDashboardHub hub;
    std::unique_ptr<ZRLDashboardRouter> router;
    std::shared_ptr<RecordingSink> stream = std::make_shared<RecordingSink>();
    json push(const std::string& config) const {
      return json::parse(
          router->handle(routerRequest("POST", "/api/previews?appId=app", config)).body);
    }
  };
  Dashboard one, two;
  for (Dashboard* dashboard : {&one, &two}) {
    dashboard->store = ZRLDashboardPostgreSQLStore::open(*uri, &error);
    ASSERT_TRUE(dashboard->store) << error;
    dashboard->router = std::make_unique<ZRLDashboardRouter>(
        *dashboard->store, dashboard->hub, ZRLDashboardRouter::Options{"secret", 8443, "", {}});
    dashboard->router->subscribe("app", std::nullopt, dashboard->stream);
  }

  EXPECT_EQ(one.push(R"({"n":1})"), (json{{"id", 1}, {"delivered", 1}}));
  EXPECT_EQ(one.stream->texts, (std::vector<std::string>{"live id: 1\ndata: {\"n\":1}\n\n"}));
  EXPECT_TRUE(two.stream->texts.empty());
  two.router->catchUp();
  two.router->catchUp();  // hands out nothing twice: checked at the end
  EXPECT_EQ(one.store->preview(1).value()->delivered, 2);

  // A device that saw 1 comes back to the second while a push through the
  // first is committed but not yet caught up: 2 reaches it live (not
  // replayed), once.
  auto back = std::make_shared<RecordingSink>();
  EXPECT_EQ(one.push(R"({"n":2})")["delivered"], 1);
  two.router->subscribe("app", 1, back);
  // A push through the second hands out what the first committed before it.
  EXPECT_EQ(two.push(R"({"n":3})"), (json{{"id", 3}, {"delivered", 2}}));
  one.router->catchUp();
  const std::vector<std::string> all = {"live id: 1\ndata: {\"n\":1}\n\n",
                                        "live id: 2\ndata: {\"n\":2}\n\n",
                                        "live id: 3\ndata: {\"n\":3}\n\n"};
  EXPECT_EQ(one.stream->texts, all);
  EXPECT_EQ(two.stream->texts, all);
  EXPECT_EQ(back->texts, std::vector<std::string>(all.begin() + 1, all.end()));
  EXPECT_EQ(one.store->preview(2).value()->delivered, 3);
  EXPECT_EQ(one.store->preview(3).value()->delivered, 3);
}

// GET /metrics: the counts in Prometheus's text format, behind the token;
// an application's name is escaped as a label's value; an identifier in a
// path is no series of its own.
TEST_F(DashboardRouterTest, CountsPushesDeliveriesAndUploadsForMetrics) {
  ZRLDashboardMetrics metrics;
  router->useMetrics(metrics);
  auto stream = std::make_shared<RecordingSink>();
  router->subscribe("a\"b\n", std::nullopt, stream);
  ASSERT_EQ(call("POST", "/api/previews?appId=a%22b%0A", "{}").status, 200u);
  ASSERT_EQ(call("POST", kUpload, upload("[]"), "").status, 200u);
  metrics.requestDone(ZRLDashboardMetrics::endpointOf("/api/captures/17/screenshot.png?x"), 404,
                      std::chrono::milliseconds(3));
  EXPECT_EQ(ZRLDashboardMetrics::endpointOf("/v2/frontendapi/ios/test-devices/D1?appId=a"),
            "/v2/frontendapi/ios/test-devices/{id}");
  EXPECT_EQ(ZRLDashboardMetrics::endpointOf("/../etc"), "other");

  auto withoutToken = routerRequest("GET", "/metrics");
  withoutToken.authorization.clear();
  EXPECT_EQ(router->handle(withoutToken).status, 401u);
  const auto answer = call("GET", "/metrics");
  ASSERT_EQ(answer.status, 200u);
  EXPECT_EQ(answer.contentType, "text/plain; version=0.0.4; charset=utf-8");
  const std::string requests =
      "zrl_dashboard_requests_total{endpoint=\"/api/captures/{id}/screenshot.png\",status=\"404\"} "
      "1\n";
  for (const char* line :
       {"zrl_dashboard_open_streams{app=\"a\\\"b\\n\"} 1\n", "zrl_dashboard_pushes_total 1\n",
        "zrl_dashboard_deliveries_total 1\n", "zrl_dashboard_uploads_total 1\n", requests.c_str(),
        "zrl_dashboard_request_duration_seconds_bucket{le=\"0.0025\"} 0\n",
        "zrl_dashboard_request_duration_seconds_bucket{le=\"0.005\"} 1\n",
        "zrl_dashboard_request_duration_seconds_bucket{le=\"+Inf\"} 1\n",
        "zrl_dashboard_request_duration_seconds_sum 0.003\n",
        "# TYPE zrl_dashboard_push_to_write_seconds histogram\n",
        "zrl_dashboard_database_round_trip_seconds "})
    EXPECT_NE(answer.body.find(line), std::string::npos) << line << answer.body;
}

TEST_F(DashboardRouterTest, RefusesBadInputWithoutStoringIt) {
  struct Case {
    const char* method;
    std::string target;
    std::string body;
    unsigned status;
  };
  const Case cases[] = {
      {"POST", "/api/previews", "{}", 400},
      {"POST", "/api/previews?appId=", "{}", 400},
      {"POST", "/api/previews?appId=a", "{", 400},
      {"POST", "/api/previews?appId=a", "[1]", 400},
      {"PUT", "/api/previews?appId=a", "", 405},
      {"POST", "/api/captures?appId=a", "", 405},
      {"GET", "/api/captures/x", "", 404},
      {"GET", "/api/captures/7", "", 404},
      {"GET", "/api/captures/7/screenshot.png", "", 404},
      {"GET", "/api/else", "", 404},
      {"GET", "/%FF", "", 404},  // named in the answer, as U+FFFD
      {"GET", kUpload, "", 405},
      {"POST", "/v1/api/layout", "{}", 400},
      {"POST", kUpload, "not json", 400},
      {"POST", kUpload, R"({"layout":[],"device_info":{}})", 400},
      {"POST", kUpload, R"({"screen":{},"layout":{},"device_info":{}})", 400},
      {"POST", kUpload, R"({"screen":{},"layout":[]})", 400},
      {"POST", kUpload, R"({"screen":{"image":"aGVsbG8="},"layout":[],"device_info":{}})", 400},
      {"POST", kUpload, R"({"screen":{"image":"!!"},"layout":[],"device_info":{}})", 400},
      {"POST", kUpload, R"({"screen":{"navigation":3},"layout":[],"device_info":{}})", 400},
      {"POST", "/v1/api/sse-ui-config?appId=a", "", 405},
      {"GET", "/v1/api/sse-ui-config", "", 400},
      {"DELETE", "/v2/frontendapi/ios/test-devices?appId=a", "", 405},
      {"POST", "/v2/frontendapi/ios/test-devices/D1?appId=a", "", 405},
      {"DELETE", "/v2/frontendapi/ios/test-devices/D1?appId=a", "", 401},
  };
  for (const auto& c : cases) {
    const auto answer = call(c.method, c.target, c.body);
    EXPECT_EQ(answer.status, c.status) << c.method << " " << c.target << " " << c.body;
    EXPECT_TRUE(json::parse(answer.body, nullptr, false).contains("error")) << answer.body;
  }
  EXPECT_EQ(store->captures("a")->size(), 0u);
  EXPECT_EQ(store->previewsAfter("a", 0)->size(), 0u);

  // An upload without the optional keys is stored, its screen null.
  EXPECT_EQ(
      call("POST", kUpload, R"({"screen":{"orientation":"portrait"},"layout":[],"device_info":{}})")
          .status,
      200u);
  const auto listed = json::parse(call("GET", "/api/captures?appId=a").body);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_TRUE(listed[0]["screen"].is_null());
  EXPECT_EQ(listed[0]["time"].get<std::string>().size(), 20u);  // 2026-01-01T00:00:00Z
}

TEST_F(DashboardRouterTest, ChecksTokenHostOriginAndThePluginsKey) {
  struct Case {
    const char* host;
    const char* authorization;
    const char* cookie;
    const char* origin;
    unsigned status;
  };
  const Case cases[] = {
      {"127.0.0.1:8443", "", "", "", 401},
      {"127.0.0.1:8443", "Bearer wrong", "", "", 401},
      {"127.0.0.1:8443", "bearer secret", "", "", 200},
      {"127.0.0.1:8443", "", "a=b; zrl_dashboard_token=secret", "", 200},
      {"LocalHost:8443", "", "zrl_dashboard_token=secret", "", 200},
      {"127.0.0.1:8444", "Bearer secret", "", "", 400},
      {"127.0.0.1", "Bearer secret", "", "", 400},
      {"attacker.example:8443", "Bearer secret", "", "", 400},
      {"", "Bearer secret", "", "", 400},
      {"localhost:8443", "Bearer secret", "", "https://attacker.example", 401},
      {"localhost:8443", "Bearer secret", "", "https://localhost:8443", 200},
  };
  // Behind a load balancer the page comes under its public names, with
  // any port or none.
  const Case behindBalancer[] = {
      {"Dash.Example", "Bearer secret", "", "https://dash.example:8000", 200},
      {"dash.example:443", "Bearer secret", "", "", 200},
      {"dash.example.attacker:443", "Bearer secret", "", "", 400},
      {"127.0.0.1:8443", "Bearer secret", "", "https://dash.example.attacker", 401},
  };
  ZRLDashboardRouter balanced(*store, hub, {"secret", 8443, folder.path(), {"dash.example"}});
  const auto check = [](ZRLDashboardRouter& routes, const std::string& target, const Case& c) {
    auto request = routerRequest("GET", target);
    request.host = c.host;
    request.authorization = c.authorization;
    request.cookie = c.cookie;
    request.origin = c.origin;
    auto answer = routes.handle(request);
    EXPECT_EQ(answer.status, c.status) << target << " " << c.host << " " << c.origin;
    return answer;
  };
  for (const auto& c : cases)
    check(*router, "/api/test-devices?appId=a", c);
  for (const auto& c : behindBalancer)
    check(balanced, "/api/test-devices?appId=a", c);
  // The balancer's check needs neither.
  EXPECT_EQ(check(*router, "/healthz", {"", "", "", "", 200}).body, R"({"database":"ok"})");
  // The first visit trades ?token= for a cookie.
  check(*router, "/?token=wrong", {"127.0.0.1:8443", "", "", "", 401});
  const auto redirect = check(*router, "/?token=secret", {"127.0.0.1:8443", "", "", "", 303});
  ASSERT_EQ(redirect.headers.size(), 2u);
  EXPECT_EQ(redirect.headers[1].second.rfind("zrl_dashboard_token=secret;", 0), 0u);

  // The plug-in's endpoints take neither token nor Host check, but the
  // test-device ones need the key.
  const std::string devices = "/v2/frontendapi/ios/test-devices?appId=a";
  const std::string body = R"({"id":"D 1","model":"iPhone"})";
  EXPECT_EQ(call("POST", devices, body).status, 401u);
  EXPECT_EQ(call("POST", devices, body, std::string(kPluginKey).substr(1)).status, 401u);
  EXPECT_EQ(call("POST", devices, R"({"id":"","model":"iPhone"})", kPluginKey).status, 400u);
  EXPECT_EQ(call("POST", devices, body, kPluginKey).status, 200u);
  ASSERT_EQ(store->testDevices("a")->size(), 1u);
  EXPECT_EQ(call("DELETE", "/v2/frontendapi/ios/test-devices/D%201?appId=a", "", kPluginKey).status,
            200u);
  EXPECT_EQ(store->testDevices("a")->size(), 0u);
}

// The page's API beyond what the page's browser test shows (the
// applications, the page's events, the history on screen): captures a page
// at a time, deletions that find nothing, a push again, and the history's
// fields.
TEST_P(DashboardRecordsTest, ServesThePageCapturesAPageAtATimeAndItsHistory) {
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(call("POST", kUpload, upload("[]", "iVBORw0KGgo=")).status, 200u);
  const auto png = call("GET", "/api/captures/1/screenshot.png");
  EXPECT_EQ(png.contentType + " " + png.body, "image/png \x89PNG\r\n\x1a\n");
  const auto ids = [&](const std::string& target) {
    std::vector<int> list;
    for (const auto& capture : json::parse(call("GET", target).body))
      list.push_back(capture["id"]);
    return list;
  };
  EXPECT_EQ(ids("/api/captures?appId=a&limit=2"), (std::vector<int>{3, 2}));
  EXPECT_EQ(ids("/api/captures?appId=a&before=2&limit=2"), (std::vector<int>{1}));
  for (const char* bad : {"limit=0", "limit=501", "limit=x", "before=-1"})
    EXPECT_EQ(call("GET", std::string("/api/captures?appId=a&") + bad).status, 400u) << bad;

  EXPECT_EQ(call("DELETE", "/api/captures/2").status, 200u);
  EXPECT_EQ(call("DELETE", "/api/captures/2").status, 404u);
  EXPECT_EQ(ids("/api/captures?appId=a"), (std::vector<int>{3, 1}));
  EXPECT_EQ(call("DELETE", "/api/test-devices/D%2F1?appId=a").status, 404u);
  EXPECT_EQ(call("DELETE", "/api/test-devices/D1").status, 400u);

  const std::string coach =
      R"({"ui":{"display_type":"coach_mark","view_id":"V","title":"T","text":7}})";
  ASSERT_EQ(call("POST", "/api/previews?appId=c", coach).status, 200u);
  EXPECT_EQ(json::parse(call("POST", "/api/previews/1/push").body),
            (json{{"id", 2}, {"delivered", 0}}));
  EXPECT_EQ(call("POST", "/api/previews/9/push").status, 404u);
  EXPECT_EQ(call("GET", "/api/previews/1/push").status, 405u);
  auto history = json::parse(call("GET", "/api/previews?appId=c").body);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0]["id"], 2);
  history[1].erase("time");
  EXPECT_EQ(history[1], (json{{"id", 1},
                              {"delivered", 0},
                              {"config", json::parse(coach)},
                              {"display_type", "coach_mark"},
                              {"view_id", "V"},
                              {"title", "T"},
                              {"text", nullptr}}));
}

TEST_P(DashboardRecordsTest, StoresDeepAndWideBodiesAsSentAndRefusesDeeperThanTheLimit) {
  // Views 2,000 deep are stored, and served back as the device sent them.
  std::string deep = "[";
  for (int i = 0; i < 2000; ++i)
    deep += R"({"id":"v)" + std::to_string(i) + R"(","bounds":{"top":0},"views":[)";
  for (int i = 0; i < 2000; ++i)
    deep += "]}";
  deep += "]";
  ASSERT_EQ(call("POST", kUpload, upload(deep)).status, 200u);
  const auto details = call("GET", "/api/captures/1");
  EXPECT_NE(details.body.find(",\"layout\":" + deep + ",\"device_info\":{\"os\":\"iOS\"}}"),
            std::string::npos);
  EXPECT_TRUE(json::accept(details.body));

  // One level past the limit is refused with a message that names it,
  // whatever the endpoint; nothing is stored.
  const size_t over = ZRLDashboardJSON::kMaximumDepth;  // the body adds one level
  const std::string tooDeep = std::string(over, '[') + std::string(over, ']');
  const std::string within = tooDeep.substr(1, tooDeep.size() - 2);
  EXPECT_EQ(call("POST", kUpload, upload(within)).status, 200u);
  for (const auto& answer : {call("POST", kUpload, upload(tooDeep)),
                             call("POST", "/api/previews?appId=a", R"({"ui":)" + tooDeep + "}"),
                             call("POST", "/v2/frontendapi/ios/test-devices?appId=a",
                                  R"({"id":"D1","model":"m","x":)" + tooDeep + "}", kPluginKey)}) {
    EXPECT_EQ(answer.status, 400u);
    EXPECT_NE(json::parse(answer.body)["error"].get<std::string>().find("4096"), std::string::npos)
        << answer.body;
  }
  EXPECT_EQ(store->captures("a")->size(), 2u);
  EXPECT_TRUE(store->previewsAfter("a", 0)->empty());
  EXPECT_TRUE(store->testDevices("a")->empty());

  // A million elements wide: stored, served and pushed on one data line,
  // white space and all; of two members with one name the last counts.
  auto sink = std::make_shared<RecordingSink>();
  router->subscribe("a", std::nullopt, sink);
  std::string wide = "[0";
  std::string compact = "{\"w\":[0";
  for (int i = 1; i < 1000000; ++i) {
    wide += ",\n 0";
    compact += ",0";
  }
  wide += "]";
  const auto stored =
      call("POST", kUpload, R"({"layout":{},"screen":{},"device_info":{},"layout":)" + wide + "}");
  ASSERT_EQ(stored.status, 200u) << stored.body;
  EXPECT_EQ((*store->capture(3))->layout, wide);
  ASSERT_EQ(call("POST", "/api/previews?appId=a", "{\"w\":\r\n" + wide + "\n}").status, 200u);
  ASSERT_EQ(sink->texts.size(), 1u);
  EXPECT_EQ(sink->texts[0], "live id: 1\ndata: " + compact + "]}\n\n");
}

TEST_F(DashboardRouterTest, AFullDatabaseRefusesWritesWith507UntilThereIsRoomAndLosesNothing) {
  { std::ofstream(path("index.html")) << "<!doctype html>"; }
  auto sink = std::make_shared<RecordingSink>();
  router->subscribe("a", std::nullopt, sink);
  const std::string large = upload("[\"" + std::string(300000, 'x') + "\"]");
  const std::string preview = json{{"pad", std::string(100000, 'x')}}.dump();
  ASSERT_EQ(call("POST", kUpload, large).status, 200u);
  ASSERT_EQ(call("POST", "/api/previews?appId=a", preview).status, 200u);

  // As full as the file is now.
  auto& sqlite = static_cast<ZRLDashboardSQLiteStore&>(*store);
  ASSERT_TRUE(sqlite.limitPages(1));
  for (const auto& answer :
       {call("POST", kUpload, large), call("POST", "/api/previews?appId=a", preview)}) {
    EXPECT_EQ(answer.status, 507u);
    EXPECT_EQ(json::parse(answer.body)["error"].get<std::string>().rfind("storage full: ", 0), 0u)
        << answer.body;
  }
  // Reads, the page and the streams go on.
  EXPECT_NE(call("GET", "/api/captures/1").body.find(std::string(300000, 'x')), std::string::npos);
  EXPECT_EQ(call("GET", "/").status, 200u);
  auto late = std::make_shared<RecordingSink>();
  router->subscribe("a", 0, late);
  EXPECT_EQ(late->texts.size(), 1u);

  // With room again, writes work without a restart, and nothing answered
  // 200 is missing.
  ASSERT_TRUE(sqlite.limitPages(1 << 30));
  EXPECT_EQ(json::parse(call("POST", kUpload, large).body)["id"], 2);
  EXPECT_EQ(json::parse(call("POST", "/api/previews?appId=a", preview).body)["id"], 2);
  EXPECT_EQ(sink->texts.size(), 2u);
  router.reset();
  store.reset();
  std::string error;
  store = ZRLDashboardSQLiteStore::open(path("db.sqlite"), &error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->captures("a")->size(), 2u);
  EXPECT_EQ(store->previewsAfter("a", 0)->size(), 2u);
}

}  // namespace
