#include "Tools/zrl-sim/ZRLSimTrace.h"

#include <mutex>
#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "LDEventSource/LDEventSource.h"
#include "Platform/Dispatch/Dispatch.h"
#include "Platform/Net/NSURL.h"
#include "Tools/zrl-sim/ZRLSimInput.h"
#include "ZRLRTAPlugin/ZRLPreviewBuilder.h"
#include "ZorlanSDK/ZRLController.h"
#include "ZorlanSDK/ZRLJSONWriter.h"
#include "ZorlanSDK/ZorlanPluginInspection.h"

std::string ZRLSimPathAndQuery(const std::string& urlOrPath) {
  if (urlOrPath.find("://") == std::string::npos) {
    return (urlOrPath.starts_with('/') ? "" : "/") + urlOrPath;
  }
  const NSURLPtr url = NSURL::URLWithString(urlOrPath);
  if (!url) return urlOrPath;
  return url->path() + (url->query() ? "?" + *url->query() : std::string());
}

namespace {

// The stand-in controller, writing one line for each request when it has
// been answered.
class ZRLSimHost : public ZRLController {
 public:
  explicit ZRLSimHost(std::function<void()> answered) : answered_(std::move(answered)) {}

  void postDataToURL(const std::string& url, const nlohmann::json& body,
                     const std::optional<ZRLHeaderFields>& headerFields,
                     ZRLHTTPCompletionHandler completionHandler) override {
    ZRLController::postDataToURL(
        url, body, headerFields,
        traced("POST " + ZRLSimPathAndQuery(url), std::move(completionHandler)));
  }

  void makeDeleteRequestToURLPath(const std::string& path,
                                  const std::optional<ZRLHeaderFields>& headerFields,
                                  ZRLHTTPCompletionHandler completionHandler) override {
    ZRLController::makeDeleteRequestToURLPath(
        path, headerFields,
        traced("DELETE " + ZRLSimPathAndQuery(path), std::move(completionHandler)));
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

}  // namespace

// The streams that the preview channel opened: the channel keeps one, and
// closes the one it held when it opens the next.
struct ZRLSimTrace::Streams {
  struct Stream {
    std::mutex mutex;
    bool open = false;  // "stream: open" written, no end yet
  };
  std::mutex mutex;
  std::shared_ptr<Stream> current;

  void watch(const std::shared_ptr<LDEventSource>& client) {
    auto stream = std::make_shared<Stream>();
    std::shared_ptr<Stream> previous;
    {
      std::lock_guard lock(mutex);
      previous = std::exchange(current, stream);
    }
    // A closed client reports nothing more: its end is told here.
    if (previous) {
      std::lock_guard lock(previous->mutex);
      if (previous->open) ZRLSimWriteErrorLine("stream: closed");
      previous->open = false;
    }
    const NSURLPtr url = client->eventURL();
    const std::string address = url ? ZRLSimPathAndQuery(url->absoluteString()) : "(null)";
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
};

ZRLSimTrace::ZRLSimTrace(std::function<void()> answered,
                         std::shared_ptr<ZorlanPluginInspection> plugin)
    : answered_(std::make_shared<std::atomic<uint64_t>>(0)),
      plugin_(std::move(plugin)),
      streams_(std::make_shared<Streams>()) {
  host_ = std::make_shared<ZRLSimHost>([count = answered_, answered = std::move(answered)] {
    count->fetch_add(1);
    if (answered) answered();
  });
  // The line goes out from the main queue, after the preview card that the
  // builder queued there: a reader that sees it can snapshot the card. The
  // configuration is written compact, without recursion, deeper containers
  // cut (the line stays JSON).
  ZRLPreviewBuilder::setObserver([](const std::string& displayType, const nlohmann::json& config) {
    dispatch_async(dispatch_get_main_queue(),
                   [line = "builder: " + displayType + " " +
                           ZRLJSONWriter::stringWithJSONObject(config, kZRLSimBuilderLineDepth)] {
                     ZRLSimWriteErrorLine(line);
                   });
  });
  if (plugin_) {
    plugin_->setPreviewStreamObserver(
        [streams = streams_](const std::shared_ptr<LDEventSource>& client) {
          streams->watch(client);
        });
  }
}

ZRLSimTrace::~ZRLSimTrace() {
  ZRLPreviewBuilder::setObserver({});
  if (plugin_) plugin_->setPreviewStreamObserver({});
}
