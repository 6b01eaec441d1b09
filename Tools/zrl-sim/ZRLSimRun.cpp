// The run: the host, the plug-in and the scene, touches, the rendered
// screen and the main queue. The commands are in ZRLSimCommands.cpp, the
// traffic's lines in ZRLSimTrace.
#include "Tools/zrl-sim/ZRLSimRun.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "Platform/Net/NSURLSession.h"
#include "Platform/UIKit/UIKit.h"
#include "Tools/zrl-sim/ZRLSimCapture.h"
#include "Tools/zrl-sim/ZRLSimInput.h"
#include "Tools/zrl-sim/ZRLSimTrace.h"
#include "ZRLRTAPlugin/ZRLPreviewView.h"
#include "ZorlanSDK/ZRLPluginLoader.h"
#include "ZorlanSDK/ZorlanPluginInspection.h"
#include "ZorlanSDK/ZorlanSDK.h"

using namespace std::chrono_literals;

namespace {

// Generous: the plug-in comes up in milliseconds, an answer from a local
// server in well under a second even under a sanitizer.
constexpr auto kStartTimeout = 30s;
constexpr auto kFinishTimeout = 30s;

}  // namespace

std::optional<std::string> ZRLSimCertificateAuthority(const ZRLSimRunOptions& options) {
  if (options.caFile) return options.caFile;
  if (options.dashboardData) {
    return (std::filesystem::path(*options.dashboardData) / "ca.pem").string();
  }
  if (NSURLSessionConfiguration::defaultCertificateAuthorityFile()) return std::nullopt;
  // The dashboard's own authority, where a dashboard run without --data
  // keeps it.
  const char* data = std::getenv("XDG_DATA_HOME");  // NOLINT(concurrency-mt-unsafe)
  const char* home = std::getenv("HOME");           // NOLINT(concurrency-mt-unsafe)
  std::filesystem::path folder;
  if (data != nullptr && *data == '/') {
    folder = std::filesystem::path(data) / "zrl-dashboard";
  } else if (home != nullptr && *home != '\0') {
    folder = std::filesystem::path(home) / ".local/share/zrl-dashboard";
  }
  std::error_code ignored;
  if (folder.empty() || !std::filesystem::is_regular_file(folder / "ca.pem", ignored)) {
    return std::nullopt;
  }
  return (folder / "ca.pem").string();
}

ZRLSimRun::ZRLSimRun(ZRLSimScene scene) : scene_(std::move(scene)) {}

ZRLSimRun::~ZRLSimRun() {
  trace_.reset();  // no more lines, before the plug-in and the app go
}

std::unique_ptr<ZRLSimRun> ZRLSimRun::start(const ZRLSimRunOptions& options, int* status,
                                            std::string* error) {
  const auto fail = [&](int code, std::string message) -> std::unique_ptr<ZRLSimRun> {
    *status = code;
    *error = std::move(message);
    return nullptr;
  };
  std::optional<ZRLSimScene> scene = ZRLSimScene::loadFile(options.scenePath, *error);
  if (!scene) return fail(kZRLSimExitUsage, *error);
  const CGSize size = scene->screenSize();

  const std::optional<std::string> caFile = ZRLSimCertificateAuthority(options);
  if (caFile) {
    std::ifstream file(*caFile);
    if (!file || file.peek() == std::ifstream::traits_type::eof()) {
      return fail(kZRLSimExitUsage, *caFile + ": the CA file cannot be read");
    }
    NSURLSessionConfiguration::setDefaultCertificateAuthorityFile(caFile);
  }
  if (options.safeTop && !(*options.safeTop >= 0 && *options.safeTop < size.height)) {
    return fail(kZRLSimExitUsage, "--safe-top must lie between 0 and the screen's height");
  }

  if (options.defaultsPath) NSUserDefaults::setStandardUserDefaultsPath(*options.defaultsPath);
  if (options.logLevel) LOG_LEVEL.store(*options.logLevel);
  // The plug-in's dashboard, and the host's default server: both read it
  // from the environment when they first need it, after this.
  if (options.dashboardHost) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread reads it yet
    ::setenv("ZRL_DASHBOARD_HOST", options.dashboardHost->c_str(), 1);
  }

  std::unique_ptr<ZRLSimRun> run(new ZRLSimRun(std::move(*scene)));
  run->plugin_ = ZRLPluginLoader::load(ZRLSimWriteErrorLine).plugin;
  run->inspection_ = std::dynamic_pointer_cast<ZorlanPluginInspection>(run->plugin_);
  // A failed test-device request puts the button back on the main queue:
  // an answer is a change once the blocks queued by then have run.
  run->trace_ = std::make_unique<ZRLSimTrace>(
      [changes = run->changes_] {
        dispatch_async(dispatch_get_main_queue(), [changes] { changes->fetch_add(1); });
      },
      run->inspection_);
  ZRLController& host = *run->trace_->host();
  host.setApplicationIdentifier(options.appId);
  host.setDeviceID(options.deviceId);
  host.setHardwareModel(options.model);
  host.setReactNative(run->scene_.isReactNative());
  host.setScreenSize(size.width, size.height);
  if (options.serverURL) host.setServerURL(*options.serverURL);
  host.setCertificateAuthorityFile(caFile);
  ZRLController::setSharedController(run->trace_->host());

  UIEdgeInsets insets = UIScreen::mainScreen()->safeAreaInsets();
  if (options.safeTop) insets.top = *options.safeTop;
  UIScreen::mainScreen()->setSafeAreaInsets(insets);

  // The app: one window scene, the first screen as the key window, and
  // the host telling its listeners which screen that is.
  run->windowScene_ = std::make_shared<UIWindowScene>();
  UIApplication::sharedApplication().connectScene(run->windowScene_);
  const std::string& initial = run->scene_.initialScreen();
  run->appWindow_ = run->scene_.show(initial);
  run->appWindow_->setWindowScene(run->windowScene_);

  if (run->plugin_) run->plugin_->initialize(nlohmann::json::object());
  host.postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeScreenChange, initial));
  if (run->plugin_ &&
      !run->runMainQueue([] { return floatingControl().has_value(); },
                         std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout))) {
    return fail(kZRLSimExitFailure, "the plug-in did not put up its floating button");
  }
  host.waitUntilEventsDelivered();
  run->changed();
  return run;
}

std::optional<ZRLSimRun::FloatingControl> ZRLSimRun::floatingControl() {
  for (const auto& window : UIApplication::sharedApplication().windows()) {
    if (std::string_view(window->className()) != "ZRLFloatingButtonWindow") continue;
    FloatingControl control;
    for (const UIViewPtr& view : window->subviews()) {
      auto button = std::dynamic_pointer_cast<UIButton>(view);
      if (!button) continue;
      if (std::string_view(view->className()) == "ZRLFloatingButton") {
        control.button = view;
      } else if (button->titleForState(UIControlStateNormal) == "Select Screen") {
        control.selectScreen = std::move(button);
      } else {
        control.testDevice = std::move(button);
      }
    }
    if (control.button && control.selectScreen && control.testDevice) return control;
  }
  return std::nullopt;
}

bool ZRLSimRun::FloatingControl::isTestDevice() const {
  return testDevice->titleForState(UIControlStateNormal) == "Remove Test Device";
}

bool ZRLSimRun::FloatingControl::isSelectScreenGreen() const {
  const UIColorPtr background = selectScreen->backgroundColor();
  return background && *background == *UIColor::greenColor();
}

void ZRLSimRun::noticeCard() {
  UIViewPtr card;
  if (const auto window = UIApplication::sharedApplication().keyWindow()) {
    for (const UIViewPtr& view : window->subviews()) {
      if (view->tag() == ZRLPreviewViewTag) card = view;
    }
  }
  if (card != lastCard_.lock()) {
    lastCard_ = card;
    changed();
  }
}

bool ZRLSimRun::runMainQueue(const std::function<bool()>& condition,
                             std::chrono::milliseconds timeout) {
  return DispatchMainLoop::runUntil(
      [&] {
        noticeCard();
        if (waitTick_) waitTick_();
        return condition();
      },
      timeout);
}

bool ZRLSimRun::onScreen(CGPoint point) const {
  const CGSize size = scene_.screenSize();
  return point.x >= 0 && point.y >= 0 && point.x <= size.width && point.y <= size.height;
}

CGPoint ZRLSimRun::clamped(CGPoint point) const {
  const CGSize size = scene_.screenSize();
  const auto clamp = [](CGFloat value, CGFloat high) {
    return std::isfinite(value) ? std::clamp<CGFloat>(value, 0, high) : 0;
  };
  return CGPointMake(clamp(point.x, size.width), clamp(point.y, size.height));
}

CGSize ZRLSimRun::screenSize() const {
  return scene_.screenSize();
}

uint64_t ZRLSimRun::changeCount() const {
  return changes_->load();
}

void ZRLSimRun::step() {
  DispatchMainLoop::drain();
  noticeCard();
}

void ZRLSimRun::setWaitTick(std::function<void()> tick) {
  waitTick_ = std::move(tick);
}

bool ZRLSimRun::touchDown(CGPoint point) {
  if (touching_) touchCancel(point);
  touching_ = true;
  const bool taken = UIApplication::sharedApplication().sendTouchBegan(clamped(point));
  changed();
  return taken;
}

void ZRLSimRun::touchMove(CGPoint point) {
  if (!touching_) return;
  UIApplication::sharedApplication().sendTouchMoved(clamped(point));
  changed();
}

void ZRLSimRun::touchUp(CGPoint point) {
  if (!touching_) return;
  // The action buttons act when the touch ends inside them: one that
  // flipped the test-device flag, or "Select Screen"'s colour, started a
  // request.
  const std::optional<FloatingControl> control = floatingControl();
  const bool testDeviceBefore = control && control->isTestDevice();
  const bool greenBefore = control && control->isSelectScreenGreen();
  UIApplication::sharedApplication().sendTouchEnded(clamped(point));
  touching_ = false;
  if (control && control->isTestDevice() != testDeviceBefore) ++requestsStarted_;
  if (control && control->isSelectScreenGreen() != greenBefore) ++requestsStarted_;
  changed();
}

void ZRLSimRun::touchCancel(CGPoint point) {
  if (!touching_) return;
  UIApplication::sharedApplication().sendTouchCancelled(clamped(point));
  touching_ = false;
  changed();
}

UIImagePtr ZRLSimRun::render(CGFloat scale) const {
  const CGSize size = screenSize();
  UIGraphicsBeginImageContextWithOptions(size, false, scale);
  CGContextRef context = UIGraphicsGetCurrentContext();
  if (context == nullptr) return nullptr;
  cairo_t* cairo = CGContextGetCairo(context);
  cairo_save(cairo);
  cairo_set_source_rgb(cairo, 0, 0, 0);
  cairo_paint(cairo);
  cairo_restore(cairo);
  for (const auto& window : UIApplication::sharedApplication().windows()) {
    if (window->isHidden()) continue;
    const CGRect frame = window->frame();
    cairo_save(cairo);
    cairo_translate(cairo, frame.origin.x, frame.origin.y);
    window->layer().renderInContext(context);
    cairo_restore(cairo);
  }
  UIImagePtr image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return image;
}

void ZRLSimRun::finish() {
  if (touching_) touchCancel(CGPointMake(0, 0));
  const bool answered =
      runMainQueue([&] { return trace_->requestsAnswered() >= requestsStarted_; },
                   std::chrono::duration_cast<std::chrono::milliseconds>(kFinishTimeout));
  if (!answered) {
    ZRLSimWriteErrorLine(
        "zrl-sim: " + std::to_string(requestsStarted_ - trace_->requestsAnswered()) +
        " request(s) still unanswered at the end of the run");
  }
  trace_->host()->waitUntilEventsDelivered();
  DispatchMainLoop::drain();
}
