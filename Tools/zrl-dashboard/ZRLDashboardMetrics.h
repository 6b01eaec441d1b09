#pragma once
// The dashboard's counts and timings, written in Prometheus's text format
// for GET /metrics: requests by endpoint and status and how long they took,
// pushes, deliveries to streams and uploads, and the time from a preview's
// hand-out to its write on each stream. Every call may come from any thread.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Tools/zrl-dashboard/ZRLDashboardHub.h"

class ZRLDashboardMetrics {
 public:
  using Duration = std::chrono::steady_clock::duration;

  // The endpoint that a request's target counts under: the path of a known
  // one, with "{id}" for the identifier in it; "other" for the rest (so that
  // no client can make series without end).
  static std::string endpointOf(std::string_view target);

  void requestDone(std::string_view endpoint, unsigned status, Duration took);
  void pushed() { ++pushes_; }
  void delivered(size_t streams) { deliveries_ += streams; }
  void uploaded() { ++uploads_; }
  // A live preview written to a stream, that long after it was handed out.
  void written(Duration sinceHandedOut) { pushToWrite_.observe(sinceHandedOut); }

  // The text for GET /metrics, with the streams open now and the time that
  // one query to the database took (none when it failed).
  std::string text(const std::map<std::string, ZRLDashboardHub::OpenStreams>& open,
                   std::optional<Duration> databaseRoundTrip) const;

 private:
  // Buckets in seconds, cumulative as the format has them.
  class Histogram {
   public:
    static constexpr std::array<double, 10> kBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                       0.025,  0.05,  0.1,    0.5,   2.5};
    void observe(Duration took);
    void write(std::string& out, const char* name, const char* help) const;

   private:
    std::array<std::atomic<uint64_t>, kBounds.size() + 1> counts_{};
    std::atomic<uint64_t> nanoseconds_{0};
  };

  std::atomic<uint64_t> pushes_{0};
  std::atomic<uint64_t> deliveries_{0};
  std::atomic<uint64_t> uploads_{0};
  Histogram requestDuration_;
  Histogram pushToWrite_;
  mutable std::mutex requestsMutex_;
  std::map<std::pair<std::string, unsigned>, uint64_t> requests_;
};
