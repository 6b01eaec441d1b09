#include "Tools/zrl-dashboard/ZRLDashboardCertificate.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

namespace {

template <typename T, void (*Free)(T*)>
struct OpenSSLFree {
  void operator()(T* object) const { Free(object); }
};
using Key = std::unique_ptr<EVP_PKEY, OpenSSLFree<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, OpenSSLFree<X509, X509_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, OpenSSLFree<X509_EXTENSION, X509_EXTENSION_free>>;
using Bignum = std::unique_ptr<BIGNUM, OpenSSLFree<BIGNUM, BN_free>>;
void freeBio(BIO* bio) {
  BIO_free_all(bio);
}
using Bio = std::unique_ptr<BIO, OpenSSLFree<BIO, freeBio>>;

constexpr long kAuthorityDays = 3650;
constexpr long kServerDays = 365;
constexpr long kRenewSeconds = 7L * 86400;

std::string openSSLFailure(const std::string& step) {
  std::string text = step;
  if (const unsigned long code = ERR_get_error(); code != 0) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    text.append(": ").append(reason);
  }
  ERR_clear_error();
  return text;
}

bool addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// A certificate with a random serial, the given subject and validity, not
// yet signed and without extensions.
Certificate newCertificate(EVP_PKEY* key, const std::string& commonName, long days) {
  Certificate certificate(X509_new());
  Bignum serial(BN_new());
  if (!certificate || !serial ||
      BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) == nullptr ||
      X509_set_version(certificate.get(), 2) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400L * days) == nullptr ||
      X509_set_pubkey(certificate.get(), key) != 1) {
    return nullptr;
  }
  X509_NAME* name = X509_get_subject_name(certificate.get());
  if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>("zrl-dashboard"), -1, -1,
                                 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                 0) != 1) {
    return nullptr;
  }
  return certificate;
}

// Written to a temporary file with the given mode, synced, then renamed over
// the path, so that a crash never leaves half a file and a key is never
// readable by others.
bool writeFile(const std::string& path, mode_t mode, const std::function<bool(BIO*)>& write) {
  const std::string temporary = path + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  Bio bio(BIO_new_fd(fd, BIO_NOCLOSE));
  const bool written = bio && write(bio.get()) && BIO_flush(bio.get()) == 1;
  bio.reset();
  const bool synced = written && ::fsync(fd) == 0;
  ::close(fd);
  if (!synced || std::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

Key readKey(const std::string& path) {
  Bio bio(BIO_new_file(path.c_str(), "r"));
  return Key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}
Certificate readCertificate(const std::string& path) {
  Bio bio(BIO_new_file(path.c_str(), "r"));
  return Certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

bool writeKey(const std::string& path, EVP_PKEY* key) {
  return writeFile(path, 0600, [key](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  });
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
    if (error != nullptr) *error = openSSLFailure(step);
    return std::nullopt;
  };

  Key authorityKey = readKey(authorityKeyFile);
  Certificate authority = readCertificate(files.authorityFile_);
  if (!authorityKey || !authority ||
      X509_check_private_key(authority.get(), authorityKey.get()) != 1) {
    ERR_clear_error();
    authorityKey.reset(EVP_EC_gen("P-256"));
    if (!authorityKey) return fail("making the authority's key");
    authority = newCertificate(authorityKey.get(), "zrl-dashboard local authority", kAuthorityDays);
    if (!authority ||
        X509_set_issuer_name(authority.get(), X509_get_subject_name(authority.get())) != 1 ||
        !addExtension(authority.get(), authority.get(), NID_basic_constraints,
                      "critical,CA:TRUE,pathlen:0") ||
        !addExtension(authority.get(), authority.get(), NID_key_usage,
                      "critical,keyCertSign,cRLSign") ||
        !addExtension(authority.get(), authority.get(), NID_subject_key_identifier, "hash") ||
        X509_sign(authority.get(), authorityKey.get(), EVP_sha256()) == 0) {
      return fail("making the authority's certificate");
    }
    if (!writeKey(authorityKeyFile, authorityKey.get()) ||
        !writeFile(files.authorityFile_, 0644,
                   [&](BIO* bio) { return PEM_write_bio_X509(bio, authority.get()) == 1; })) {
      return fail("writing " + files.authorityFile_);
    }
    ::unlink(files.chainFile_.c_str());  // signed by an authority that is gone
  }

  Key serverKey = readKey(files.keyFile_);
  Certificate server = readCertificate(files.chainFile_);
  const time_t renewBy = time(nullptr) + kRenewSeconds;
  const bool serverUsable =
      serverKey && server && X509_check_private_key(server.get(), serverKey.get()) == 1 &&
      X509_verify(server.get(), authorityKey.get()) == 1 &&
      X509_cmp_time(X509_get0_notAfter(server.get()), const_cast<time_t*>(&renewBy)) > 0;
  ERR_clear_error();
  if (serverUsable) return files;

  serverKey.reset(EVP_EC_gen("P-256"));
  if (!serverKey) return fail("making the server's key");
  server = newCertificate(serverKey.get(), "localhost", kServerDays);
  if (!server || X509_set_issuer_name(server.get(), X509_get_subject_name(authority.get())) != 1 ||
      !addExtension(server.get(), authority.get(), NID_subject_alt_name,
                    "DNS:localhost,IP:127.0.0.1") ||
      !addExtension(server.get(), authority.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !addExtension(server.get(), authority.get(), NID_key_usage, "critical,digitalSignature") ||
      !addExtension(server.get(), authority.get(), NID_ext_key_usage, "serverAuth") ||
      !addExtension(server.get(), authority.get(), NID_authority_key_identifier, "keyid:always") ||
      X509_sign(server.get(), authorityKey.get(), EVP_sha256()) == 0) {
    return fail("making the server's certificate");
  }
  if (!writeKey(files.keyFile_, serverKey.get()) ||
      !writeFile(files.chainFile_, 0644, [&](BIO* bio) {
        return PEM_write_bio_X509(bio, server.get()) == 1 &&
               PEM_write_bio_X509(bio, authority.get()) == 1;
      })) {
    return fail("writing " + files.chainFile_);
  }
  return files;
}
