#include "Platform/Net/NSURLError.h"

#include <curl/curl.h>

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

NSErrorPtr NSURLCURLError(long curlCode, std::string message) {
  return NSError::errorWithDomain(CURLErrorDomain, curlCode, {std::move(message), nullptr});
}

namespace {

long codeForCURLCode(CURLcode code, bool redirected) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
      // The first address is always http or https.
      return redirected ? NSURLErrorUnsupportedURL : NSURLErrorBadServerResponse;
    case CURLE_URL_MALFORMAT:
      return NSURLErrorBadURL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
      return NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
      return NSURLErrorTimedOut;
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return NSURLErrorNetworkConnectionLost;
    case CURLE_BAD_CONTENT_ENCODING:
      return NSURLErrorCannotDecodeContentData;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP_RETURNED_ERROR:
    case CURLE_RANGE_ERROR:
      return NSURLErrorBadServerResponse;
    case CURLE_TOO_MANY_REDIRECTS:
      return NSURLErrorHTTPTooManyRedirects;
    case CURLE_PEER_FAILED_VERIFICATION:
      return NSURLErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
      return NSURLErrorSecureConnectionFailed;
    default:
      return NSURLErrorUnknown;
  }
}

}  // namespace

NSErrorPtr NSURLErrorForCURLCode(long curlCode, bool redirected, std::string message) {
  const long code = codeForCURLCode(static_cast<CURLcode>(curlCode), redirected);
  return NSURLErrorWithCode(code, NSURLCURLError(curlCode, std::move(message)));
}
