#pragma once
// A self-signed certificate and its key for a local TLS server, valid for
// localhost and 127.0.0.1. The certificate file doubles as the CA file that
// clients trust.

#include <optional>
#include <string>

class ZRLLocalCertificate {
 public:
  // Makes an EC P-256 key and a certificate (subjectAltName DNS:localhost,
  // IP:127.0.0.1, valid from an hour ago for validDays) and writes them as
  // PEM files "certificate.pem" and "key.pem" (readable by the owner only)
  // into the existing directory. Null on failure, with the reason in
  // *error when it is given.
  static std::optional<ZRLLocalCertificate> generate(const std::string& directory,
                                                     std::string* error = nullptr,
                                                     int validDays = 30);

  ZRLLocalCertificate(std::string certificateFile, std::string keyFile)
      : certificateFile_(std::move(certificateFile)), keyFile_(std::move(keyFile)) {}

  // The certificate in PEM; also the file to give clients as their CA file.
  const std::string& certificateFile() const { return certificateFile_; }
  const std::string& keyFile() const { return keyFile_; }

 private:
  std::string certificateFile_;
  std::string keyFile_;
};
