// Live figures written lock-free by one real-time writer and read as snapshots
// by anyone: a rolling one-minute latency histogram and the per-processor and
// per-pipeline metrics built on it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace core_engine::metrics {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;

inline constexpr std::size_t BUCKET_COUNT = 24;
inline constexpr std::size_t WINDOW_SECONDS = 60;
inline constexpr std::uint64_t UNUSED_SECOND = std::numeric_limits<std::uint64_t>::max();
inline constexpr std::uint32_t MAX_US = std::numeric_limits<std::uint32_t>::max();

// Upper bound of bucket i is 2^i microseconds.
inline constexpr std::array<std::uint32_t, BUCKET_COUNT> BUCKET_BOUNDS_US = [] {
  std::array<std::uint32_t, BUCKET_COUNT> bounds{};
  for (std::size_t i = 0; i < BUCKET_COUNT; ++i) bounds[i] = std::uint32_t{1} << i;
  return bounds;
}();

// Whole microseconds between two instants, saturated to 32 bits.
std::uint32_t duration_us(Clock::duration elapsed);
// Whole microseconds since `since`, saturated to 32 bits.
std::uint32_t elapsed_us(Instant since);

// Bucket of a sample: 0 for 0 and 1 µs, else ceil(log2 v), capped at 23.
std::size_t bucket_index(std::uint32_t sample_us);

struct LatencyHistogramSnapshot {
  std::array<std::uint32_t, BUCKET_COUNT> bucket_bounds_us = BUCKET_BOUNDS_US;
  std::array<std::uint64_t, BUCKET_COUNT> buckets{};
  std::uint64_t count = 0;
  std::uint32_t last_us = 0;
  std::uint32_t max_us = 0;
  std::uint32_t p50_us = 0;
  std::uint32_t p90_us = 0;
  std::uint32_t p95_us = 0;
  std::uint32_t p99_us = 0;
};

struct LatencySlot {
  std::array<std::atomic<std::uint64_t>, BUCKET_COUNT> buckets{};
  std::atomic<std::uint64_t> second{UNUSED_SECOND};
  std::atomic<std::uint64_t> count{0};
  std::atomic<std::uint32_t> max{0};
};

// 60 one-second slots of 24 power-of-two buckets. One writer at a time;
// snapshots from any thread. Every operation is lock-free and allocation-free
// except the snapshot's own result.
class LatencyHistogram {
 public:
  explicit LatencyHistogram(Instant start = Clock::now()) : start_(start) {}
  LatencyHistogram(const LatencyHistogram&) = delete;
  LatencyHistogram& operator=(const LatencyHistogram&) = delete;

  // Real-time safe.
  void record(std::uint32_t sample_us) { record(sample_us, Clock::now()); }
  void record(std::uint32_t sample_us, Instant now);

  LatencyHistogramSnapshot snapshot() const { return snapshot(Clock::now()); }
  LatencyHistogramSnapshot snapshot(Instant now) const;

  Instant start() const { return start_; }

 private:
  std::uint64_t second_of(Instant now) const;

  Instant start_;
  std::array<LatencySlot, WINDOW_SECONDS> slots_{};
  std::atomic<std::uint32_t> last_us_{0};
};

struct NodeMetrics {
  LatencyHistogram latency;
  std::atomic<std::uint32_t> processing_time_us{0};
};

struct PipelineMetrics {
  LatencyHistogram latency;
  std::atomic<std::uint32_t> total_callback_time_us{0};
  // Sample values (not frames) that found no room in a route ring, summed
  // over routes; wraps.
  std::atomic<std::uint32_t> dropped_frames{0};
  std::atomic<std::uint32_t> buffer_size{0};
};

struct NodeMetricsSnapshot {
  LatencyHistogramSnapshot latency;
  std::uint32_t processing_time_us = 0;
  std::uint32_t max_processing_time_us = 0;
};

struct StreamMetricsSnapshot {
  LatencyHistogramSnapshot latency;
  std::uint32_t total_callback_time_us = 0;
  std::uint32_t dropped_frames = 0;
  std::uint32_t buffer_size = 0;
  std::map<std::string, NodeMetricsSnapshot> processors;
};

NodeMetricsSnapshot snapshot(const NodeMetrics& metrics);
// Everything but `processors`, which the controller fills in.
StreamMetricsSnapshot snapshot(const PipelineMetrics& metrics);

}  // namespace core_engine::metrics
