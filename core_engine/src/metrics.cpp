#include "metrics.hpp"

#include <bit>
#include <cmath>

namespace core_engine::metrics {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum < a ? std::numeric_limits<std::uint64_t>::max() : sum;
}

std::uint32_t percentile(const std::array<std::uint64_t, BUCKET_COUNT>& buckets, std::uint64_t count,
                         double q) {
  const double wanted = std::ceil(static_cast<double>(count) * q);
  // Casting a double at or above 2^64 is undefined, so saturate first.
  std::uint64_t target = wanted >= 18446744073709551616.0 ? std::numeric_limits<std::uint64_t>::max()
                                                          : static_cast<std::uint64_t>(wanted);
  if (target < 1) target = 1;
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < BUCKET_COUNT; ++i) {
    running = saturating_add(running, buckets[i]);
    if (running >= target) return BUCKET_BOUNDS_US[i];
  }
  // A racing snapshot can see a count larger than the bucket sum.
  return BUCKET_BOUNDS_US[BUCKET_COUNT - 1];
}

}  // namespace

std::uint32_t duration_us(Clock::duration elapsed) {
  if (elapsed.count() <= 0) return 0;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - seconds);
  const auto whole_seconds = static_cast<std::uint64_t>(seconds.count());
  if (whole_seconds > MAX_US / 1'000'000ULL + 1) return MAX_US;
  const std::uint64_t us = whole_seconds * 1'000'000ULL + static_cast<std::uint64_t>(nanos.count()) / 1000ULL;
  return us > MAX_US ? MAX_US : static_cast<std::uint32_t>(us);
}

std::uint32_t elapsed_us(Instant since) { return duration_us(Clock::now() - since); }

std::size_t bucket_index(std::uint32_t sample_us) {
  if (sample_us <= 1) return 0;
  const auto index = static_cast<std::size_t>(32 - std::countl_zero(sample_us - 1));
  return index < BUCKET_COUNT - 1 ? index : BUCKET_COUNT - 1;
}

std::uint64_t LatencyHistogram::second_of(Instant now) const {
  if (now <= start_) return 0;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now - start_).count());
}

void LatencyHistogram::record(std::uint32_t sample_us, Instant now) {
  last_us_.store(sample_us, std::memory_order_relaxed);
  const std::uint64_t second = second_of(now);
  LatencySlot& slot = slots_[second % WINDOW_SECONDS];
  if (slot.second.load(std::memory_order_relaxed) != second) {
    for (auto& bucket : slot.buckets) bucket.store(0, std::memory_order_relaxed);
    slot.max.store(0, std::memory_order_relaxed);
    slot.count.store(0, std::memory_order_relaxed);
    slot.second.store(second, std::memory_order_relaxed);
  }
  slot.buckets[bucket_index(sample_us)].fetch_add(1, std::memory_order_relaxed);
  std::uint32_t seen = slot.max.load(std::memory_order_relaxed);
  while (sample_us > seen && !slot.max.compare_exchange_weak(seen, sample_us, std::memory_order_relaxed)) {
  }
  slot.count.fetch_add(1, std::memory_order_relaxed);
}

LatencyHistogramSnapshot LatencyHistogram::snapshot(Instant now) const {
  LatencyHistogramSnapshot result;
  const std::uint64_t current = second_of(now);
  const std::uint64_t lower = current >= WINDOW_SECONDS - 1 ? current - (WINDOW_SECONDS - 1) : 0;
  for (const LatencySlot& slot : slots_) {
    const std::uint64_t second = slot.second.load(std::memory_order_relaxed);
    if (second == UNUSED_SECOND || second < lower || second > current) continue;
    for (std::size_t i = 0; i < BUCKET_COUNT; ++i) {
      result.buckets[i] = saturating_add(result.buckets[i], slot.buckets[i].load(std::memory_order_relaxed));
    }
    result.count = saturating_add(result.count, slot.count.load(std::memory_order_relaxed));
    const std::uint32_t slot_max = slot.max.load(std::memory_order_relaxed);
    if (slot_max > result.max_us) result.max_us = slot_max;
  }
  result.last_us = last_us_.load(std::memory_order_relaxed);
  if (result.count > 0) {
    result.p50_us = percentile(result.buckets, result.count, 0.5);
    result.p90_us = percentile(result.buckets, result.count, 0.9);
    result.p95_us = percentile(result.buckets, result.count, 0.95);
    result.p99_us = percentile(result.buckets, result.count, 0.99);
  }
  return result;
}

NodeMetricsSnapshot snapshot(const NodeMetrics& metrics) {
  NodeMetricsSnapshot result;
  result.latency = metrics.latency.snapshot();
  result.processing_time_us = metrics.processing_time_us.load(std::memory_order_relaxed);
  result.max_processing_time_us = result.latency.max_us;
  return result;
}

StreamMetricsSnapshot snapshot(const PipelineMetrics& metrics) {
  StreamMetricsSnapshot result;
  result.latency = metrics.latency.snapshot();
  result.total_callback_time_us = metrics.total_callback_time_us.load(std::memory_order_relaxed);
  result.dropped_frames = metrics.dropped_frames.load(std::memory_order_relaxed);
  result.buffer_size = metrics.buffer_size.load(std::memory_order_relaxed);
  return result;
}

}  // namespace core_engine::metrics
