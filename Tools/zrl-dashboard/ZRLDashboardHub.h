#pragma once
// The open preview streams of every application: a push hands one shared
// copy of the event's text to each stream of its application. The page's
// own event streams join under kZRLDashboardPageStreams and hear of device
// streams opening and closing.

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The key under which the page's event streams join; no application has an
// empty identifier.
inline constexpr const char* kZRLDashboardPageStreams = "";

// One open stream as the hub sees it. Both calls may come from any thread
// and must not block.
class ZRLDashboardStreamSink {
 public:
  virtual ~ZRLDashboardStreamSink() = default;
  // Queues the text for the stream. Replayed events are not held to the
  // stream's queue bound; live ones are, and a stream past it is closed.
  virtual void deliver(std::shared_ptr<const std::string> text, bool replayed) = 0;
  // Ends the stream.
  virtual void close() = 0;
};

class ZRLDashboardHub {
 public:
  void join(const std::string& appId, const std::shared_ptr<ZRLDashboardStreamSink>& sink);
  void leave(const std::string& appId, const ZRLDashboardStreamSink* sink);
  // Hands the text to every open stream of the application; how many.
  size_t broadcast(const std::string& appId, const std::shared_ptr<const std::string>& text);
  // Closes every stream, and refuses streams that join afterwards.
  void closeAll();
  size_t streamCount() const;

  struct OpenStreams {
    size_t count = 0;
    std::string lastOpened;  // when the newest one opened, as the store writes times
  };
  // The device streams open for each application that has some.
  std::map<std::string, OpenStreams> openStreams() const;
  // Hands an event to every page stream.
  void tellPage(std::string_view event, const std::string& data);

 private:
  std::vector<std::shared_ptr<ZRLDashboardStreamSink>> streamsOf(const std::string& appId);
  // With the lock held, so that the page hears the counts in their order.
  void tellPageStreamsLocked(const std::string& appId);

  mutable std::mutex mutex_;
  bool closed_ = false;
  std::map<std::string,
           std::map<const ZRLDashboardStreamSink*, std::weak_ptr<ZRLDashboardStreamSink>>>
      streams_;
  std::map<std::string, std::string> lastOpened_;
};

// The text of one event block: "id: N", the configuration as one "data"
// line, and the blank line that ends the block.
std::string ZRLDashboardEventBlock(long long id, const std::string& data);
// A block with an event name and no id, as the page's stream sends them.
std::string ZRLDashboardNamedEventBlock(std::string_view event, const std::string& data);
