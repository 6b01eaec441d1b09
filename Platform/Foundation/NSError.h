#pragma once
// The platform's error value: a domain, a code and user info holding the
// localized description and the underlying error.

#include <memory>
#include <optional>
#include <string>

#include "Platform/PlatformExport.h"

inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";

class NSError;
using NSErrorPtr = std::shared_ptr<const NSError>;

class PLATFORM_EXPORT NSError {
 public:
  struct UserInfo {
    std::optional<std::string> localizedDescription;  // NSLocalizedDescriptionKey
    NSErrorPtr underlyingError;                       // NSUnderlyingErrorKey
  };

  NSError(std::string domain, long code, UserInfo userInfo = {})
      : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

  static NSErrorPtr errorWithDomain(std::string domain, long code, UserInfo userInfo = {}) {
    return std::make_shared<const NSError>(std::move(domain), code, std::move(userInfo));
  }
  static NSErrorPtr errorWithDomain(std::string domain, long code, std::string localizedDescription,
                                    NSErrorPtr underlyingError = nullptr) {
    return errorWithDomain(std::move(domain), code,
                           UserInfo{std::move(localizedDescription), std::move(underlyingError)});
  }

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  const UserInfo& userInfo() const { return userInfo_; }
  const NSErrorPtr& underlyingError() const { return userInfo_.underlyingError; }

  // The description from the user info, or the platform's generic text
  // "The operation couldn’t be completed. (DOMAIN error CODE.)".
  std::string localizedDescription() const;

  // Error Domain=DOMAIN Code=CODE "DESCRIPTION" (the user info is not printed).
  std::string description() const;

 private:
  std::string domain_;
  long code_;
  UserInfo userInfo_;
};
