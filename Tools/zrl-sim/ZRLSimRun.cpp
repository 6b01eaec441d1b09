#include "Tools/zrl-sim/ZRLSimRun.h"

#include <cairo.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Foundation/NSUserDefaults.h"
#include "Platform/Net/NSURLSession.h"
#include "Platform/UIKit/UIKit.h"
#include "Tools/zrl-sim/ZRLSimCapture.h"
#include "Tools/zrl-sim/ZRLSimInput.h"
#include "Tools/zrl-sim/ZRLSimScene.h"
#include "ZRLRTAPlugin/ZRLPreviewBuilder.h"
#include "ZRLWYSIWYGPlugin/ZRLFloatingButton.h"
#include "ZRLWYSIWYGPlugin/ZRLWYSIWYGPlugin.h"
#include "ZorlanSDK/ZRLJSONWriter.h"

using namespace std::chrono_literals;

namespace {

// Generous: the plug-in comes up in milliseconds, an answer from a local
// server in well under a second even under a sanitizer.
constexpr auto kStartTimeout = 30s;
constexpr auto kFinishTimeout = 30s;
constexpr long kMaximumDragSteps = 10000;
constexpr double kMaximumWaitSeconds = 86400;

// The configuration of a "builder:" line: compact JSON, written without
// recursion, deeper containers cut (the line stays JSON).
std::string compactJSON(const nlohmann::json& value) {
  return ZRLJSONWriter::stringWithJSONObject(value, kZRLSimBuilderLineDepth);
}

// "PATH?QUERY" of an absolute URL, or of a path as the host resolves it.
std::string pathAndQuery(const std::string& urlOrPath) {
  if (urlOrPath.find("://") == std::string::npos) {
    return (urlOrPath.starts_with('/') ? "" : "/") + urlOrPath;
  }
  const NSURLPtr url = NSURL::URLWithString(urlOrPath);
  if (!url) return urlOrPath;
  return url->path() + (url->query() ? "?" + *url->query() : std::string());
}

// The host as the simulator runs it: the stand-in controller, writing one
// line for each request when it has been answered.
class ZRLSimHost : public ZRLController {
 public:
  explicit ZRLSimHost(std::function<void()> answered) : answered_(std::move(answered)) {}

  void postDataToURL(const std::string& url, const nlohmann::json& body,
                     const std::optional<ZRLHeaderFields>& headerFields,
                     ZRLHTTPCompletionHandler completionHandler) override {
    ZRLController::postDataToURL(url, body, headerFields,
                                 traced("POST " + pathAndQuery(url), std::move(completionHandler)));
  }

  void makeDeleteRequestToURLPath(const std::string& path,
                                  const std::optional<ZRLHeaderFields>& headerFields,
                                  ZRLHTTPCompletionHandler completionHandler) override {
    ZRLController::makeDeleteRequestToURLPath(
        path, headerFields, traced("DELETE " + pathAndQuery(path), std::move(completionHandler)));
  }

 private:
  ZRLHTTPCompletionHandler traced(std::string request, ZRLHTTPCompletionHandler handler) {
    return [request = std::move(request), handler = std::move(handler), answered = answered_](
               const std::optional<NSData>& data, const NSHTTPURLResponsePtr& response,
               const NSErrorPtr& error) {
      std::string outcome;
      if (error) {
        outcome = "error " + std::to_string(error->code());
      } else if (response) {
        outcome = std::to_string(response->statusCode());
      } else {
        outcome = "error 0";
      }
      // The plug-in's handler first: whatever it puts on the main queue (the
      // undo of a refused test-device request) is queued before anyone
      // who reads the line can send the next command.
      if (handler) handler(data, response, error);
      ZRLSimWriteErrorLine("request: " + request + " -> " + outcome);
      if (answered) answered();
    };
  }

  std::function<void()> answered_;
};

// A number as JSON: whole numbers without a fraction.
nlohmann::ordered_json number(CGFloat value) {
  const auto v = static_cast<double>(value);
  if (std::isfinite(v) && std::trunc(v) == v && std::fabs(v) < 9.0e15) {
    return static_cast<int64_t>(v);
  }
  if (!std::isfinite(v)) return nullptr;
  return v;
}

nlohmann::ordered_json frameJSON(CGRect frame) {
  return {number(frame.origin.x), number(frame.origin.y), number(frame.size.width),
          number(frame.size.height)};
}

// A rectangle of the preview as the layout writes bounds: each edge in
// whole window points, truncated.
nlohmann::ordered_json edgesJSON(CGRect rect) {
  nlohmann::ordered_json edges;
  edges["top"] = CGFloatToInt32(rect.origin.y);
  edges["left"] = CGFloatToInt32(rect.origin.x);
  edges["bottom"] = CGFloatToInt32(rect.origin.y + rect.size.height);
  edges["right"] = CGFloatToInt32(rect.origin.x + rect.size.width);
  return edges;
}

nlohmann::ordered_json optionalEdgesJSON(const std::optional<CGRect>& rect) {
  return rect ? edgesJSON(*rect) : nlohmann::ordered_json(nullptr);
}

// The preview on screen, as `dump` reports it; null when none is shown.
nlohmann::ordered_json previewJSON() {
  const std::optional<ZRLPreviewShown> shown = ZRLPreviewPresenter::shown();
  if (!shown) return nullptr;
  const auto text = [](const std::optional<std::string>& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
  };
  nlohmann::ordered_json preview;
  preview["display_type"] = text(shown->content.displayType);
  preview["view_id"] = text(shown->content.viewId);
  preview["title"] = text(shown->content.title);
  preview["text"] = text(shown->content.text);
  preview["target"] = optionalEdgesJSON(shown->placement.target);
  preview["spotlight"] = optionalEdgesJSON(shown->placement.spotlight);
  preview["card"] = edgesJSON(shown->placement.card);
  return preview;
}

nlohmann::ordered_json actionButtonJSON(const UIButtonPtr& button) {
  nlohmann::ordered_json entry;
  if (!button) return entry;
  const UIColorPtr background = button->backgroundColor();
  const bool green = background && *background == *UIColor::greenColor();
  entry["frame"] = frameJSON(button->frame());
  entry["hidden"] = button->isHidden();
  entry["title"] = button->currentTitle().value_or("");
  entry["color"] = green ? "green" : "orange";
  return entry;
}

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> result;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
      ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t')
      ++i;
    if (i > start) result.push_back(line.substr(start, i - start));
  }
  return result;
}

std::optional<double> parseNumber(std::string_view text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [next, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || next != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::string trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

struct ZRLSimRun::State : std::enable_shared_from_this<ZRLSimRun::State> {
  std::optional<ZRLSimScene> scene;
  std::shared_ptr<UIWindowScene> windowScene;
  std::shared_ptr<UIWindow> appWindow;
  std::shared_ptr<ZRLSimHost> host;
  std::shared_ptr<ZRLWYSIWYGPlugin> plugin;
  std::function<void()> waitTick;

  std::atomic<uint64_t> changes{0};
  // Requests that taps started (main thread) and answers that came back.
  uint64_t requestsStarted = 0;
  std::atomic<uint64_t> requestsAnswered{0};

  bool touching = false;  // a finger is on the glass

  // The streams that the plug-in's preview channel opened.
  struct Stream {
    std::mutex mutex;
    bool open = false;
  };
  std::mutex streamMutex;
  std::shared_ptr<Stream> currentStream;

  void changed() { changes.fetch_add(1); }

  // Counts a change once the main-queue blocks posted so far have run.
  void changedAfterMainQueue() {
    std::weak_ptr<State> weak = weak_from_this();
    dispatch_async(dispatch_get_main_queue(), [weak] {
      if (auto self = weak.lock()) self->changed();
    });
  }

  std::shared_ptr<ZRLFloatingButton> button() const { return plugin->zrlButton(); }

  // The builders put their preview card into the key window in a block of
  // their own on the main queue; a new card is a change.
  std::weak_ptr<UIView> lastCard;
  void noticeCard() {
    UIViewPtr card;
    if (const auto window = UIApplication::sharedApplication().keyWindow()) {
      for (const UIViewPtr& view : window->subviews()) {
        if (view->tag() == ZRLPreviewViewTag) card = view;
      }
    }
    if (card != lastCard.lock()) {
      lastCard = card;
      changed();
    }
  }

  bool runMainQueue(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return DispatchMainLoop::runUntil(
        [&] {
          noticeCard();
          if (waitTick) waitTick();
          return condition();
        },
        timeout);
  }

  void watchStream(const std::shared_ptr<LDEventSource>& client) {
    auto stream = std::make_shared<Stream>();
    std::shared_ptr<Stream> previous;
    {
      std::lock_guard lock(streamMutex);
      previous = std::exchange(currentStream, stream);
    }
    // The channel closes the stream it held, which then reports nothing.
    if (previous) {
      std::lock_guard lock(previous->mutex);
      if (previous->open) ZRLSimWriteErrorLine("stream: closed");
      previous->open = false;
    }
    const NSURLPtr url = client->eventURL();
    const std::string address = url ? pathAndQuery(url->absoluteString()) : "(null)";
    client->onOpen([stream, address](const LDEventPtr&) {
      std::lock_guard lock(stream->mutex);
      stream->open = true;
      ZRLSimWriteErrorLine("stream: open " + address);
    });
    client->onError([stream](const LDEventPtr& event) {
      std::lock_guard lock(stream->mutex);
      const NSErrorPtr error = event ? event->error() : nullptr;
      // The client's own "closed" error carries no domain: the server ended
      // the stream. Anything else is a failure with its code.
      if (!error || (error->domain().empty() && error->code() == LDEventReadyStateClosed)) {
        ZRLSimWriteErrorLine("stream: closed");
      } else {
        ZRLSimWriteErrorLine("stream: error " + std::to_string(error->code()));
      }
      stream->open = false;
    });
  }

  bool onScreen(CGPoint point) const {
    const CGSize size = scene->screenSize();
    return point.x >= 0 && point.y >= 0 && point.x <= size.width && point.y <= size.height;
  }

  CGPoint clamped(CGPoint point) const {
    const CGSize size = scene->screenSize();
    const auto clamp = [](CGFloat value, CGFloat high) {
      return std::isfinite(value) ? std::clamp<CGFloat>(value, 0, high) : 0;
    };
    return CGPointMake(clamp(point.x, size.width), clamp(point.y, size.height));
  }
};

ZRLSimRun::ZRLSimRun(std::shared_ptr<State> state) : state_(std::move(state)) {}

ZRLSimRun::~ZRLSimRun() {
  ZRLPreviewBuilder::setObserver({});
  ZRLEventSource::setClientObserver({});
}

std::unique_ptr<ZRLSimRun> ZRLSimRun::start(const ZRLSimRunOptions& options, int* status,
                                            std::string* error) {
  const auto fail = [&](int code, std::string message) -> std::unique_ptr<ZRLSimRun> {
    *status = code;
    *error = std::move(message);
    return nullptr;
  };
  auto state = std::make_shared<State>();
  state->scene = ZRLSimScene::loadFile(options.scenePath, *error);
  if (!state->scene) return fail(kZRLSimExitUsage, *error);
  const CGSize size = state->scene->screenSize();

  std::optional<std::string> caFile = options.caFile;
  if (!caFile && options.dashboardData) {
    caFile = (std::filesystem::path(*options.dashboardData) / "ca.pem").string();
  }
  if (!caFile && !NSURLSessionConfiguration::defaultCertificateAuthorityFile()) {
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
    if (!folder.empty() && std::filesystem::is_regular_file(folder / "ca.pem", ignored)) {
      caFile = (folder / "ca.pem").string();
    }
  }
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
  if (options.dashboardHost) ZRLDashboard::setHost(*options.dashboardHost);

  std::weak_ptr<State> weak = state;
  state->host = std::make_shared<ZRLSimHost>([weak] {
    if (auto self = weak.lock()) {
      self->requestsAnswered.fetch_add(1);
      // A failed test-device request puts the button back on the main queue.
      self->changedAfterMainQueue();
    }
  });
  ZRLSimHost& host = *state->host;
  host.setApplicationIdentifier(options.appId);
  host.setDeviceID(options.deviceId);
  host.setHardwareModel(options.model);
  host.setReactNative(state->scene->isReactNative());
  host.setScreenSize(size.width, size.height);
  host.setServerURL(options.serverURL.value_or("https://" + ZRLDashboard::host()));
  host.setCertificateAuthorityFile(caFile);
  ZRLController::setSharedController(state->host);

  UIEdgeInsets insets = UIScreen::mainScreen()->safeAreaInsets();
  if (options.safeTop) insets.top = *options.safeTop;
  UIScreen::mainScreen()->setSafeAreaInsets(insets);

  // The line goes out from the main queue, after the preview card that the
  // builder queued there: a reader that sees it can snapshot the card.
  ZRLPreviewBuilder::setObserver([](const std::string& displayType, const nlohmann::json& config) {
    dispatch_async(dispatch_get_main_queue(),
                   [line = "builder: " + displayType + " " + compactJSON(config)] {
                     ZRLSimWriteErrorLine(line);
                   });
  });
  ZRLEventSource::setClientObserver([weak](const std::shared_ptr<LDEventSource>& client) {
    if (auto self = weak.lock()) self->watchStream(client);
  });

  // The app: one window scene, the first screen as the key window, and
  // the host telling its listeners which screen that is.
  state->windowScene = std::make_shared<UIWindowScene>();
  UIApplication::sharedApplication().connectScene(state->windowScene);
  const std::string& initial = state->scene->initialScreen();
  state->appWindow = state->scene->show(initial);
  state->appWindow->setWindowScene(state->windowScene);

  state->plugin = std::make_shared<ZRLWYSIWYGPlugin>();
  state->plugin->initialize(nlohmann::json::object());
  host.postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeScreenChange, initial));
  if (!state->runMainQueue([&] { return state->plugin->zrlButton() != nullptr; },
                           std::chrono::duration_cast<std::chrono::milliseconds>(kStartTimeout))) {
    return fail(kZRLSimExitFailure, "the plug-in did not put up its floating button");
  }
  host.waitUntilEventsDelivered();
  state->changed();
  return std::unique_ptr<ZRLSimRun>(new ZRLSimRun(std::move(state)));
}

CGSize ZRLSimRun::screenSize() const {
  return state_->scene->screenSize();
}

uint64_t ZRLSimRun::changeCount() const {
  return state_->changes.load();
}

void ZRLSimRun::step() {
  DispatchMainLoop::drain();
  state_->noticeCard();
}

void ZRLSimRun::setWaitTick(std::function<void()> tick) {
  state_->waitTick = std::move(tick);
}

bool ZRLSimRun::touchDown(CGPoint point) {
  State& state = *state_;
  if (state.touching) touchCancel(point);
  state.touching = true;
  const bool taken = UIApplication::sharedApplication().sendTouchBegan(state.clamped(point));
  state.changed();
  return taken;
}

void ZRLSimRun::touchMove(CGPoint point) {
  if (!state_->touching) return;
  UIApplication::sharedApplication().sendTouchMoved(state_->clamped(point));
  state_->changed();
}

void ZRLSimRun::touchUp(CGPoint point) {
  State& state = *state_;
  if (!state.touching) return;
  // The action buttons act when the touch ends inside them: one that
  // flipped the test-device flag, or "Select Screen"'s colour, started a
  // request.
  const auto button = state.button();
  const bool testDeviceBefore = button->isTestDevice();
  const bool greenBefore = button->isSelectScreenButtonGreenColor();
  UIApplication::sharedApplication().sendTouchEnded(state.clamped(point));
  state.touching = false;
  if (button->isTestDevice() != testDeviceBefore) ++state.requestsStarted;
  if (button->isSelectScreenButtonGreenColor() != greenBefore) ++state.requestsStarted;
  state.changed();
}

void ZRLSimRun::touchCancel(CGPoint point) {
  if (!state_->touching) return;
  UIApplication::sharedApplication().sendTouchCancelled(state_->clamped(point));
  state_->touching = false;
  state_->changed();
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
  State& state = *state_;
  if (state.touching) touchCancel(CGPointMake(0, 0));
  const bool answered =
      state.runMainQueue([&] { return state.requestsAnswered.load() >= state.requestsStarted; },
                         std::chrono::duration_cast<std::chrono::milliseconds>(kFinishTimeout));
  if (!answered) {
    ZRLSimWriteErrorLine(
        "zrl-sim: " + std::to_string(state.requestsStarted - state.requestsAnswered.load()) +
        " request(s) still unanswered at the end of the run");
  }
  state.host->waitUntilEventsDelivered();
  DispatchMainLoop::drain();
}

// One command line: its text without the blanks around it, its words, and
// its number for the error lines.
struct ZRLSimRun::Line {
  Line(std::string_view line, size_t lineNumber)
      : text(trimmed(line)), words(::words(text)), number(lineNumber) {}
  Line(const Line&) = delete;  // words look into text
  Line& operator=(const Line&) = delete;

  std::string_view command() const { return words.front(); }
  size_t argumentCount() const { return words.size() - 1; }
  // What follows the command, so that a name or a path may hold spaces.
  std::string rest() const { return trimmed(text.substr(text.find(command()) + command().size())); }

  // Writes the error line naming this line.
  Result refuse(const std::string& message) const {
    ZRLSimWriteErrorLine("zrl-sim: line " + std::to_string(number) + ": \"" + text +
                         "\": " + message);
    return Result::refused;
  }

  // Reads a point from two arguments; false (after the error line) when
  // they are not numbers or lie off the screen.
  bool readPoint(const State& state, size_t first, CGPoint& point) const {
    const auto x = parseNumber(words[first]);
    const auto y = parseNumber(words[first + 1]);
    if (!x || !y) {
      refuse("coordinates must be numbers of points, not \"" + std::string(words[first]) + "\" \"" +
             std::string(words[first + 1]) + "\"");
      return false;
    }
    point = CGPointMake(*x, *y);
    if (!state.onScreen(point)) {
      const CGSize size = state.scene->screenSize();
      std::ostringstream message;
      message << "the point (" << *x << ", " << *y << ") lies off the screen (0 to " << size.width
              << ", 0 to " << size.height << ")";
      refuse(message.str());
      return false;
    }
    return true;
  }

  const std::string text;
  const std::vector<std::string_view> words;
  const size_t number;
};

ZRLSimRun::Result ZRLSimRun::execute(std::string_view line, size_t lineNumber) {
  const Line parsed(line, lineNumber);
  if (parsed.words.empty() || parsed.command().starts_with('#')) return Result::done;

  // Each command with the number of arguments it takes and its usage.
  struct Command {
    std::string_view name;
    size_t fewest;
    size_t most;
    std::string_view usage;
    Result (ZRLSimRun::*run)(const Line&);
  };
  constexpr size_t kAny = SIZE_MAX;
  static constexpr Command kCommands[] = {
      {"screen", 1, kAny, "screen NAME", &ZRLSimRun::showScreen},
      {"background", 0, 0, "background", &ZRLSimRun::changeActivation},
      {"foreground", 0, 0, "foreground", &ZRLSimRun::changeActivation},
      {"tap", 2, 2, "tap X Y", &ZRLSimRun::tap},
      {"drag", 4, 6, "drag X1 Y1 X2 Y2 [STEPS] [cancel]", &ZRLSimRun::drag},
      {"wait", 1, 1, "wait SECONDS", &ZRLSimRun::wait},
      {"dump", 0, 0, "dump", &ZRLSimRun::dump},
      {"snapshot", 1, kAny, "snapshot FILE", &ZRLSimRun::snapshot},
      {"quit", 0, 0, "quit", &ZRLSimRun::quit},
  };
  for (const Command& command : kCommands) {
    if (command.name != parsed.command()) continue;
    if (parsed.argumentCount() < command.fewest || parsed.argumentCount() > command.most)
      return parsed.refuse("usage: " + std::string(command.usage));
    return (this->*command.run)(parsed);
  }
  return parsed.refuse(
      "unknown command \"" + std::string(parsed.command()) +
      "\" (screen, background, foreground, tap, drag, wait, dump, snapshot, quit)");
}

ZRLSimRun::Result ZRLSimRun::showScreen(const Line& line) {
  State& state = *state_;
  const std::string name = line.rest();
  if (state.scene->screenNamed(name) == nullptr) {
    return line.refuse("the scene has no screen named \"" + name + "\"");
  }
  state.appWindow = state.scene->show(name);
  state.appWindow->setWindowScene(state.windowScene);
  state.host->postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeScreenChange, name));
  state.host->waitUntilEventsDelivered();
  state.changed();
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::changeActivation(const Line& line) {
  State& state = *state_;
  const bool background = line.command() == "background";
  state.windowScene->setActivationState(background ? UISceneActivationStateBackground
                                                   : UISceneActivationStateForegroundActive);
  state.host->postEvent(std::make_shared<ZRLEvent>(ZRLEventTypeApplicationState,
                                                   background ? "BACKGROUND" : "FOREGROUND"));
  state.host->waitUntilEventsDelivered();
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::tap(const Line& line) {
  CGPoint point;
  if (!line.readPoint(*state_, 1, point)) return Result::refused;
  touchDown(point);
  touchUp(point);
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::drag(const Line& line) {
  CGPoint from;
  CGPoint to;
  if (!line.readPoint(*state_, 1, from) || !line.readPoint(*state_, 3, to)) return Result::refused;
  long steps = 10;
  bool cancel = false;
  const std::vector<std::string_view>& words = line.words;
  for (size_t i = 5; i < words.size(); ++i) {
    if (words[i] == "cancel" && i == words.size() - 1) {
      cancel = true;
      continue;
    }
    const auto value = parseNumber(words[i]);
    if (i != 5 || !value || *value != std::trunc(*value) || *value < 1 ||
        *value > kMaximumDragSteps) {
      return line.refuse("STEPS must be a whole number from 1 to " +
                         std::to_string(kMaximumDragSteps) + ", and only \"cancel\" may follow it");
    }
    steps = static_cast<long>(*value);
  }
  touchDown(from);
  for (long i = 1; i <= steps; ++i) {
    const double share = static_cast<double>(i) / static_cast<double>(steps);
    const CGPoint point = i == steps ? to
                                     : CGPointMake(from.x + (to.x - from.x) * share,
                                                   from.y + (to.y - from.y) * share);
    touchMove(point);
  }
  if (cancel) {
    touchCancel(to);
  } else {
    touchUp(to);
  }
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::wait(const Line& line) {
  const auto seconds = parseNumber(line.words[1]);
  if (!seconds || *seconds < 0 || *seconds > kMaximumWaitSeconds) {
    return line.refuse("SECONDS must be a number from 0 to " +
                       std::to_string(static_cast<long>(kMaximumWaitSeconds)));
  }
  state_->runMainQueue(
      [] { return false; },
      std::chrono::milliseconds(static_cast<int64_t>(std::llround(*seconds * 1000))));
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::dump(const Line& /*line*/) {
  State& state = *state_;
  state.host->waitUntilEventsDelivered();
  const auto button = state.button();
  nlohmann::ordered_json written;
  const std::optional<std::string> screen = state.plugin->currActivity();
  written["screen"] = screen ? nlohmann::ordered_json(*screen) : nlohmann::ordered_json(nullptr);
  written["button"]["center"] = {number(button->center().x), number(button->center().y)};
  written["button"]["frame"] = frameJSON(button->frame());
  written["menuOpen"] = !button->buttonsHidden();
  written["selectScreen"] = actionButtonJSON(button->selectScreen());
  written["testDevice"] = actionButtonJSON(button->addTestDevice());
  written["isTestDevice"] = button->isTestDevice();
  written["preview"] = previewJSON();
  std::cout << written.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  return Result::done;
}

// Not const, though it changes nothing: the commands of the table share one
// signature.
// NOLINTNEXTLINE(readability-make-member-function-const)
ZRLSimRun::Result ZRLSimRun::snapshot(const Line& line) {
  const std::string path = line.rest();
  const std::optional<NSData> png = UIImagePNGRepresentation(render());
  if (!png) {
    ZRLSimWriteErrorLine("zrl-sim: line " + std::to_string(line.number) +
                         ": the screen could not be encoded as PNG");
    return Result::failed;
  }
  // Written under a temporary name and renamed, so that a reader never
  // sees half a file.
  const std::string temporary = path + ".tmp";
  std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
  file.write(png->data(), static_cast<std::streamsize>(png->size()));
  file.close();
  std::error_code failure;
  if (file) std::filesystem::rename(temporary, path, failure);
  if (!file || failure) {
    std::filesystem::remove(temporary, failure);
    ZRLSimWriteErrorLine("zrl-sim: line " + std::to_string(line.number) + ": \"" + line.text +
                         "\": " + path + " cannot be written");
    return Result::failed;
  }
  return Result::done;
}

ZRLSimRun::Result ZRLSimRun::quit(const Line& /*line*/) {
  return Result::quit;
}

namespace {

// The next line of standard input, running the main queue while none is
// there; null at the end of the input.
std::optional<std::string> nextLine(ZRLSimInputLines& input, ZRLSimRun& run) {
  while (true) {
    if (std::optional<std::string> line = input.take()) return line;
    if (input.ended()) return std::nullopt;
    run.step();
    DispatchMainLoop::runUntil([&] { return input.ready(); }, std::chrono::hours(1));
  }
}

}  // namespace

int ZRLSimRunMain(const ZRLSimRunOptions& options) {
  std::vector<std::string> script;
  if (options.scriptPath && !ZRLSimReadScript(*options.scriptPath, script)) {
    ZRLSimWriteErrorLine("zrl-sim: " + *options.scriptPath + ": the script cannot be read");
    return kZRLSimExitUsage;
  }

  int status = kZRLSimExitSuccess;
  std::string error;
  const std::unique_ptr<ZRLSimRun> run = ZRLSimRun::start(options, &status, &error);
  if (!run) {
    ZRLSimWriteErrorLine("zrl-sim: " + error);
    return status;
  }

  std::optional<ZRLSimInputLines> input;
  if (!options.scriptPath) input.emplace();
  size_t lineNumber = 0;
  while (true) {
    std::optional<std::string> line;
    if (options.scriptPath) {
      if (lineNumber < script.size()) line = script[lineNumber];
    } else {
      line = nextLine(*input, *run);
    }
    if (!line) break;
    ++lineNumber;
    run->step();
    if (run->execute(*line, lineNumber) == ZRLSimRun::Result::quit) break;
    run->step();
  }
  run->finish();
  return kZRLSimExitSuccess;
}
