#include "ZorlanSDK/ZRLController.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <future>

#include "Platform/Foundation/NSString.h"
#include "Platform/Net/NSURLSession.h"
#include "Platform/UIKit/UIScreen.h"
#include "ZorlanSDK/ZRLJSONWriter.h"
#include "ZorlanSDK/ZorlanSDK.h"

namespace {

uintptr_t initialLogLevel() {
  const char* text =
      std::getenv("ZRL_LOG_LEVEL");  // NOLINT(concurrency-mt-unsafe): read once at start
  if (text == nullptr || *text == '\0') return 2;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return (end != nullptr && *end == '\0') ? value : 2;
}

std::optional<std::string> environment(const char* name) {
  const char* text =
      std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read at configuration time
  if (text == nullptr || *text == '\0') return std::nullopt;
  return std::string(text);
}

std::string machineName() {
  utsname names{};
  if (uname(&names) != 0) return "unknown";
  return names.machine;
}

struct SharedControllerState {
  std::mutex mutex;
  std::shared_ptr<ZRLController> controller;
};

SharedControllerState& sharedState() {
  static SharedControllerState* state = new SharedControllerState();  // NOLINT: process lifetime
  return *state;
}

}  // namespace

std::atomic<uintptr_t> LOG_LEVEL{initialLogLevel()};

ZRLController::ZRLController()
    : applicationIdentifier_(environment("ZRL_APP_ID").value_or("com.zorlan.demo")),
      deviceID_(environment("ZRL_DEVICE_ID").value_or("5E1F2A3B-4C5D-4E6F-8A9B-0C1D2E3F4A5B")),
      hardwareModel_(machineName()),
      deviceFacts_(nlohmann::json::object()),
      serverURL_("https://" +
                 environment("ZRL_DASHBOARD_HOST").value_or(ZRL_DEFAULT_DASHBOARD_HOST)),
      eventQueue_(dispatch_queue_create("com.zorlan.sdk.events", DISPATCH_QUEUE_SERIAL)),
      httpQueue_(dispatch_queue_create("com.zorlan.sdk.http", DISPATCH_QUEUE_SERIAL)) {}

ZRLController::~ZRLController() {
  if (session_) session_->finishTasksAndInvalidate();
}

std::shared_ptr<ZRLController> ZRLController::sharedController() {
  SharedControllerState& state = sharedState();
  std::lock_guard lock(state.mutex);
  if (!state.controller) state.controller = std::make_shared<ZRLController>();
  return state.controller;
}

void ZRLController::setSharedController(std::shared_ptr<ZRLController> controller) {
  SharedControllerState& state = sharedState();
  std::lock_guard lock(state.mutex);
  state.controller = std::move(controller);
}

std::string ZRLController::eventKey(unsigned long eventType,
                                    const std::optional<std::string>& identifier) {
  return NSStringWithFormat("%lu___%@", eventType, identifier);
}

void ZRLController::registerForEventWithType(unsigned long eventType,
                                             const std::shared_ptr<ZRLEventListener>& listener) {
  if (!listener) return;
  std::lock_guard lock(mutex_);
  typeListeners_[eventType].push_back(listener);
}

void ZRLController::registerIdentifer(const std::string& key,
                                      const std::shared_ptr<ZRLEventListener>& listener) {
  if (!listener) return;
  std::lock_guard lock(mutex_);
  keyListeners_[key].push_back(listener);
}

void ZRLController::postEvent(const ZRLEventPtr& event) {
  if (!event) return;
  std::vector<std::shared_ptr<ZRLEventListener>> listeners;
  {
    std::lock_guard lock(mutex_);
    if (auto it = typeListeners_.find(event->eventType()); it != typeListeners_.end()) {
      listeners = it->second;
    }
    if (auto it = keyListeners_.find(eventKey(event->eventType(), event->identifier()));
        it != keyListeners_.end()) {
      listeners.insert(listeners.end(), it->second.begin(), it->second.end());
    }
  }
  dispatch_async(eventQueue_, [event, listeners = std::move(listeners)] {
    for (const auto& listener : listeners)
      listener->onEvent(event);
  });
}

void ZRLController::waitUntilEventsDelivered() {
  dispatch_sync(eventQueue_, [] {});
}

std::optional<std::string> ZRLController::applicationIdentifier() {
  std::lock_guard lock(mutex_);
  return applicationIdentifier_;
}

std::shared_ptr<ZRLDeviceInfo> ZRLController::deviceInfo() {
  // The screen's insets are every window's (and so the key window's) safe
  // area; the screen may be read from the background queue that asks.
  const UIEdgeInsets insets = UIScreen::mainScreen()->safeAreaInsets();
  std::lock_guard lock(mutex_);
  nlohmann::json facts = {
      {"os", "iOS"},
      {"os_version", "17.5"},
      {"model", hardwareModel_ ? nlohmann::json(*hardwareModel_) : nlohmann::json()},
      {"react_native", reactNative_},
      {"dimensions", {{"width", screenWidth_}, {"height", screenHeight_}}},
      {"safe_area_insets",
       {{"top", insets.top},
        {"left", insets.left},
        {"bottom", insets.bottom},
        {"right", insets.right}}}};
  if (deviceFacts_.is_object()) {
    for (const auto& [key, value] : deviceFacts_.items())
      facts[key] = value;
  }
  return std::make_shared<ZRLDeviceInfo>(std::move(facts));
}

std::optional<std::string> ZRLController::getDeviceID() {
  std::lock_guard lock(mutex_);
  return deviceID_;
}

std::optional<std::string> ZRLController::getHardwareModel() {
  std::lock_guard lock(mutex_);
  return hardwareModel_;
}

bool ZRLController::isReactNative() {
  std::lock_guard lock(mutex_);
  return reactNative_;
}

void ZRLController::setApplicationIdentifier(std::optional<std::string> value) {
  std::lock_guard lock(mutex_);
  applicationIdentifier_ = std::move(value);
}

void ZRLController::setDeviceID(std::optional<std::string> value) {
  std::lock_guard lock(mutex_);
  deviceID_ = std::move(value);
}

void ZRLController::setHardwareModel(std::optional<std::string> value) {
  std::lock_guard lock(mutex_);
  hardwareModel_ = std::move(value);
}

void ZRLController::setReactNative(bool value) {
  std::lock_guard lock(mutex_);
  reactNative_ = value;
}

void ZRLController::setDeviceFacts(nlohmann::json facts) {
  std::lock_guard lock(mutex_);
  deviceFacts_ = std::move(facts);
}

void ZRLController::setScreenSize(double width, double height) {
  std::lock_guard lock(mutex_);
  screenWidth_ = width;
  screenHeight_ = height;
}

void ZRLController::setServerURL(std::string baseURL) {
  while (!baseURL.empty() && baseURL.back() == '/')
    baseURL.pop_back();
  std::lock_guard lock(mutex_);
  serverURL_ = std::move(baseURL);
}

std::string ZRLController::serverURL() const {
  std::lock_guard lock(mutex_);
  return serverURL_;
}

void ZRLController::setRequestTimeout(double seconds) {
  std::lock_guard lock(mutex_);
  requestTimeout_ = seconds;
}

void ZRLController::setCertificateAuthorityFile(std::optional<std::string> path) {
  std::shared_ptr<NSURLSession> old;
  {
    std::lock_guard lock(mutex_);
    caFile_ = std::move(path);
    old = std::move(session_);
  }
  if (old) old->finishTasksAndInvalidate();
}

std::shared_ptr<NSURLSession> ZRLController::session() {
  std::lock_guard lock(mutex_);
  if (!session_) {
    auto configuration = NSURLSessionConfiguration::ephemeralSessionConfiguration();
    if (caFile_) configuration.setTLSCertificateAuthorityFile(caFile_);
    session_ = NSURLSession::sessionWithConfiguration(configuration, nullptr, httpQueue_);
  }
  return session_;
}

void ZRLController::postDataToURL(const std::string& url, const nlohmann::json& body,
                                  const std::optional<ZRLHeaderFields>& headerFields,
                                  ZRLHTTPCompletionHandler completionHandler) {
  // Text that is not valid UTF-8 is sent with replacement characters rather
  // than failing the whole request.
  send("POST", url, ZRLJSONWriter::stringWithJSONObject(body), headerFields,
       std::move(completionHandler));
}

void ZRLController::makeDeleteRequestToURLPath(const std::string& path,
                                               const std::optional<ZRLHeaderFields>& headerFields,
                                               ZRLHTTPCompletionHandler completionHandler) {
  send("DELETE", path, std::nullopt, headerFields, std::move(completionHandler));
}

void ZRLController::send(const std::string& method, const std::string& urlOrPath,
                         std::optional<NSData> body,
                         const std::optional<ZRLHeaderFields>& headerFields,
                         ZRLHTTPCompletionHandler handler) {
  auto once = std::make_shared<ZRLHTTPCompletionHandler>(std::move(handler));
  auto call = [once](const std::optional<NSData>& data, const NSHTTPURLResponsePtr& response,
                     const NSErrorPtr& error) {
    if (*once) (*once)(data, response, error);
  };

  std::string address = urlOrPath;
  if (urlOrPath.find("://") == std::string::npos) {
    std::string base = serverURL();
    if (!urlOrPath.empty() && urlOrPath.front() != '/') base.push_back('/');
    address = base + urlOrPath;
  }
  NSURLPtr url = NSURL::URLWithString(address);
  if (!url) {
    auto error = NSURLErrorWithCode(NSURLErrorBadURL);
    dispatch_async(httpQueue_, [call, error] { call(std::nullopt, nullptr, error); });
    return;
  }

  double timeout = 60;
  {
    std::lock_guard lock(mutex_);
    timeout = requestTimeout_;
  }
  NSMutableURLRequest request(url, NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData, timeout);
  request.setHTTPMethod(method);
  request.setValue("application/json", "Accept");
  if (body) request.setValue("application/json", "Content-Type");
  if (headerFields) {
    for (const auto& [name, value] : *headerFields)
      request.setValue(value, name);
  }
  request.setHTTPBody(std::move(body));
  session()->dataTaskWithRequest(request, call)->resume();
}
