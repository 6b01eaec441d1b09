#include "Tools/zrl-dashboard/ZRLDashboardFanOut.h"

#include <memory>
#include <string>

#include "Tools/zrl-dashboard/ZRLDashboardPageAPI.h"

std::optional<int64_t> ZRLDashboardFanOut::handedOut() {
  if (!handedOut_) handedOut_ = store_.lastPreviewId();
  return handedOut_;
}

std::optional<std::map<int64_t, size_t>> ZRLDashboardFanOut::catchUp() {
  if (!handedOut()) return std::nullopt;
  const auto committed = store_.allPreviewsAfter(*handedOut_);
  if (!committed) return std::nullopt;
  std::map<int64_t, size_t> delivered;
  for (const auto& preview : *committed) {
    const size_t count = hub_.broadcast(
        preview.appId,
        std::make_shared<const std::string>(ZRLDashboardEventBlock(preview.id, preview.config)));
    handedOut_ = preview.id;
    delivered[preview.id] = count;
    if (metrics != nullptr) metrics->delivered(count);
    // Each dashboard adds its streams; one that has none writes only when
    // nobody has yet, so that the history says 0 rather than nothing. The
    // preview has gone out: a count that cannot be written leaves the
    // history without it.
    const auto streams = static_cast<int64_t>(count);
    const bool noted =
        (streams == 0 && preview.delivered) || store_.setPreviewDelivered(preview.id, streams);
    ZRLDashboardPageAPI(store_, hub_)
        .previewHandedOut(
            preview,
            noted ? std::optional<int64_t>(preview.delivered.value_or(0) + streams) : std::nullopt);
  }
  return delivered;
}
