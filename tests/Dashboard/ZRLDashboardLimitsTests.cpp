// The dashboard against what a client may do to it: bodies read without
// recursion, a copy of the authority's key, and the requests of the fuzz
// target's seeds replayed. (The router's tests send it bodies nested deep or
// spread wide, and a full database.)
#include <filesystem>

#include "Tools/ZRLCertificates/ZRLCertificateMaker.h"
#include "Tools/zrl-dashboard/ZRLDashboardCertificate.h"
#include "Tools/zrl-dashboard/ZRLDashboardJSON.h"
#include "tests/Dashboard/DashboardTestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

TEST(ZRLDashboardJSON, ReadsOuterLevelsAndCutsOutMembersWithoutRecursion) {
  const auto kept = ZRLDashboardJSON::read(R"({"a":{"b":[1,{"c":2}],"d":"x"},"e":[3]})", 2);
  ASSERT_EQ(kept.fault, ZRLDashboardJSON::Fault::none);
  EXPECT_EQ(kept.value, json::parse(R"({"a":{"b":[],"d":"x"},"e":[]})"));
  EXPECT_EQ(ZRLDashboardJSON::read("{} x", 0).fault, ZRLDashboardJSON::Fault::invalid);
  EXPECT_EQ(ZRLDashboardJSON::read(R"({"a":1,})", 0).fault, ZRLDashboardJSON::Fault::invalid);
  // (The router's tests refuse one level past the limit.)
  EXPECT_EQ(ZRLDashboardJSON::read(std::string(100000, '[') + std::string(100000, ']'), 0).fault,
            ZRLDashboardJSON::Fault::tooDeep);

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
