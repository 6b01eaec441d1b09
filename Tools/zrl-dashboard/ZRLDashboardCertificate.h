#pragma once
// The dashboard's own certificate authority and the server certificate it
// signs for localhost and 127.0.0.1, kept as PEM files in the data folder:
// made on first start, reused afterwards (the server certificate is made
// again when it is missing, does not match the authority, or is about to
// expire). A new authority may sign only for localhost, 127.0.0.0/8 and
// ::1 (critical X.509 name constraints).

#include <optional>
#include <string>

class ZRLDashboardCertificate {
 public:
  // Files in the folder: "ca.pem" (the authority that clients trust),
  // "ca-key.pem", "server.pem" (the server certificate followed by the
  // authority) and "server-key.pem"; keys readable by the owner only.
  static std::optional<ZRLDashboardCertificate> loadOrCreate(const std::string& directory,
                                                             std::string* error);

  const std::string& authorityFile() const { return authorityFile_; }
  const std::string& chainFile() const { return chainFile_; }
  const std::string& keyFile() const { return keyFile_; }
  // False for an authority made before names were constrained: it could
  // sign for any site.
  bool authorityConstrained() const { return authorityConstrained_; }

 private:
  std::string authorityFile_;
  std::string chainFile_;
  std::string keyFile_;
  bool authorityConstrained_ = false;
};
