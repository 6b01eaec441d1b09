// zrl-dashboard as a program: its printed lines, its exit statuses, and its
// event streams read by the plug-in's own client over the project's network
// layer (the end-to-end tests drive it with the plug-in in zrl-sim, and
// kill it and start it again).
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "LDEventSource/LDEventSource.h"
#include "Tools/ZRLCertificates/ZRLCertificateMaker.h"
#include "tests/Dashboard/DashboardTestSupport.h"

using json = nlohmann::json;

namespace {

// Pushes {"n": n} and answers the count of streams it was handed to.
int push(const DashboardProcess& dashboard, const std::string& appId, int n) {
  const auto answer =
      dashboardAPI(dashboard, "POST", "/api/previews?appId=" + appId, json{{"n", n}}.dump());
  if (answer.status != 200) return -1;
  return json::parse(answer.body)["delivered"].get<int>();
}

// The "n" of every message that a client received, in order, and whether it
// has been told that its stream is open.
class Received {
 public:
  static std::shared_ptr<Received> listen(LDEventSource& source) {
    auto received = std::make_shared<Received>();
    source.onMessage([received](const LDEventPtr& event) {
      std::lock_guard lock(received->mutex_);
      const auto data = json::parse(event->data().value_or(""), nullptr, false);
      received->numbers_.push_back(data.is_object() ? data.value("n", -1) : -1);
      received->changed_.notify_all();
    });
    source.onOpen([received](const LDEventPtr&) {
      std::lock_guard lock(received->mutex_);
      ++received->opens_;
      received->changed_.notify_all();
    });
    return received;
  }
  bool waitForOpens(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return opens_ >= count; });
  }
  bool waitForCount(size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return numbers_.size() >= count; });
  }
  // Sorted: the client calls its handlers on a concurrent queue, so calls
  // for successive events may finish in any order.
  std::vector<int> numbers() {
    std::lock_guard lock(mutex_);
    std::vector<int> sorted = numbers_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int> numbers_;
  int opens_ = 0;
};

std::shared_ptr<LDEventSource> streamClient(const DashboardProcess& dashboard,
                                            const std::string& appId) {
  NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(dashboard.authority());
  auto source = LDEventSource::eventSourceWithURL(
      NSURL::URLWithString(dashboard.origin() + "/v1/api/sse-ui-config?appId=" + appId),
      std::nullopt);
  source->setRetryInterval(0.05);
  source->setRandomUniform([](uint32_t bound) { return bound / 2; });
  return source;
}

TEST(ZRLDashboardProgram, AnswersHelpAndRefusesWrongCommandLines) {
  ChildProcess help({ZRL_DASHBOARD_PATH, "--help"});
  EXPECT_EQ(help.readLine(), "usage: zrl-dashboard [--port N] [--data DIR]");
  EXPECT_EQ(help.wait(), 0);
  for (const std::vector<std::string>& wrong : {std::vector<std::string>{"--port", "70000"},
                                                {"--port"},
                                                {"--bogus"},
                                                {"--port", "8x"},
                                                {"--max-connections", "0"},
                                                {"--max-connections", "x"}}) {
    std::vector<std::string> argv{ZRL_DASHBOARD_PATH};
    argv.insert(argv.end(), wrong.begin(), wrong.end());
    ChildProcess child(argv);
    EXPECT_EQ(child.wait(), 2) << wrong[0];
    EXPECT_NE(child.errorOutput().find("zrl-dashboard: "), std::string::npos);
  }
  TemporaryDirectory folder;
  const std::string file = folder.path() + "/file";
  { std::ofstream(file) << "x"; }
  ChildProcess blocked({ZRL_DASHBOARD_PATH, "--port", "0", "--data", file + "/data"});
  EXPECT_EQ(blocked.wait(), 1);
  EXPECT_NE(blocked.errorOutput().find(file), std::string::npos) << blocked.errorOutput();
}

TEST(ZRLDashboardProgram, StreamsPreviewsToThePluginsClientAndEndsCleanlyOnSignals) {
  for (const int signalNumber : {SIGTERM, SIGINT}) {
    TemporaryDirectory folder;
    DashboardProcess dashboard(ZRL_DASHBOARD_PATH, folder.path());
    ASSERT_TRUE(dashboard.ready()) << dashboard.errors();
    EXPECT_EQ(dashboard.lines()[0], "ca: " + folder.path() + "/ca.pem");
    EXPECT_EQ(dashboard.lines()[1], "listening: " + dashboard.origin());

    // A client gets its app's previews, not another app's. (The end-to-end
    // restart checks the replay to a client that comes back with the last
    // id it saw, and the server's tests the replay on the wire.)
    auto client = streamClient(dashboard, "app");
    auto received = Received::listen(*client);
    client->open();
    ASSERT_TRUE(received->waitForOpens(1));
    EXPECT_EQ(push(dashboard, "app", 1), 1);
    EXPECT_EQ(push(dashboard, "other", 99), 0);
    EXPECT_EQ(push(dashboard, "app", 2), 1);
    ASSERT_TRUE(received->waitForCount(2));
    EXPECT_EQ(received->numbers(), (std::vector<int>{1, 2}));
    client->close();
    dashboard.process().signal(signalNumber);
    EXPECT_EQ(dashboard.process().wait(), 0) << dashboard.errors();
  }
}

// zrl-dashboard started with its own arguments (under prlimit, say), once
// it printed its three lines.
struct StartedDashboard {
  explicit StartedDashboard(std::vector<std::string> argv) : process(std::move(argv)) {
    const auto ca = process.readLine(kToolPatience);
    const auto listening = process.readLine(kToolPatience);
    const auto open = process.readLine(kToolPatience);
    if (!ca || !listening || !open) return;
    authority = ca->substr(4);
    origin = listening->substr(11);
    port = static_cast<unsigned short>(std::stoi(origin.substr(origin.rfind(':') + 1)));
    token = open->substr(open->find("token=") + 6);
  }
  HTTPAnswer api(const std::string& method, const std::string& target,
                 const std::optional<std::string>& body = std::nullopt) const {
    return httpsRequest(origin + target, authority, method, {"Authorization: Bearer " + token},
                        body);
  }
  ChildProcess process;
  std::string authority;
  std::string origin;
  unsigned short port = 0;
  std::string token;
};

TEST(ZRLDashboardProgram, SurvivesBodiesNestedDeepOrSpreadWide) {
  TemporaryDirectory folder;
  DashboardProcess dashboard(ZRL_DASHBOARD_PATH, folder.path());
  ASSERT_TRUE(dashboard.ready()) << dashboard.errors();
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const auto layout =
      httpsRequest(dashboard.origin() + "/v1/api/layout?appId=a", dashboard.authority(), "POST", {},
                   R"({"screen":{},"device_info":{},"layout":)" + deep + "}");
  EXPECT_EQ(layout.status, 400) << layout.failure;
  EXPECT_NE(layout.body.find("4096"), std::string::npos) << layout.body;
  EXPECT_EQ(
      dashboardAPI(dashboard, "POST", "/api/previews?appId=a", R"({"ui":)" + deep + "}").status,
      400);
  const auto device = httpsRequest(
      dashboard.origin() + "/v2/frontendapi/ios/test-devices?appId=a", dashboard.authority(),
      "POST", {"zrl_ios_key: 7C4D19E2A05B3F86D1E7420C9B5A6F13"}, R"({"id":)" + deep + "}");
  EXPECT_EQ(device.status, 400);

  std::string wide = "[{}";
  for (int i = 1; i < 1000000; ++i)
    wide += ",{}";
  wide += "]";
  const auto stored =
      httpsRequest(dashboard.origin() + "/v1/api/layout?appId=a", dashboard.authority(), "POST", {},
                   R"({"screen":{},"device_info":{},"layout":)" + wide + "}");
  EXPECT_EQ(stored.status, 200) << stored.failure << stored.body;
  const auto details = dashboardAPI(dashboard, "GET", "/api/captures/1");
  ASSERT_EQ(details.status, 200);
  EXPECT_NE(details.body.find("\"layout\":" + wide + ","), std::string::npos);
  EXPECT_EQ(
      dashboardAPI(dashboard, "POST", "/api/previews?appId=a", R"({"w":)" + wide + "}").status,
      200);
  dashboard.process().signal(SIGTERM);
  EXPECT_EQ(dashboard.process().wait(), 0) << dashboard.errors();
}

TEST(ZRLDashboardProgram, RefusesWritesWhileTheDatabaseCannotBeWrittenAndLosesNothing) {
  TemporaryDirectory folder;
  const std::string database = folder.path() + "/dashboard.sqlite";
  std::string lastEvents;
  {
    DashboardProcess dashboard(ZRL_DASHBOARD_PATH, folder.path());
    ASSERT_TRUE(dashboard.ready()) << dashboard.errors();
    auto client = streamClient(dashboard, "app");
    auto received = Received::listen(*client);
    client->open();
    ASSERT_TRUE(received->waitForOpens(1));
    EXPECT_EQ(push(dashboard, "app", 1), 1);

    // Made read-only: writes are refused (said once), reads and the open
    // stream go on.
    ASSERT_EQ(::chmod(database.c_str(), 0444), 0);
    for (int i = 0; i < 2; ++i) {
      const auto refused =
          dashboardAPI(dashboard, "POST", "/api/previews?appId=app", R"({"n":-1})");
      EXPECT_EQ(refused.status, 503);
      EXPECT_NE(refused.body.find("storage unavailable: "), std::string::npos) << refused.body;
    }
    EXPECT_EQ(dashboard.process().errorCount("takes no writes: the file is read-only"), 1u)
        << dashboard.errors();
    EXPECT_EQ(dashboardAPI(dashboard, "GET", "/api/test-devices?appId=app").status, 200);
    ASSERT_EQ(::chmod(database.c_str(), 0644), 0);
    EXPECT_EQ(push(dashboard, "app", 2), 1);
    ASSERT_TRUE(received->waitForCount(2));
    EXPECT_EQ(received->numbers(), (std::vector<int>{1, 2}));
    EXPECT_TRUE(dashboard.process().waitForError("takes writes again"));
    client->close();
    dashboard.process().signal(SIGTERM);
    EXPECT_EQ(dashboard.process().wait(), 0) << dashboard.errors();
  }

  // Started again: what was answered 200 is there, nothing else.
  DashboardProcess dashboard(ZRL_DASHBOARD_PATH, folder.path());
  ASSERT_TRUE(dashboard.ready()) << dashboard.errors();
  {
    RawTLSClient replay(static_cast<unsigned short>(std::stoi(dashboard.port())),
                        dashboard.authority());
    ASSERT_TRUE(
        replay.write("GET /v1/api/sse-ui-config?appId=app HTTP/1.1\r\nHost: x\r\n"
                     "Last-Event-ID: 0\r\n\r\n"));
    ASSERT_TRUE(replay.readUntil("id: 2\ndata: {\"n\":2}\n\n"));
    EXPECT_EQ(replay.received().find("-1"), std::string::npos);
  }

  // Its folder deleted under it: a 5xx and a line, reads still answered,
  // and a clean end.
  TemporaryDirectory kept;
  const std::string authority = kept.path() + "/ca.pem";
  std::filesystem::copy_file(dashboard.authority(), authority);
  std::filesystem::remove_all(folder.path());
  const std::vector<std::string> token{"Authorization: Bearer " + dashboard.token()};
  const auto refused = httpsRequest(dashboard.origin() + "/api/previews?appId=app", authority,
                                    "POST", token, R"({"n":3})");
  EXPECT_EQ(refused.status, 503) << refused.failure;
  EXPECT_NE(refused.body.find("the file is gone"), std::string::npos) << refused.body;
  EXPECT_TRUE(dashboard.process().waitForError("takes no writes: the file is gone"));
  EXPECT_EQ(
      httpsRequest(dashboard.origin() + "/api/captures?appId=app", authority, "GET", token).status,
      200);
  dashboard.process().signal(SIGTERM);
  EXPECT_EQ(dashboard.process().wait(), 0) << dashboard.errors();
}

TEST(ZRLDashboardProgram, PausesAcceptingWhenOutOfDescriptorsAndServesAgainWhenTheyClose) {
  TemporaryDirectory folder;
#ifdef ZRL_UBSAN_TYPE_CHECKS
  // Out of descriptors, the sanitizer cannot make the pipe with which it
  // checks an object's dynamic type, and reports every object it checks.
  GTEST_SKIP() << "the undefined-behaviour sanitizer's type checks need descriptors";
#endif
  StartedDashboard dashboard({"/usr/bin/prlimit", "--nofile=64:64", ZRL_DASHBOARD_PATH, "--port",
                              "0", "--data", folder.path() + "/data", "--max-connections", "1000"});
  ASSERT_NE(dashboard.port, 0) << dashboard.process.errorOutput();
  // Connections that never start TLS hold a descriptor each until the
  // dashboard runs out; the rest wait in the kernel's queue.
  std::vector<std::unique_ptr<RawTLSClient>> idle;
  for (int i = 0; i < 80; ++i) {
    idle.push_back(std::make_unique<RawTLSClient>(dashboard.port, dashboard.authority, false));
    ASSERT_TRUE(idle.back()->connected());
  }
  ASSERT_TRUE(dashboard.process.waitForError("accepting a connection failed", 1, kToolPatience))
      << dashboard.process.errorOutput();
  idle.clear();
  ASSERT_TRUE(dashboard.process.waitForError("accepting connections again", 1, kToolPatience))
      << dashboard.process.errorOutput();
  EXPECT_EQ(dashboard.api("GET", "/api/captures?appId=a").status, 200);
  // Said once for the episode, and tried again at intervals, not in a spin.
  const std::string errors = dashboard.process.errorOutput();
  EXPECT_EQ(dashboard.process.errorCount("accepting a connection failed"), 1u) << errors;
  const std::regex again("again after ([0-9]+) failed attempts in ([0-9.e+-]+) s");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(errors, match, again)) << errors;
  EXPECT_LE(std::stod(match[1]), std::stod(match[2]) * 10 + 3) << errors;
  dashboard.process.signal(SIGTERM);
  EXPECT_EQ(dashboard.process.wait(), 0) << dashboard.process.errorOutput();
}

TEST(ZRLDashboardProgram, KeepsAnOlderAuthorityAndSaysOnceHowToReplaceIt) {
  TemporaryDirectory folder;
  const std::string authorityFile = folder.path() + "/ca.pem";
  {
    const auto key = ZRLCertificateMaker::makeKey();
    auto old = ZRLCertificateMaker::make(key.get(), 365);
    ZRLCertificateMaker::name(old.get(), "zrl-dashboard", "zrl-dashboard local authority");
    X509_set_issuer_name(old.get(), X509_get_subject_name(old.get()));
    ZRLCertificateMaker::addExtension(old.get(), old.get(), NID_basic_constraints,
                                      "critical,CA:TRUE,pathlen:0");
    ZRLCertificateMaker::addExtension(old.get(), old.get(), NID_subject_key_identifier, "hash");
    X509_sign(old.get(), key.get(), EVP_sha256());
    ASSERT_TRUE(ZRLCertificateMaker::writeKey(folder.path() + "/ca-key.pem", key.get()));
    ASSERT_TRUE(ZRLCertificateMaker::writeCertificates(authorityFile, {old.get()}));
  }
  const std::string before = readFile(authorityFile);
  DashboardProcess dashboard(ZRL_DASHBOARD_PATH, folder.path());
  ASSERT_TRUE(dashboard.ready()) << dashboard.errors();
  EXPECT_EQ(push(dashboard, "a", 1), 0);  // served with the old authority
  EXPECT_EQ(readFile(authorityFile), before);
  EXPECT_EQ(dashboard.process().errorCount("may sign for any name"), 1u);
  EXPECT_NE(dashboard.errors().find("delete ca.pem and ca-key.pem in " + folder.path()),
            std::string::npos)
      << dashboard.errors();
}

}  // namespace
