#include "Tools/ZRLLocalServer/ZRLLocalCertificate.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <functional>
#include <memory>

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;

void bioFree(BIO* bio) {
  BIO_free_all(bio);
}
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, bioFree>>;

// OpenSSL's reason for the last failure, or the step that failed.
std::string failure(const char* step) {
  std::string text = step;
  const unsigned long code = ERR_get_error();
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  ERR_clear_error();
  return text;
}

bool addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

// Writes through a descriptor opened with the given mode, so that a key is
// never readable by others, not even for a moment.
bool writePEM(const std::string& path, mode_t mode, const std::function<bool(BIO*)>& write) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  BioPtr bio(BIO_new_fd(fd, BIO_CLOSE));
  if (!bio) {
    ::close(fd);
    return false;
  }
  return write(bio.get()) && BIO_flush(bio.get()) == 1;
}

}  // namespace

std::optional<ZRLLocalCertificate> ZRLLocalCertificate::generate(const std::string& directory,
                                                                 std::string* error,
                                                                 int validDays) {
  auto fail = [&](const char* step) -> std::optional<ZRLLocalCertificate> {
    const std::string text = failure(step);
    if (error != nullptr) *error = text;
    return std::nullopt;
  };

  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return fail("EC key generation");

  CertificatePtr certificate(X509_new());
  if (!certificate) return fail("X509_new");
  BignumPtr serial(BN_new());
  if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) == nullptr) {
    return fail("serial number");
  }
  // A subject of its own (the serial number in it), so that certificates
  // made for different servers never stand for one another when a verifier
  // looks an issuer up by name.
  X509_NAME* name = X509_get_subject_name(certificate.get());
  const auto* commonName = reinterpret_cast<const unsigned char*>("localhost");
  char* serialText = BN_bn2hex(serial.get());
  if (serialText == nullptr) return fail("serial number");
  std::string organization = "ZRLLocalServer ";
  organization.append(serialText);
  OPENSSL_free(serialText);
  if (X509_set_version(certificate.get(), 2) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400L * validDays) == nullptr ||
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(organization.c_str()), -1,
                                 -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, commonName, -1, -1, 0) != 1 ||
      X509_set_issuer_name(certificate.get(), name) != 1 ||
      X509_set_pubkey(certificate.get(), key.get()) != 1) {
    return fail("certificate fields");
  }
  if (!addExtension(certificate.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") ||
      !addExtension(certificate.get(), NID_basic_constraints, "critical,CA:TRUE") ||
      !addExtension(certificate.get(), NID_key_usage, "critical,digitalSignature,keyCertSign") ||
      !addExtension(certificate.get(), NID_ext_key_usage, "serverAuth") ||
      !addExtension(certificate.get(), NID_subject_key_identifier, "hash")) {
    return fail("certificate extensions");
  }
  if (X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0) return fail("signing");

  const std::filesystem::path base(directory.empty() ? std::string(".") : directory);
  ZRLLocalCertificate result((base / "certificate.pem").string(), (base / "key.pem").string());
  if (!writePEM(result.keyFile_, 0600, [&](BIO* bio) {
        return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
      })) {
    return fail("writing the key");
  }
  if (!writePEM(result.certificateFile_, 0644,
                [&](BIO* bio) { return PEM_write_bio_X509(bio, certificate.get()) == 1; })) {
    return fail("writing the certificate");
  }
  return result;
}
