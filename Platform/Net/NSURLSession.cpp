#include "Platform/Net/NSURLSession.h"

// Placeholder until the libcurl engine lands.
void NSURLSessionDataDelegate::didReceiveResponse(
    const NSURLSessionPtr&, const NSURLSessionDataTaskPtr&, const NSHTTPURLResponsePtr&,
    std::function<void(NSURLSessionResponseDisposition)> completionHandler) {
  completionHandler(NSURLSessionResponseDisposition::Allow);
}
void NSURLSessionDataDelegate::didReceiveData(const NSURLSessionPtr&,
                                              const NSURLSessionDataTaskPtr&, const NSData&) {}
void NSURLSessionDataDelegate::didCompleteWithError(const NSURLSessionPtr&,
                                                    const NSURLSessionDataTaskPtr&,
                                                    const NSErrorPtr&) {}
void NSURLSessionDataDelegate::didBecomeInvalidWithError(const NSURLSessionPtr&,
                                                         const NSErrorPtr&) {}
