#include "Tools/zrl-dashboard/ZRLDashboardHub.h"

#include <nlohmann/json.hpp>

#include "Tools/zrl-dashboard/ZRLDashboardStore.h"

void ZRLDashboardHub::join(const std::string& appId,
                           const std::shared_ptr<ZRLDashboardStreamSink>& sink) {
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      streams_[appId][sink.get()] = sink;
      if (appId != kZRLDashboardPageStreams) {
        lastOpened_[appId] = ZRLDashboardStore::now();
        tellPageStreamsLocked(appId);
      }
      return;
    }
  }
  sink->close();
}

void ZRLDashboardHub::leave(const std::string& appId, const ZRLDashboardStreamSink* sink) {
  std::lock_guard lock(mutex_);
  const auto app = streams_.find(appId);
  if (app == streams_.end() || app->second.erase(sink) == 0) return;
  if (app->second.empty()) {
    streams_.erase(app);
    lastOpened_.erase(appId);
  }
  if (appId != kZRLDashboardPageStreams) tellPageStreamsLocked(appId);
}

void ZRLDashboardHub::tellPageStreamsLocked(const std::string& appId) {
  const auto pages = streams_.find(kZRLDashboardPageStreams);
  if (pages == streams_.end()) return;
  const auto app = streams_.find(appId);
  const nlohmann::json counts = {{"appId", appId},
                                 {"openStreams", app == streams_.end() ? 0 : app->second.size()}};
  // An application identifier need not be UTF-8: U+FFFD stands for what is not.
  const auto text = std::make_shared<const std::string>(ZRLDashboardNamedEventBlock(
      "streams", counts.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)));
  // Delivery only queues the text on the stream's own strand.
  for (const auto& [key, weak] : pages->second)
    if (auto sink = weak.lock()) sink->deliver(text, false);
}

void ZRLDashboardHub::tellPage(std::string_view event, const std::string& data) {
  broadcast(kZRLDashboardPageStreams,
            std::make_shared<const std::string>(ZRLDashboardNamedEventBlock(event, data)));
}

std::map<std::string, ZRLDashboardHub::OpenStreams> ZRLDashboardHub::openStreams() const {
  std::map<std::string, OpenStreams> open;
  std::lock_guard lock(mutex_);
  for (const auto& [appId, sinks] : streams_) {
    if (appId == kZRLDashboardPageStreams) continue;
    const auto opened = lastOpened_.find(appId);
    open[appId] = {sinks.size(), opened == lastOpened_.end() ? std::string() : opened->second};
  }
  return open;
}

std::vector<std::shared_ptr<ZRLDashboardStreamSink>> ZRLDashboardHub::streamsOf(
    const std::string& appId) {
  std::vector<std::shared_ptr<ZRLDashboardStreamSink>> open;
  std::lock_guard lock(mutex_);
  const auto app = streams_.find(appId);
  if (app == streams_.end()) return open;
  open.reserve(app->second.size());
  for (const auto& [key, weak] : app->second)
    if (auto sink = weak.lock()) open.push_back(std::move(sink));
  return open;
}

size_t ZRLDashboardHub::broadcast(const std::string& appId,
                                  const std::shared_ptr<const std::string>& text) {
  // Handed out without the lock, so that a stream's delivery never waits
  // for another's.
  const auto open = streamsOf(appId);
  for (const auto& sink : open)
    sink->deliver(text, false);
  return open.size();
}

void ZRLDashboardHub::closeAll() {
  std::vector<std::shared_ptr<ZRLDashboardStreamSink>> open;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (const auto& [appId, sinks] : streams_)
      for (const auto& [key, weak] : sinks)
        if (auto sink = weak.lock()) open.push_back(std::move(sink));
    streams_.clear();
    lastOpened_.clear();
  }
  for (const auto& sink : open)
    sink->close();
}

size_t ZRLDashboardHub::streamCount() const {
  std::lock_guard lock(mutex_);
  size_t count = 0;
  for (const auto& [appId, sinks] : streams_)
    count += sinks.size();
  return count;
}

std::string ZRLDashboardEventBlock(long long id, const std::string& data) {
  std::string block = "id: ";
  block.append(std::to_string(id)).append("\ndata: ").append(data).append("\n\n");
  return block;
}

std::string ZRLDashboardNamedEventBlock(std::string_view event, const std::string& data) {
  std::string block = "event: ";
  block.append(event).append("\ndata: ").append(data).append("\n\n");
  return block;
}
