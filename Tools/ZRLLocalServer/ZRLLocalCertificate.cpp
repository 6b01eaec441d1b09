#include "Tools/ZRLLocalServer/ZRLLocalCertificate.h"

#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <filesystem>

#include "Tools/ZRLCertificates/ZRLCertificateMaker.h"

std::optional<ZRLLocalCertificate> ZRLLocalCertificate::generate(const std::string& directory,
                                                                 std::string* error,
                                                                 int validDays) {
  using Maker = ZRLCertificateMaker;
  auto fail = [&](const char* step) -> std::optional<ZRLLocalCertificate> {
    const std::string text = Maker::failure(step);
    if (error != nullptr) *error = text;
    return std::nullopt;
  };

  const Maker::Key key = Maker::makeKey();
  if (!key) return fail("EC key generation");
  const Maker::Certificate certificate = Maker::make(key.get(), validDays);
  if (!certificate) return fail("certificate fields");
  // A subject of its own (the serial number in it), so that certificates
  // made for different servers never stand for one another when a verifier
  // looks an issuer up by name.
  const std::string serial = Maker::serialText(certificate.get());
  if (serial.empty()) return fail("serial number");
  X509* self = certificate.get();
  if (!Maker::name(self, "ZRLLocalServer " + serial, "localhost") ||
      X509_set_issuer_name(self, X509_get_subject_name(self)) != 1) {
    return fail("certificate fields");
  }
  if (!Maker::addLocalNames(self, self) ||
      !Maker::addExtension(self, self, NID_basic_constraints, "critical,CA:TRUE") ||
      !Maker::addExtension(self, self, NID_key_usage, "critical,digitalSignature,keyCertSign") ||
      !Maker::addExtension(self, self, NID_ext_key_usage, "serverAuth") ||
      !Maker::addExtension(self, self, NID_subject_key_identifier, "hash")) {
    return fail("certificate extensions");
  }
  if (X509_sign(self, key.get(), EVP_sha256()) == 0) return fail("signing");

  const std::filesystem::path base(directory.empty() ? std::string(".") : directory);
  ZRLLocalCertificate result((base / "certificate.pem").string(), (base / "key.pem").string());
  if (!Maker::writeKey(result.keyFile_, key.get())) return fail("writing the key");
  if (!Maker::writeCertificates(result.certificateFile_, {self})) {
    return fail("writing the certificate");
  }
  return result;
}
