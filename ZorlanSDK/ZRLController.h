#pragma once
// The host SDK's controller: event registration and delivery, the app's and
// device's identity and facts, and the host's HTTP operations. This Linux
// stand-in is configured by the program that embeds it (the demo, the
// simulator, tests); setSharedController installs another controller, which
// is how tests record every request that a plug-in makes.

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSData.h"
#include "Platform/Foundation/NSError.h"
#include "Platform/Net/NSURLRequest.h"
#include "ZorlanSDK/ZRLEvent.h"
#include "ZorlanSDK/ZRLEventListener.h"
#include "ZorlanSDK/ZorlanSDKExport.h"

class NSURLSession;

// Header fields of a request, by name; absent means none of the caller's own.
using ZRLHeaderFields = std::map<std::string, std::string>;

// Called once per request on a host thread: the body (never read by the
// plug-in), the answer (null when none arrived) and the error (null on a
// completed exchange, whatever its status).
using ZRLHTTPCompletionHandler =
    std::function<void(const std::optional<NSData>& data, const NSHTTPURLResponsePtr& response,
                       const NSErrorPtr& error)>;

// The device facts that the host keeps.
class ZORLANSDK_EXPORT ZRLDeviceInfo {
 public:
  explicit ZRLDeviceInfo(nlohmann::json facts) : facts_(std::move(facts)) {}
  virtual ~ZRLDeviceInfo() = default;
  // The facts as a JSON object: "dimensions" holding "width" and "height",
  // "safe_area_insets" holding "top", "left", "bottom" and "right".
  virtual nlohmann::json jsonDictModified() const { return facts_; }

 private:
  nlohmann::json facts_;
};

class ZORLANSDK_EXPORT ZRLController : public std::enable_shared_from_this<ZRLController> {
 public:
  ZRLController();
  virtual ~ZRLController();
  ZRLController(const ZRLController&) = delete;
  ZRLController& operator=(const ZRLController&) = delete;

  static std::shared_ptr<ZRLController> sharedController();
  static void setSharedController(std::shared_ptr<ZRLController> controller);

  // Registration: by event type, or by the key "%lu___%@" (type, identifier).
  virtual void registerForEventWithType(unsigned long eventType,
                                        const std::shared_ptr<ZRLEventListener>& listener);
  virtual void registerIdentifer(const std::string& key,
                                 const std::shared_ptr<ZRLEventListener>& listener);

  virtual std::optional<std::string> applicationIdentifier();
  virtual std::shared_ptr<ZRLDeviceInfo> deviceInfo();
  virtual std::optional<std::string> getDeviceID();
  virtual std::optional<std::string> getHardwareModel();
  virtual bool isReactNative();

  // POST of a JSON body to an absolute URL, or to a path on the configured
  // server; the handler is called exactly once.
  virtual void postDataToURL(const std::string& url, const nlohmann::json& body,
                             const std::optional<ZRLHeaderFields>& headerFields,
                             ZRLHTTPCompletionHandler completionHandler);
  // DELETE of a path on the configured server (or an absolute URL).
  virtual void makeDeleteRequestToURLPath(const std::string& path,
                                          const std::optional<ZRLHeaderFields>& headerFields,
                                          ZRLHTTPCompletionHandler completionHandler);

  // The app's side: posts an event, delivered on a host thread to every
  // listener of its type and of its "%lu___%@" key, in registration order.
  void postEvent(const ZRLEventPtr& event);
  // Blocks until every event posted so far has been delivered.
  void waitUntilEventsDelivered();

  // Configuration of the stand-in.
  void setApplicationIdentifier(std::optional<std::string> value);
  void setDeviceID(std::optional<std::string> value);
  void setHardwareModel(std::optional<std::string> value);
  void setReactNative(bool value);
  // Facts merged over the defaults ("os", "os_version", "model", ...);
  // "dimensions" comes from the screen size and "safe_area_insets" from the
  // main screen's (the key window's) unless the facts hold them.
  void setDeviceFacts(nlohmann::json facts);
  void setScreenSize(double width, double height);
  // The server that paths are resolved against, e.g. "https://127.0.0.1:8443".
  void setServerURL(std::string baseURL);
  std::string serverURL() const;
  // Idle time-out of the HTTP operations, in seconds (default 60).
  void setRequestTimeout(double seconds);
  // Trusted certificate file for the HTTP operations (a local server's).
  void setCertificateAuthorityFile(std::optional<std::string> path);

  // The key under which registerIdentifer files a listener.
  static std::string eventKey(unsigned long eventType,
                              const std::optional<std::string>& identifier);

 private:
  void send(const std::string& method, const std::string& urlOrPath, std::optional<NSData> body,
            const std::optional<ZRLHeaderFields>& headerFields, ZRLHTTPCompletionHandler handler);
  std::shared_ptr<NSURLSession> session();

  mutable std::mutex mutex_;
  std::map<unsigned long, std::vector<std::shared_ptr<ZRLEventListener>>> typeListeners_;
  std::map<std::string, std::vector<std::shared_ptr<ZRLEventListener>>> keyListeners_;
  std::optional<std::string> applicationIdentifier_;
  std::optional<std::string> deviceID_;
  std::optional<std::string> hardwareModel_;
  bool reactNative_ = false;
  nlohmann::json deviceFacts_;
  double screenWidth_ = 390;
  double screenHeight_ = 844;
  std::string serverURL_;
  double requestTimeout_ = 60;
  std::optional<std::string> caFile_;
  std::shared_ptr<NSURLSession> session_;
  dispatch_queue_t eventQueue_;
  dispatch_queue_t httpQueue_;
};
