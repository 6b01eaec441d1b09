// Two zrl-dashboard instances on one PostgreSQL database behind HAProxy,
// with the configuration that the project ships, and devices' event
// streams (zrl-events) through HAProxy: every preview reaches every device
// once, whichever instance took the push, while an instance is killed and
// while the database restarts.
#include <signal.h>

#include <atomic>
#include <set>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "tests/Dashboard/PostgreSQLTestCluster.h"

namespace {

// A port on 127.0.0.1 that nothing listens on just now.
unsigned short freePort() {
  boost::asio::io_context io;
  const boost::asio::ip::tcp::acceptor acceptor(io,
                                                {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
  return acceptor.local_endpoint().port();
}

// A device's stream through HAProxy, as the ids of the previews it printed.
class Device {
 public:
  Device(const std::string& balancer, const std::string& authority)
      : events_({ZRL_EVENTS_PATH, "--ca-file", authority,
                 "https://" + balancer + "/v1/api/sse-ui-config?appId=app"}) {}
  // Reads records until the stream has opened `count` times, or until the
  // preview `id` has come; false when it went quiet first.
  bool waitForOpen(int count) {
    return readUntil([&] { return opened >= count; });
  }
  bool waitFor(int64_t id) {
    return readUntil([&] { return std::find(ids.begin(), ids.end(), id) != ids.end(); });
  }
  std::vector<int64_t> ids;
  int opened = 0;
  size_t firstAnswered = 0;  // the first of the answered pushes it must get

 private:
  template <typename Done>
  bool readUntil(Done done) {
    while (!done()) {
      const auto line = events_.readLine();
      if (!line) return false;
      const json record = json::parse(*line);
      if (record["type"] == "open") ++opened;
      if (record["type"] == "message") ids.push_back(std::stoll(record["id"].get<std::string>()));
    }
    return true;
  }
  ChildProcess events_;
};

TEST(ZRLDashboardCluster, DevicesBehindHAProxyGetEveryPreviewOnceThroughALostInstanceAndDatabase) {
  std::string error;
  const auto uri = PostgreSQLTestCluster::newDatabase(&error);
  ASSERT_TRUE(uri) << error;
  ASSERT_TRUE(std::filesystem::exists(ZRL_HAPROXY_PATH))
      << ZRL_HAPROXY_PATH << " is missing: scripts/install-deps.sh installs haproxy";

  // Copies of one data folder share the certificate and the token: the
  // second starts once the first has made them.
  TemporaryDirectory folder;
  std::vector<std::unique_ptr<DashboardProcess>> instances;
  for (int i = 0; i < 2; ++i) {
    instances.push_back(std::make_unique<DashboardProcess>(
        std::vector<std::string>{ZRL_DASHBOARD_PATH, "--port", "0", "--data", folder.path(),
                                 "--database", *uri, "--public-name", "127.0.0.1"}));
    ASSERT_TRUE(instances.back()->ready()) << instances.back()->errors();
  }
  DashboardProcess& one = *instances[0];
  DashboardProcess& two = *instances[1];
  const std::string balancer = "127.0.0.1:" + std::to_string(freePort());
  ChildProcess haproxy({"/usr/bin/env", "ZRL_HAPROXY_BIND=" + balancer,
                        "ZRL_DASHBOARD_ONE=" + one.host(), "ZRL_DASHBOARD_TWO=" + two.host(),
                        "ZRL_DASHBOARD_CA=" + one.authority(), ZRL_HAPROXY_PATH, "-db", "-f",
                        ZRL_HAPROXY_CONFIG});

  // Devices connect one after another, so that HAProxy spreads them.
  std::vector<std::unique_ptr<Device>> devices;
  std::vector<int64_t> answered;
  const auto push = [&](DashboardProcess& through) {
    const auto answer = dashboardAPI(through, "POST", "/api/previews?appId=app", "{}");
    if (answer.status == 200) answered.push_back(json::parse(answer.body)["id"].get<int64_t>());
    return answer.status;
  };
  for (int i = 0; i < 4; ++i) {
    devices.push_back(std::make_unique<Device>(balancer, one.authority()));
    ASSERT_TRUE(devices.back()->waitForOpen(1)) << haproxy.errorOutput();
    devices.back()->firstAnswered = answered.size();
    ASSERT_EQ(push(i % 2 == 0 ? one : two), 200u);
    for (const auto& device : devices)
      ASSERT_TRUE(device->waitFor(answered.back())) << haproxy.errorOutput();
  }
  const auto openOn = [](DashboardProcess& instance) {
    const auto apps = json::parse(dashboardAPI(instance, "GET", "/api/apps").body);
    return apps.empty() ? 0 : apps[0]["openStreams"].get<int>();
  };
  EXPECT_EQ(openOn(one), 2);
  EXPECT_EQ(openOn(two), 2);

  // The first instance dies: its devices come back through HAProxy to the
  // second, and are replayed what was pushed meanwhile.
  one.process().signal(SIGKILL);
  ASSERT_EQ(push(two), 200u);

  // The database restarts while pushes go on: what was answered 200 is
  // handed out, once the instance and its listener are connected again.
  std::atomic<bool> finished{false};
  std::string failure;
  std::thread restart([&] {
    if (!PostgreSQLTestCluster::shared(&failure)->restart(&failure) && failure.empty())
      failure = "restart failed";
    finished = true;
  });
  while (!finished)
    push(two);
  restart.join();
  ASSERT_EQ(failure, "");
  // The store finds its connection gone at its next call, and connects
  // again at the one after.
  const size_t before = answered.size();
  for (int attempt = 0; attempt < 3 && answered.size() == before; ++attempt)
    push(two);
  ASSERT_GT(answered.size(), before) << two.errors();

  // The devices of the first came back once each; the others' streams
  // stayed open through the database's restart.
  int opened = 0;
  for (const auto& device : devices) {
    ASSERT_TRUE(device->waitFor(answered.back())) << two.errors();
    opened += device->opened;
    // Each device's ids rise: none doubled, none out of order; every push
    // answered since it connected is among them.
    const std::set<int64_t> distinct(device->ids.begin(), device->ids.end());
    EXPECT_TRUE(std::is_sorted(device->ids.begin(), device->ids.end()));
    EXPECT_EQ(distinct.size(), device->ids.size());
    for (size_t i = device->firstAnswered; i < answered.size(); ++i)
      EXPECT_TRUE(distinct.contains(answered[i])) << answered[i];
  }
  EXPECT_EQ(opened, 6);
  EXPECT_EQ(openOn(two), 4);
  // Its metrics count the streams handed over and the previews written.
  const std::string metrics = dashboardAPI(two, "GET", "/metrics").body;
  EXPECT_NE(metrics.find("zrl_dashboard_open_streams{app=\"app\"} 4\n"), std::string::npos);
  // (A device that came back while the database was down was turned away
  // and came again: at least the four streams.)
  std::smatch streams;
  const std::regex counted(
      R"(zrl_dashboard_requests_total\{endpoint="/v1/api/sse-ui-config",status="200"\} (\d+))");
  ASSERT_TRUE(std::regex_search(metrics, streams, counted)) << metrics;
  EXPECT_GE(std::stoi(streams[1]), 4) << metrics;
  EXPECT_EQ(metrics.find("zrl_dashboard_push_to_write_seconds_count 0\n"), std::string::npos);
}

}  // namespace
