#include "Tools/zrl-dashboard/ZRLDashboardHub.h"

void ZRLDashboardHub::join(const std::string& appId,
                           const std::shared_ptr<ZRLDashboardStreamSink>& sink) {
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      streams_[appId][sink.get()] = sink;
      return;
    }
  }
  sink->close();
}

void ZRLDashboardHub::leave(const std::string& appId, const ZRLDashboardStreamSink* sink) {
  std::lock_guard lock(mutex_);
  const auto app = streams_.find(appId);
  if (app == streams_.end()) return;
  app->second.erase(sink);
  if (app->second.empty()) streams_.erase(app);
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
