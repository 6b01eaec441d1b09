#include "Tools/zrl-dashboard/ZRLDashboardCertificate.h"

#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <filesystem>

#include "Tools/ZRLCertificates/ZRLCertificateMaker.h"

namespace {

using Maker = ZRLCertificateMaker;

constexpr long kAuthorityDays = 3650;
constexpr long kServerDays = 365;
constexpr long kRenewSeconds = 7L * 86400;
// The only names that the authority may sign for: those by which this
// machine reaches itself. A copy of its key can then sign for no other
// site, even in a browser that trusts the authority.
constexpr const char* kPermittedNames =
    "critical,permitted;DNS:localhost,permitted;IP:127.0.0.0/255.0.0.0,"
    "permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";

// A certificate named in the dashboard's organization, not yet extended or
// signed.
Maker::Certificate newCertificate(EVP_PKEY* key, const std::string& commonName, long days) {
  Maker::Certificate certificate = Maker::make(key, days);
  if (!certificate || !Maker::name(certificate.get(), "zrl-dashboard", commonName)) return nullptr;
  return certificate;
}

}  // namespace

std::optional<ZRLDashboardCertificate> ZRLDashboardCertificate::loadOrCreate(
    const std::string& directory, std::string* error) {
  const std::filesystem::path base(directory);
  ZRLDashboardCertificate files;
  files.authorityFile_ = (base / "ca.pem").string();
  files.chainFile_ = (base / "server.pem").string();
  files.keyFile_ = (base / "server-key.pem").string();
  const std::string authorityKeyFile = (base / "ca-key.pem").string();
  auto fail = [error](const std::string& step) -> std::optional<ZRLDashboardCertificate> {
    if (error != nullptr) *error = Maker::failure(step);
    return std::nullopt;
  };

  Maker::Key authorityKey = Maker::readKey(authorityKeyFile);
  Maker::Certificate authority = Maker::readCertificate(files.authorityFile_);
  if (!authorityKey || !authority ||
      X509_check_private_key(authority.get(), authorityKey.get()) != 1) {
    ERR_clear_error();
    authorityKey = Maker::makeKey();
    if (!authorityKey) return fail("making the authority's key");
    authority = newCertificate(authorityKey.get(), "zrl-dashboard local authority", kAuthorityDays);
    if (!authority ||
        X509_set_issuer_name(authority.get(), X509_get_subject_name(authority.get())) != 1 ||
        !Maker::addExtension(authority.get(), authority.get(), NID_basic_constraints,
                             "critical,CA:TRUE,pathlen:0") ||
        !Maker::addExtension(authority.get(), authority.get(), NID_key_usage,
                             "critical,keyCertSign,cRLSign") ||
        !Maker::addExtension(authority.get(), authority.get(), NID_subject_key_identifier,
                             "hash") ||
        !Maker::addExtension(authority.get(), authority.get(), NID_name_constraints,
                             kPermittedNames) ||
        X509_sign(authority.get(), authorityKey.get(), EVP_sha256()) == 0) {
      return fail("making the authority's certificate");
    }
    if (!Maker::writeKey(authorityKeyFile, authorityKey.get()) ||
        !Maker::writeCertificates(files.authorityFile_, {authority.get()})) {
      return fail("writing " + files.authorityFile_);
    }
    ::unlink(files.chainFile_.c_str());  // signed by an authority that is gone
  }
  // An authority made before its names were constrained is kept: clients
  // already trust it.
  files.authorityConstrained_ = X509_get_ext_by_NID(authority.get(), NID_name_constraints, -1) >= 0;

  Maker::Key serverKey = Maker::readKey(files.keyFile_);
  Maker::Certificate server = Maker::readCertificate(files.chainFile_);
  const time_t renewBy = time(nullptr) + kRenewSeconds;
  const bool serverUsable =
      serverKey && server && X509_check_private_key(server.get(), serverKey.get()) == 1 &&
      X509_verify(server.get(), authorityKey.get()) == 1 &&
      X509_cmp_time(X509_get0_notAfter(server.get()), const_cast<time_t*>(&renewBy)) > 0;
  ERR_clear_error();
  if (serverUsable) return files;

  serverKey = Maker::makeKey();
  if (!serverKey) return fail("making the server's key");
  server = newCertificate(serverKey.get(), "localhost", kServerDays);
  if (!server || X509_set_issuer_name(server.get(), X509_get_subject_name(authority.get())) != 1 ||
      !Maker::addLocalNames(server.get(), authority.get()) ||
      !Maker::addExtension(server.get(), authority.get(), NID_basic_constraints,
                           "critical,CA:FALSE") ||
      !Maker::addExtension(server.get(), authority.get(), NID_key_usage,
                           "critical,digitalSignature") ||
      !Maker::addExtension(server.get(), authority.get(), NID_ext_key_usage, "serverAuth") ||
      !Maker::addExtension(server.get(), authority.get(), NID_authority_key_identifier,
                           "keyid:always") ||
      X509_sign(server.get(), authorityKey.get(), EVP_sha256()) == 0) {
    return fail("making the server's certificate");
  }
  if (!Maker::writeKey(files.keyFile_, serverKey.get()) ||
      !Maker::writeCertificates(files.chainFile_, {server.get(), authority.get()})) {
    return fail("writing " + files.chainFile_);
  }
  return files;
}
