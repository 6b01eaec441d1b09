#pragma once
// Errors of the URL loading system: the NSURLErrorDomain codes, the
// platform's descriptions of them, and the codes that libcurl's results
// become.

#include <string>

#include "Platform/Foundation/NSError.h"
#include "Platform/PlatformExport.h"

inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr long NSURLErrorUnknown = -1;
inline constexpr long NSURLErrorCancelled = -999;
inline constexpr long NSURLErrorBadURL = -1000;
inline constexpr long NSURLErrorTimedOut = -1001;
inline constexpr long NSURLErrorUnsupportedURL = -1002;
inline constexpr long NSURLErrorCannotFindHost = -1003;
inline constexpr long NSURLErrorCannotConnectToHost = -1004;
inline constexpr long NSURLErrorNetworkConnectionLost = -1005;
inline constexpr long NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr long NSURLErrorBadServerResponse = -1011;
inline constexpr long NSURLErrorCannotDecodeContentData = -1016;
// An https request redirected to plain http.
inline constexpr long NSURLErrorAppTransportSecurityRequiresSecureConnection = -1022;
inline constexpr long NSURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr long NSURLErrorSecureConnectionFailed = -1200;
inline constexpr long NSURLErrorServerCertificateUntrusted = -1202;

// The domain of the underlying errors that the URL session attaches: the
// code is libcurl's, the description its message for the failed transfer.
inline constexpr const char* CURLErrorDomain = "CURLErrorDomain";

// The platform's text for a code of NSURLErrorDomain ("The request timed
// out.", "cancelled", ...); "unknown error" for a code it has no text for.
PLATFORM_EXPORT std::string NSURLErrorLocalizedDescription(long code);

// An error in NSURLErrorDomain with the platform's description.
PLATFORM_EXPORT NSErrorPtr NSURLErrorWithCode(long code, NSErrorPtr underlyingError = nullptr);

// An error in CURLErrorDomain: libcurl's code and its message.
PLATFORM_EXPORT NSErrorPtr NSURLCURLError(long curlCode, std::string message);

// The NSURLErrorDomain error that a transfer failed with libcurl's code
// (a CURLcode) ends with, libcurl's code and message underneath. An
// unsupported protocol is a redirect's to another scheme when the transfer
// was redirected, and otherwise an answer without any HTTP head.
PLATFORM_EXPORT NSErrorPtr NSURLErrorForCURLCode(long curlCode, bool redirected,
                                                 std::string message);
