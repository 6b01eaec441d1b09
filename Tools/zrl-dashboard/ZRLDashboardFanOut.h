#pragma once
// Hands every committed preview to the open device streams of its
// application, once and in the order of the ids: the previews pushed
// through this dashboard and, when dashboards share a PostgreSQL database,
// those that the others push (its listener says when to look). A stream
// that comes back with the last id it saw is replayed up to handedOut() and
// then joins the hub, so that every later preview reaches it live: none is
// lost and none doubled. Storage thread only.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

#include "Tools/zrl-dashboard/ZRLDashboardHub.h"
#include "Tools/zrl-dashboard/ZRLDashboardMetrics.h"
#include "Tools/zrl-dashboard/ZRLDashboardStore.h"

class ZRLDashboardFanOut {
 public:
  ZRLDashboardFanOut(ZRLDashboardStore& store, ZRLDashboardHub& hub) : store_(store), hub_(hub) {}

  // The newest preview handed out (the newest stored when first asked);
  // null when the store fails.
  std::optional<int64_t> handedOut();
  // Hands out every preview committed since the last call, oldest first,
  // records the streams each went to, and tells the page's streams. The
  // streams per preview id; null when the store fails (what was not handed
  // out waits for the next call).
  std::optional<std::map<int64_t, size_t>> catchUp();

  // Where pushes and deliveries are counted, when set.
  ZRLDashboardMetrics* metrics = nullptr;

 private:
  ZRLDashboardStore& store_;
  ZRLDashboardHub& hub_;
  std::optional<int64_t> handedOut_;
};
