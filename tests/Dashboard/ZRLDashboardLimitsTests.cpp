// The dashboard against what a client or the machine may do to it: bodies
// nested or spread wide, a full database, a copy of the authority's key,
// and the requests of the fuzz target's seeds replayed.
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "Tools/ZRLCertificates/ZRLCertificateMaker.h"
#include "Tools/zrl-dashboard/ZRLDashboardCertificate.h"
#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"
#include "Tools/zrl-dashboard/ZRLDashboardRouter.h"
#include "tests/Tools/ToolTestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

using json = nlohmann::json;

namespace {

class RecordingSink : public ZRLDashboardStreamSink {
 public:
  void deliver(std::shared_ptr<const std::string> text, bool) override {
    std::lock_guard lock(mutex);
    texts.push_back(*text);
  }
  void close() override {}
  std::mutex mutex;
  std::vector<std::string> texts;
};

// A layout whose views nest `levels` deep, as the plug-in writes it.
std::string nestedLayout(size_t levels) {
  std::string text = "[";
  for (size_t i = 0; i < levels; ++i)
    text += R"({"id":"v)" + std::to_string(i) + R"(","bounds":{"top":0},"views":[)";
  for (size_t i = 0; i < levels; ++i)
    text += "]}";
  return text + "]";
}

std::string upload(const std::string& layout, const std::string& image = "") {
  return R"({"screen":{"navigation":"Home")" +
         (image.empty() ? std::string() : R"(,"image":")" + image + "\"") + R"(},"layout":)" +
         layout + R"(,"device_info":{"os":"iOS"}})";
}

class DashboardLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    store = ZRLDashboardStore::open(path("db.sqlite"), &error);
    ASSERT_TRUE(store) << error;
    router = std::make_unique<ZRLDashboardRouter>(
        *store, hub, ZRLDashboardRouter::Options{"secret", 8443, folder.path()});
  }
  std::string path(const std::string& name) const { return folder.path() + "/" + name; }
  ZRLDashboardResponse call(const std::string& method, const std::string& target,
                            const std::string& body = "") {
    ZRLDashboardRequest request;
    request.method = method;
    request.target = target;
    request.host = "127.0.0.1:8443";
    request.authorization = "Bearer secret";
    request.body = body;
    return router->handle(request);
  }

  TemporaryDirectory folder;
  std::unique_ptr<ZRLDashboardStore> store;
  ZRLDashboardHub hub;
  std::unique_ptr<ZRLDashboardRouter> router;
};

TEST(ZRLDashboardJSON, ReadsOuterLevelsAndCutsOutMembersWithoutRecursion) {
  const auto kept = ZRLDashboardJSON::read(R"({"a":{"b":[1,{"c":2}],"d":"x"},"e":[3]})", 2);
  ASSERT_EQ(kept.fault, ZRLDashboardJSON::Fault::none);
  EXPECT_EQ(kept.value, json::parse(R"({"a":{"b":[],"d":"x"},"e":[]})"));
  EXPECT_EQ(ZRLDashboardJSON::read("{} x", 0).fault, ZRLDashboardJSON::Fault::invalid);
  EXPECT_EQ(ZRLDashboardJSON::read(R"({"a":1,})", 0).fault, ZRLDashboardJSON::Fault::invalid);
  const size_t limit = ZRLDashboardJSON::kMaximumDepth;
  const auto nested = [](size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  EXPECT_EQ(ZRLDashboardJSON::read(nested(limit), 0).fault, ZRLDashboardJSON::Fault::none);
  EXPECT_EQ(ZRLDashboardJSON::read(nested(limit + 1), 0).fault, ZRLDashboardJSON::Fault::tooDeep);
  EXPECT_EQ(ZRLDashboardJSON::read(nested(100000), 0).fault, ZRLDashboardJSON::Fault::tooDeep);

  // Keys with escapes, strings that hold brackets, quotes and commas.
  const std::string object =
      " {\"la\\u0079out\" : [ \"]}\\\"\" , {\"x\":\"{\"} ] ,\"n\":-1.5e3,\"s\":\"a,b\"}\n";
  const auto members = ZRLDashboardJSON::members(object);
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].key, "layout");
  EXPECT_EQ(members[0].text, R"([ "]}\"" , {"x":"{"} ])");
  EXPECT_EQ(members[1].text, "-1.5e3");
  EXPECT_EQ(members[2].text, "\"a,b\"");
  EXPECT_TRUE(ZRLDashboardJSON::members("[1]").empty());
  EXPECT_EQ(ZRLDashboardJSON::compact("{ \"a b\" :\r\n [1, \"c\\\" d\"] }\n"),
            "{\"a b\":[1,\"c\\\" d\"]}");
}

TEST_F(DashboardLimitsTest, StoresDeepAndWideBodiesAsSentAndRefusesDeeperThanTheLimit) {
  // Views 2,000 deep are stored, and served back as the device sent them.
  const std::string deep = nestedLayout(2000);
  ASSERT_EQ(call("POST", "/v1/api/layout?appId=a", upload(deep)).status, 200u);
  const auto details = call("GET", "/api/captures/1");
  ASSERT_EQ(details.status, 200u);
  EXPECT_NE(details.body.find(",\"layout\":" + deep + ",\"device_info\":{\"os\":\"iOS\"}}"),
            std::string::npos);
  EXPECT_TRUE(json::accept(details.body));

  // One level past the limit is refused with a message that names it,
  // whatever the endpoint; nothing is stored.
  const size_t over = ZRLDashboardJSON::kMaximumDepth;  // the body adds one level
  const std::string tooDeep = std::string(over, '[') + std::string(over, ']');
  const std::string within = tooDeep.substr(1, tooDeep.size() - 2);
  EXPECT_EQ(call("POST", "/v1/api/layout?appId=a", upload(within)).status, 200u);
  ZRLDashboardRequest device;
  device.method = "POST";
  device.target = "/v2/frontendapi/ios/test-devices?appId=a";
  device.apiKey = "7C4D19E2A05B3F86D1E7420C9B5A6F13";
  device.body = R"({"id":"D1","model":"m","x":)" + tooDeep + "}";
  for (const auto& answer : {call("POST", "/v1/api/layout?appId=a", upload(tooDeep)),
                             call("POST", "/api/previews?appId=a", R"({"ui":)" + tooDeep + "}"),
                             router->handle(device)}) {
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
  for (int i = 1; i < 1000000; ++i)
    wide += ",\n 0";
  wide += "]";
  const auto stored = call("POST", "/v1/api/layout?appId=a",
                           R"({"layout":{},"screen":{},"device_info":{},"layout":)" + wide + "}");
  ASSERT_EQ(stored.status, 200u) << stored.body;
  EXPECT_EQ((*store->capture(3))->layout, wide);
  ASSERT_EQ(call("POST", "/api/previews?appId=a", "{\"w\":\r\n" + wide + "\n}").status, 200u);
  ASSERT_EQ(sink->texts.size(), 1u);
  const std::string& block = sink->texts[0];
  EXPECT_EQ(block.find_first_of("\r\n", 5), block.find("\ndata: "));
  EXPECT_EQ(block.find_first_of("\r\n", block.find("\ndata: ") + 1), block.size() - 2);
  std::string compact = "{\"w\":[0";
  for (int i = 1; i < 1000000; ++i)
    compact += ",0";
  EXPECT_EQ(block.substr(block.find("data: ") + 6), compact + "]}\n\n");
}

TEST_F(DashboardLimitsTest, AFullDatabaseRefusesWritesWith507UntilThereIsRoomAndLosesNothing) {
  { std::ofstream(path("index.html")) << "<!doctype html>"; }
  auto sink = std::make_shared<RecordingSink>();
  router->subscribe("a", std::nullopt, sink);
  // A PNG's signature is all that the upload checks of the image.
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string(300000, 'p');
  std::string image(((png.size() + 2) / 3) * 4, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(image.data()),
                  reinterpret_cast<const unsigned char*>(png.data()), static_cast<int>(png.size()));
  const std::string large = upload("[]", image);
  const std::string preview = json{{"pad", std::string(100000, 'x')}}.dump();
  ASSERT_EQ(call("POST", "/v1/api/layout?appId=a", large).status, 200u);
  ASSERT_EQ(call("POST", "/api/previews?appId=a", preview).status, 200u);

  // As full as the file is now.
  ASSERT_TRUE(store->limitPages(1));
  for (const auto& answer : {call("POST", "/v1/api/layout?appId=a", large),
                             call("POST", "/api/previews?appId=a", preview)}) {
    EXPECT_EQ(answer.status, 507u);
    EXPECT_EQ(json::parse(answer.body)["error"].get<std::string>().rfind("storage full: ", 0), 0u)
        << answer.body;
  }
  // Reads, the page and the streams go on.
  EXPECT_EQ(json::parse(call("GET", "/api/captures?appId=a").body).size(), 1u);
  EXPECT_EQ(call("GET", "/api/captures/1/screenshot.png").body, png);
  EXPECT_EQ(call("GET", "/").status, 200u);
  auto late = std::make_shared<RecordingSink>();
  router->subscribe("a", 0, late);
  EXPECT_EQ(late->texts.size(), 1u);

  // With room again, writes work without a restart, and nothing answered
  // 200 is missing.
  ASSERT_TRUE(store->limitPages(1 << 30));
  EXPECT_EQ(json::parse(call("POST", "/v1/api/layout?appId=a", large).body)["id"], 2);
  EXPECT_EQ(json::parse(call("POST", "/api/previews?appId=a", preview).body)["id"], 2);
  EXPECT_EQ(sink->texts.size(), 2u);
  router.reset();
  store.reset();
  std::string error;
  store = ZRLDashboardStore::open(path("db.sqlite"), &error);
  ASSERT_TRUE(store) << error;
  EXPECT_EQ(store->captures("a")->size(), 2u);
  EXPECT_EQ(store->previewsAfter("a", 0)->size(), 2u);
}

// (The program's tests check that an older authority without constraints is
// kept.) Whether OpenSSL verifies the certificate for the name (an IP address
// when it parses as one) against the authority alone; the error otherwise.
int verify(X509* authority, X509* leaf, const std::string& name) {
  X509_STORE* trusted = X509_STORE_new();
  X509_STORE_add_cert(trusted, authority);
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  X509_STORE_CTX_init(context, trusted, leaf, nullptr);
  X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(context);
  if (X509_VERIFY_PARAM_set1_ip_asc(parameters, name.c_str()) != 1)
    X509_VERIFY_PARAM_set1_host(parameters, name.c_str(), 0);
  const int result = X509_verify_cert(context) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context);
  X509_STORE_CTX_free(context);
  X509_STORE_free(trusted);
  return result;
}

// A server certificate for the names, signed with the key.
ZRLCertificateMaker::Certificate signedFor(X509* authority, EVP_PKEY* authorityKey,
                                           const std::string& names) {
  const auto key = ZRLCertificateMaker::makeKey();
  auto leaf = ZRLCertificateMaker::make(key.get(), 30);
  ZRLCertificateMaker::name(leaf.get(), "else", "leaf");
  X509_set_issuer_name(leaf.get(), X509_get_subject_name(authority));
  ZRLCertificateMaker::addExtension(leaf.get(), authority, NID_subject_alt_name, names.c_str());
  X509_sign(leaf.get(), authorityKey, EVP_sha256());
  return leaf;
}

TEST(ZRLDashboardCertificate, TheAuthoritySignsOnlyForThisMachine) {
  TemporaryDirectory folder;
  std::string error;
  const auto files = ZRLDashboardCertificate::loadOrCreate(folder.path(), &error);
  ASSERT_TRUE(files) << error;
  EXPECT_TRUE(files->authorityConstrained());
  const auto authority = ZRLCertificateMaker::readCertificate(files->authorityFile());
  const auto key = ZRLCertificateMaker::readKey(folder.path() + "/ca-key.pem");
  ASSERT_TRUE(authority && key);
  const auto server = ZRLCertificateMaker::readCertificate(files->chainFile());
  EXPECT_EQ(verify(authority.get(), server.get(), "127.0.0.1"), X509_V_OK);
  EXPECT_EQ(verify(authority.get(), server.get(), "localhost"), X509_V_OK);
  const auto local = signedFor(authority.get(), key.get(), "DNS:localhost,IP:127.0.0.2,IP:::1");
  EXPECT_EQ(verify(authority.get(), local.get(), "127.0.0.2"), X509_V_OK);
  // A copy of the key signs for another site in vain.
  for (const auto& [names, name] : std::vector<std::pair<std::string, std::string>>{
           {"DNS:bank.example", "bank.example"},
           {"DNS:bank.example,DNS:localhost", "localhost"},
           {"IP:10.0.0.1", "10.0.0.1"},
           {"DNS:localhost.bank.example", "localhost.bank.example"}}) {
    const auto other = signedFor(authority.get(), key.get(), names);
    EXPECT_EQ(verify(authority.get(), other.get(), name), X509_V_ERR_PERMITTED_VIOLATION) << names;
  }
}

TEST(ZRLDashboardRequestSeeds, ReplayWithoutAFault) {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(ZRL_DASHBOARD_REQUEST_SEEDS)) {
    const std::string bytes = readFile(entry.path());
    SCOPED_TRACE(entry.path().filename().string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++count;
  }
  EXPECT_GE(count, 10u);
}

}  // namespace
