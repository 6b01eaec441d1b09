#include "Platform/Net/NSURLError.h"

std::string NSURLErrorLocalizedDescription(long code) {
  switch (code) {
    case NSURLErrorCancelled:
      return "cancelled";
    case NSURLErrorBadURL:
      return "bad URL";
    case NSURLErrorTimedOut:
      return "The request timed out.";
    case NSURLErrorUnsupportedURL:
      return "unsupported URL";
    case NSURLErrorCannotFindHost:
      return "A server with the specified hostname could not be found.";
    case NSURLErrorCannotConnectToHost:
      return "Could not connect to the server.";
    case NSURLErrorNetworkConnectionLost:
      return "The network connection was lost.";
    case NSURLErrorHTTPTooManyRedirects:
      return "too many HTTP redirects";
    case NSURLErrorBadServerResponse:
      return "bad server response";
    case NSURLErrorCannotDecodeContentData:
      return "cannot decode raw data";
    case NSURLErrorAppTransportSecurityRequiresSecureConnection:
      return "The resource could not be loaded because the App Transport Security policy "
             "requires the use of a secure connection.";
    case NSURLErrorDataLengthExceedsMaximum:
      return "resource exceeds maximum size";
    case NSURLErrorSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case NSURLErrorServerCertificateUntrusted:
      return "The certificate for this server is invalid.";
    default:
      return "unknown error";
  }
}

NSErrorPtr NSURLErrorWithCode(long code, NSErrorPtr underlyingError) {
  return NSError::errorWithDomain(
      NSURLErrorDomain, code, {NSURLErrorLocalizedDescription(code), std::move(underlyingError)});
}
