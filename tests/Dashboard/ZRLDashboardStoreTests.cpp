#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardEncoding.h"
#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"
#include "Tools/zrl-dashboard/ZRLDashboardStore.h"
#include "tests/Platform/NetTestSupport.h"

using json = nlohmann::json;

namespace {

// A file in a folder of the test's own.
class Folder : public TemporaryDirectory {
 public:
  std::string file(const std::string& name) const { return path() + "/" + name; }
};

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

TEST(ZRLDashboardStore, KeepsRecordsAcrossReopeningAndRefusesANewerSchema) {
  Folder folder;
  const std::string path = folder.file("db.sqlite");
  std::string error;
  {
    auto store = ZRLDashboardStore::open(path, &error);
    ASSERT_TRUE(store) << error;
    ZRLDashboardStore::Capture capture{0,    "app", std::nullopt, "2026-01-01T00:00:00Z",
                                       "[]", "{}",  std::nullopt};
    EXPECT_EQ(store->addCapture(capture), 1);
    capture.screen = "Home";
    capture.image = "aW1n";
    EXPECT_EQ(store->addCapture(capture), 2);
    EXPECT_TRUE(store->addTestDevice("app", "D1", "iPhone1"));
    EXPECT_TRUE(store->addTestDevice("app", "D1", "iPhone2"));  // updated, not doubled
    EXPECT_EQ(store->addPreview("app", "{\"a\":1}"), 1);
    EXPECT_EQ(store->addPreview("other", "{\"b\":2}"), 2);
    EXPECT_EQ(store->addPreview("app", "{\"c\":3}"), 3);
  }
  auto store = ZRLDashboardStore::open(path, &error);
  ASSERT_TRUE(store) << error;
  const auto captures = store->captures("app");
  ASSERT_TRUE(captures);
  ASSERT_EQ(captures->size(), 2u);
  EXPECT_EQ((*captures)[0].id, 2);  // newest first
  EXPECT_EQ((*captures)[0].screen, "Home");
  EXPECT_EQ((*captures)[1].screen, std::nullopt);
  const auto second = store->capture(2);
  ASSERT_TRUE(second && *second);
  EXPECT_EQ((*second)->image, "aW1n");
  EXPECT_EQ((*second)->layout, "[]");
  const auto missing = store->capture(9);
  ASSERT_TRUE(missing);  // the lookup worked
  EXPECT_FALSE(*missing);
  const auto devices = store->testDevices("app");
  ASSERT_TRUE(devices);
  ASSERT_EQ(devices->size(), 1u);
  EXPECT_EQ((*devices)[0].model, "iPhone2");
  EXPECT_EQ(store->removeTestDevice("app", "D1"), true);
  EXPECT_EQ(store->removeTestDevice("app", "D1"), false);
  const auto after = store->previewsAfter("app", 1);
  ASSERT_TRUE(after);
  ASSERT_EQ(after->size(), 1u);
  EXPECT_EQ((*after)[0].id, 3);
  EXPECT_EQ((*after)[0].config, "{\"c\":3}");
  ASSERT_EQ(store->previewsAfter("app", 0)->size(), 2u);
  store.reset();

  // A file written by a newer program is left alone.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  EXPECT_FALSE(ZRLDashboardStore::open(path, &error));
  EXPECT_NE(error.find("newer"), std::string::npos) << error;
  EXPECT_FALSE(ZRLDashboardStore::open(folder.file("missing/db.sqlite"), &error));
}

TEST(ZRLDashboardRouter, DecodesQueriesPathsAndBase64) {
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

class DashboardRouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store = ZRLDashboardStore::open(folder.file("db.sqlite"), &error);
    ASSERT_TRUE(store) << error;
    router = std::make_unique<ZRLDashboardRouter>(
        *store, hub, ZRLDashboardRouter::Options{"secret", 8443, folder.file("")});
  }
  ZRLDashboardResponse api(const std::string& method, const std::string& target,
                           const std::string& body = "") {
    ZRLDashboardRequest request;
    request.method = method;
    request.target = target;
    request.host = "127.0.0.1:8443";
    request.authorization = "Bearer secret";
    request.body = body;
    return router->handle(request);
  }

  Folder folder;
  std::unique_ptr<ZRLDashboardStore> store;
  ZRLDashboardHub hub;
  std::unique_ptr<ZRLDashboardRouter> router;
};

TEST_F(DashboardRouterTest, ReplaysWhatAStreamMissedThenHandsItLivePreviewsOnce) {
  ASSERT_EQ(api("POST", "/api/previews?appId=app", R"({"n":1})").status, 200u);
  ASSERT_EQ(api("POST", "/api/previews?appId=other", R"({"n":2})").status, 200u);
  ASSERT_EQ(api("POST", "/api/previews?appId=app", R"({"n":3})").status, 200u);

  auto fresh = std::make_shared<RecordingSink>();
  auto behind = std::make_shared<RecordingSink>();
  router->subscribe("app", std::nullopt, fresh);
  router->subscribe("app", 1, behind);
  const auto pushed = api("POST", "/api/previews?appId=app", "{\"text\":\"a\\nb\"}");
  EXPECT_EQ(json::parse(pushed.body), (json{{"id", 4}, {"delivered", 2}}));
  EXPECT_EQ(fresh->texts, (std::vector<std::string>{"live id: 4\ndata: {\"text\":\"a\\nb\"}\n\n"}));
  EXPECT_EQ(behind->texts,
            (std::vector<std::string>{"replayed id: 3\ndata: {\"n\":3}\n\n",
                                      "live id: 4\ndata: {\"text\":\"a\\nb\"}\n\n"}));

  // A stream that has gone is no longer counted; closeAll() ends the others
  // and those that come later.
  hub.leave("app", fresh.get());
  EXPECT_EQ(json::parse(api("POST", "/api/previews?appId=app", "{}").body)["delivered"], 1);
  hub.closeAll();
  EXPECT_TRUE(behind->closed);
  auto late = std::make_shared<RecordingSink>();
  router->subscribe("app", std::nullopt, late);
  EXPECT_TRUE(late->closed);
  EXPECT_EQ(hub.streamCount(), 0u);
}

TEST_F(DashboardRouterTest, RefusesBadInputWithoutStoringIt) {
  struct Case {
    const char* method;
    const char* target;
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
      {"GET", "/v1/api/layout?appId=a", "", 405},
      {"POST", "/v1/api/layout", "{}", 400},
      {"POST", "/v1/api/layout?appId=a", "not json", 400},
      {"POST", "/v1/api/layout?appId=a", R"({"layout":[],"device_info":{}})", 400},
      {"POST", "/v1/api/layout?appId=a", R"({"screen":{},"layout":{},"device_info":{}})", 400},
      {"POST", "/v1/api/layout?appId=a", R"({"screen":{},"layout":[]})", 400},
      {"POST", "/v1/api/layout?appId=a",
       R"({"screen":{"image":"aGVsbG8="},"layout":[],"device_info":{}})", 400},
      {"POST", "/v1/api/layout?appId=a",
       R"({"screen":{"image":"!!"},"layout":[],"device_info":{}})", 400},
      {"POST", "/v1/api/layout?appId=a",
       R"({"screen":{"navigation":3},"layout":[],"device_info":{}})", 400},
      {"POST", "/v1/api/sse-ui-config?appId=a", "", 405},
      {"GET", "/v1/api/sse-ui-config", "", 400},
      {"DELETE", "/v2/frontendapi/ios/test-devices?appId=a", "", 405},
      {"POST", "/v2/frontendapi/ios/test-devices/D1?appId=a", "", 405},
      {"DELETE", "/v2/frontendapi/ios/test-devices/D1?appId=a", "", 401},
  };
  for (const auto& c : cases) {
    const auto answer = api(c.method, c.target, c.body);
    EXPECT_EQ(answer.status, c.status) << c.method << " " << c.target << " " << c.body;
    EXPECT_TRUE(json::parse(answer.body, nullptr, false).contains("error")) << answer.body;
  }
  EXPECT_EQ(store->captures("a")->size(), 0u);
  EXPECT_EQ(store->previewsAfter("a", 0)->size(), 0u);

  // An upload without the optional keys is stored, its screen null.
  const auto minimal = api("POST", "/v1/api/layout?appId=a",
                           R"({"screen":{"orientation":"portrait"},"layout":[],"device_info":{}})");
  EXPECT_EQ(minimal.status, 200u);
  const auto listed = json::parse(api("GET", "/api/captures?appId=a").body);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_TRUE(listed[0]["screen"].is_null());
  EXPECT_EQ(listed[0]["time"].get<std::string>().size(), 20u);  // 2026-01-01T00:00:00Z
}

TEST_F(DashboardRouterTest, ChecksTokenHostAndOrigin) {
  ZRLDashboardRequest request;
  request.method = "GET";
  request.target = "/api/test-devices?appId=a";
  request.host = "127.0.0.1:8443";
  EXPECT_EQ(router->handle(request).status, 401u);
  request.authorization = "Bearer wrong";
  EXPECT_EQ(router->handle(request).status, 401u);
  request.authorization = "bearer secret";
  EXPECT_EQ(router->handle(request).status, 200u);
  request.authorization.clear();
  request.cookie = "a=b; zrl_dashboard_token=secret";
  EXPECT_EQ(router->handle(request).status, 200u);
  request.host = "LocalHost:8443";
  EXPECT_EQ(router->handle(request).status, 200u);
  for (const char* host : {"127.0.0.1:8444", "127.0.0.1", "attacker.example:8443", ""}) {
    request.host = host;
    EXPECT_EQ(router->handle(request).status, 400u) << host;
  }
  request.host = "localhost:8443";
  request.origin = "https://attacker.example";
  EXPECT_EQ(router->handle(request).status, 401u);
  request.origin = "https://localhost:8443";
  EXPECT_EQ(router->handle(request).status, 200u);

  // The first visit trades ?token= for a cookie.
  ZRLDashboardRequest visit;
  visit.method = "GET";
  visit.host = "127.0.0.1:8443";
  visit.target = "/?token=wrong";
  EXPECT_EQ(router->handle(visit).status, 401u);
  visit.target = "/?token=secret";
  const auto redirect = router->handle(visit);
  EXPECT_EQ(redirect.status, 303u);
  ASSERT_EQ(redirect.headers.size(), 2u);
  EXPECT_EQ(redirect.headers[1].second.rfind("zrl_dashboard_token=secret;", 0), 0u);

  // The plug-in's endpoints take neither token nor Host check, but the
  // test-device ones need the key.
  ZRLDashboardRequest device;
  device.method = "POST";
  device.target = "/v2/frontendapi/ios/test-devices?appId=a";
  device.host = "dashboard.example";
  device.body = R"({"id":"D 1","model":"iPhone"})";
  EXPECT_EQ(router->handle(device).status, 401u);
  device.apiKey = "7C4D19E2A05B3F86D1E7420C9B5A6F1";
  EXPECT_EQ(router->handle(device).status, 401u);
  device.apiKey = "7C4D19E2A05B3F86D1E7420C9B5A6F13";
  EXPECT_EQ(router->handle(device).status, 200u);
  device.body = R"({"id":"","model":"iPhone"})";
  EXPECT_EQ(router->handle(device).status, 400u);
  ASSERT_EQ(store->testDevices("a")->size(), 1u);
  device.method = "DELETE";
  device.target = "/v2/frontendapi/ios/test-devices/D%201?appId=a";
  EXPECT_EQ(router->handle(device).status, 200u);
  EXPECT_EQ(store->testDevices("a")->size(), 0u);
}

// The page's API: applications from captures, test devices and open
// streams; captures a page at a time; deletions; the history with its
// delivery counts and a push again; and what the page's stream hears.
TEST_F(DashboardRouterTest, ServesThePageItsApplicationsHistoryAndEvents) {
  auto page = std::make_shared<RecordingSink>();
  const auto events = api("GET", "/api/events");
  ASSERT_EQ(events.contentType, "text/event-stream");
  ASSERT_EQ(events.streamAppId, kZRLDashboardPageStreams);
  router->subscribe(*events.streamAppId, events.lastEventID, page);

  const std::string upload = R"({"screen":{"navigation":"S"},"layout":[],"device_info":{}})";
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(api("POST", "/v1/api/layout?appId=a", upload).status, 200u);
  ZRLDashboardRequest device;
  device.method = "POST";
  device.target = "/v2/frontendapi/ios/test-devices?appId=b";
  device.apiKey = "7C4D19E2A05B3F86D1E7420C9B5A6F13";
  device.body = R"({"id":"D/1","model":"iPhone"})";
  ASSERT_EQ(router->handle(device).status, 200u);
  auto stream = std::make_shared<RecordingSink>();
  router->subscribe("c", std::nullopt, stream);

  auto apps = json::parse(api("GET", "/api/apps").body);
  ASSERT_EQ(apps.size(), 3u);
  for (size_t i = 1; i < apps.size(); ++i)  // most recent first
    EXPECT_GE(apps[i - 1]["lastSeen"].get<std::string>(), apps[i]["lastSeen"].get<std::string>());
  for (auto& app : apps)
    app.erase("lastSeen");
  EXPECT_TRUE(
      std::find(apps.begin(), apps.end(),
                json{{"appId", "c"}, {"captures", 0}, {"testDevices", 0}, {"openStreams", 1}}) !=
      apps.end());
  EXPECT_TRUE(
      std::find(apps.begin(), apps.end(),
                json{{"appId", "a"}, {"captures", 3}, {"testDevices", 0}, {"openStreams", 0}}) !=
      apps.end());
  EXPECT_TRUE(
      std::find(apps.begin(), apps.end(),
                json{{"appId", "b"}, {"captures", 0}, {"testDevices", 1}, {"openStreams", 0}}) !=
      apps.end());

  const auto ids = [&](const std::string& target) {
    std::vector<int> list;
    for (const auto& capture : json::parse(api("GET", target).body))
      list.push_back(capture["id"]);
    return list;
  };
  EXPECT_EQ(ids("/api/captures?appId=a"), (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(ids("/api/captures?appId=a&limit=2"), (std::vector<int>{3, 2}));
  EXPECT_EQ(ids("/api/captures?appId=a&before=2&limit=2"), (std::vector<int>{1}));
  for (const char* bad : {"limit=0", "limit=501", "limit=x", "before=-1"})
    EXPECT_EQ(api("GET", std::string("/api/captures?appId=a&") + bad).status, 400u) << bad;

  EXPECT_EQ(api("DELETE", "/api/captures/2").status, 200u);
  EXPECT_EQ(api("DELETE", "/api/captures/2").status, 404u);
  EXPECT_EQ(api("GET", "/api/captures/2").status, 404u);
  EXPECT_EQ(ids("/api/captures?appId=a"), (std::vector<int>{3, 1}));
  EXPECT_EQ(api("DELETE", "/api/test-devices/D%2F1?appId=a").status, 404u);
  EXPECT_EQ(api("DELETE", "/api/test-devices/D1?appId=b").status, 404u);
  EXPECT_EQ(api("DELETE", "/api/test-devices/D1").status, 400u);

  const std::string coach =
      R"({"ui":{"display_type":"coach_mark","view_id":"V","title":"T","text":7}})";
  ASSERT_EQ(api("POST", "/api/previews?appId=c", coach).status, 200u);
  hub.leave("c", stream.get());
  const auto again = json::parse(api("POST", "/api/previews/1/push").body);
  EXPECT_EQ(again, (json{{"id", 2}, {"delivered", 0}}));
  EXPECT_EQ(api("POST", "/api/previews/9/push").status, 404u);
  EXPECT_EQ(api("GET", "/api/previews/1/push").status, 405u);
  auto history = json::parse(api("GET", "/api/previews?appId=c").body);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0]["id"], 2);
  EXPECT_EQ(history[0]["delivered"], 0);
  EXPECT_EQ(history[1]["delivered"], 1);
  history[1].erase("time");
  EXPECT_EQ(history[1], (json{{"id", 1},
                              {"delivered", 1},
                              {"config", json::parse(coach)},
                              {"display_type", "coach_mark"},
                              {"view_id", "V"},
                              {"title", "T"},
                              {"text", nullptr}}));
  EXPECT_EQ(stream->texts.size(), 1u);  // the push again went to no stream

  // The page heard every change, in order, each block named.
  std::vector<std::string> heard;
  for (const auto& text : page->texts) {
    ASSERT_EQ(text.rfind("live event: ", 0), 0u) << text;
    heard.push_back(text.substr(12, text.find('\n') - 12));
  }
  EXPECT_EQ(heard,
            (std::vector<std::string>{"capture", "capture", "capture", "test-device", "streams",
                                      "capture-deleted", "preview", "streams", "preview"}));
  EXPECT_NE(page->texts[7].find(R"({"appId":"c","openStreams":0})"), std::string::npos);
}

// A database of the first schema gains the delivery counts; its previews
// show none.
TEST(ZRLDashboardStore, MigratesTheFirstSchema) {
  Folder folder;
  const std::string path = folder.file("db.sqlite");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE previews (id INTEGER PRIMARY KEY AUTOINCREMENT,"
                           " app_id TEXT NOT NULL, config TEXT NOT NULL, created TEXT NOT NULL);"
                           "INSERT INTO previews (app_id, config, created)"
                           " VALUES ('a', '{}', '2026-01-01T00:00:00Z');"
                           "PRAGMA user_version=1",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  std::string error;
  auto store = ZRLDashboardStore::open(path, &error);
  ASSERT_TRUE(store) << error;
  const auto old = store->recentPreviews("a", 20);
  ASSERT_TRUE(old && old->size() == 1u) << store->lastError();
  EXPECT_EQ((*old)[0].delivered, std::nullopt);
  ASSERT_TRUE(store->setPreviewDelivered(1, 2));
  EXPECT_EQ((*store->preview(1))->delivered, 2);
}

}  // namespace
