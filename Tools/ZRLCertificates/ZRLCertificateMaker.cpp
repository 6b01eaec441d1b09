#include "Tools/ZRLCertificates/ZRLCertificateMaker.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace {

using Extension = std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)>;
using Bignum = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

}  // namespace

void ZRLCertificateMaker::freeBio(BIO* bio) {
  BIO_free_all(bio);
}

ZRLCertificateMaker::Key ZRLCertificateMaker::makeKey() {
  return Key(EVP_EC_gen("P-256"));
}

ZRLCertificateMaker::Certificate ZRLCertificateMaker::make(EVP_PKEY* key, long days) {
  Certificate certificate(X509_new());
  Bignum serial(BN_new(), BN_free);
  if (!certificate || !serial ||
      BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())) == nullptr ||
      X509_set_version(certificate.get(), 2) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400L * days) == nullptr ||
      X509_set_pubkey(certificate.get(), key) != 1) {
    return nullptr;
  }
  return certificate;
}

bool ZRLCertificateMaker::name(X509* certificate, const std::string& organization,
                               const std::string& commonName) {
  X509_NAME* name = X509_get_subject_name(certificate);
  return X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(organization.c_str()),
                                    -1, -1, 0) == 1 &&
         X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                    -1, 0) == 1;
}

std::string ZRLCertificateMaker::serialText(const X509* certificate) {
  Bignum serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr), BN_free);
  char* text = serial ? BN_bn2hex(serial.get()) : nullptr;
  if (text == nullptr) return {};
  std::string result(text);
  OPENSSL_free(text);
  return result;
}

bool ZRLCertificateMaker::addExtension(X509* certificate, X509* issuer, int nid,
                                       const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value), X509_EXTENSION_free);
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

bool ZRLCertificateMaker::addLocalNames(X509* certificate, X509* issuer) {
  return addExtension(certificate, issuer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
}

bool ZRLCertificateMaker::writeFile(const std::string& path, mode_t mode,
                                    const std::function<bool(BIO*)>& write) {
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

bool ZRLCertificateMaker::writeKey(const std::string& path, EVP_PKEY* key) {
  return writeFile(path, 0600, [key](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  });
}

bool ZRLCertificateMaker::writeCertificates(const std::string& path,
                                            std::initializer_list<X509*> chain) {
  return writeFile(path, 0644, [chain](BIO* bio) {
    for (X509* certificate : chain) {
      if (PEM_write_bio_X509(bio, certificate) != 1) return false;
    }
    return true;
  });
}

ZRLCertificateMaker::Key ZRLCertificateMaker::readKey(const std::string& path) {
  Bio bio(BIO_new_file(path.c_str(), "r"));
  return Key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

ZRLCertificateMaker::Certificate ZRLCertificateMaker::readCertificate(const std::string& path) {
  Bio bio(BIO_new_file(path.c_str(), "r"));
  return Certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string ZRLCertificateMaker::failure(const std::string& step) {
  std::string text = step;
  if (const unsigned long code = ERR_get_error(); code != 0) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    text.append(": ").append(reason);
  }
  ERR_clear_error();
  return text;
}
