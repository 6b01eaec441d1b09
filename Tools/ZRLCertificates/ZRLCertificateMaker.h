#pragma once
// The OpenSSL steps that the local TLS servers' certificates share: an EC
// P-256 key, a new certificate with a random serial, its subject and
// extensions, and PEM files written so that a crash never leaves half a file.

#include <sys/types.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

class ZRLCertificateMaker {
  template <typename T, void (*Free)(T*)>
  struct OpenSSLFree {
    void operator()(T* object) const { Free(object); }
  };
  static void freeBio(BIO* bio);

 public:
  using Key = std::unique_ptr<EVP_PKEY, OpenSSLFree<EVP_PKEY, EVP_PKEY_free>>;
  using Certificate = std::unique_ptr<X509, OpenSSLFree<X509, X509_free>>;
  using Bio = std::unique_ptr<BIO, OpenSSLFree<BIO, freeBio>>;

  // A new EC P-256 key; null on failure.
  static Key makeKey();
  // A version 3 certificate for the key with a random 127-bit serial, valid
  // from an hour ago for `days` days, not yet named, extended or signed;
  // null on failure.
  static Certificate make(EVP_PKEY* key, long days);
  // Adds O=organization and CN=commonName to the subject.
  static bool name(X509* certificate, const std::string& organization,
                   const std::string& commonName);
  // The serial number in upper-case hexadecimal; empty on failure.
  static std::string serialText(const X509* certificate);
  // Adds an extension in OpenSSL's configuration syntax ("critical,CA:TRUE");
  // the issuer is the certificate itself when it is self-signed.
  static bool addExtension(X509* certificate, X509* issuer, int nid, const char* value);
  // The names a local server answers to: subjectAltName DNS:localhost and
  // IP:127.0.0.1.
  static bool addLocalNames(X509* certificate, X509* issuer);

  // Writes a temporary file created with the mode, syncs it and renames it
  // over the path, so that a key is never readable by others, not even for
  // a moment.
  static bool writeFile(const std::string& path, mode_t mode,
                        const std::function<bool(BIO*)>& write);
  static bool writeKey(const std::string& path, EVP_PKEY* key);
  static bool writeCertificates(const std::string& path, std::initializer_list<X509*> chain);
  static Key readKey(const std::string& path);
  static Certificate readCertificate(const std::string& path);

  // The step that failed, with OpenSSL's reason for the last failure when
  // it gave one; clears OpenSSL's error queue.
  static std::string failure(const std::string& step);
};
