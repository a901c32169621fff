#include "metrics.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace core_engine::metrics;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct BucketCase {
  std::uint32_t sample;
  std::size_t bucket;
};

TEST(LatencyHistogram, BucketsArePowersOfTwo) {
  const std::vector<BucketCase> cases = {{0, 0},  {1, 0},  {2, 1},         {3, 2},         {4, 2},          {5, 3},
                                         {8, 3},  {9, 4},  {4194304, 22},  {4194305, 23},  {10'000'000, 23}, {MAX_US, 23}};
  for (const auto& c : cases) {
    EXPECT_EQ(bucket_index(c.sample), c.bucket) << "sample " << c.sample;
    LatencyHistogram histogram;
    histogram.record(c.sample, histogram.start());
    const auto snap = histogram.snapshot(histogram.start());
    EXPECT_EQ(snap.buckets[c.bucket], 1U) << "sample " << c.sample;
    EXPECT_EQ(snap.p50_us, BUCKET_BOUNDS_US[c.bucket]);
  }
  EXPECT_EQ(BUCKET_BOUNDS_US.front(), 1U);
  EXPECT_EQ(BUCKET_BOUNDS_US[1], 2U);
  EXPECT_EQ(BUCKET_BOUNDS_US.back(), 8388608U);
}

TEST(LatencyHistogram, FreshAndDefaultSnapshotsAreEmpty) {
  LatencyHistogram histogram;
  for (const auto& snap : {histogram.snapshot(), LatencyHistogramSnapshot{}}) {
    EXPECT_EQ(snap.count, 0U);
    EXPECT_EQ(snap.max_us, 0U);
    EXPECT_EQ(snap.last_us, 0U);
    EXPECT_EQ(snap.p50_us + snap.p90_us + snap.p95_us + snap.p99_us, 0U);
    for (auto b : snap.buckets) EXPECT_EQ(b, 0U);
    EXPECT_EQ(snap.bucket_bounds_us, BUCKET_BOUNDS_US);
  }
}

TEST(LatencyHistogram, SingleSampleSetsEveryPercentileToItsBound) {
  LatencyHistogram histogram;
  histogram.record(3);
  const auto snap = histogram.snapshot();
  EXPECT_EQ(snap.count, 1U);
  EXPECT_EQ(snap.max_us, 3U);
  EXPECT_EQ(snap.last_us, 3U);
  EXPECT_EQ(snap.p50_us, 4U);
  EXPECT_EQ(snap.p90_us, 4U);
  EXPECT_EQ(snap.p95_us, 4U);
  EXPECT_EQ(snap.p99_us, 4U);
}

TEST(LatencyHistogram, PercentilesAreUpperBoundsOfTheRankBucket) {
  LatencyHistogram histogram;
  const Instant t0 = histogram.start();
  // Spread over the minute so that several slots contribute.
  for (int i = 0; i < 90; ++i) histogram.record(10, t0 + seconds(i % 50));
  for (int i = 0; i < 10; ++i) histogram.record(1000, t0 + seconds(55));
  const auto snap = histogram.snapshot(t0 + seconds(59));
  EXPECT_EQ(snap.count, 100U);
  EXPECT_EQ(snap.p50_us, 16U);
  EXPECT_EQ(snap.p90_us, 16U);  // the running sum reaches exactly 90 there
  EXPECT_EQ(snap.p95_us, 1024U);
  EXPECT_EQ(snap.p99_us, 1024U);
  EXPECT_EQ(snap.max_us, 1000U);
  EXPECT_EQ(snap.last_us, 1000U);
}

TEST(LatencyHistogram, WindowCoversTheCurrentSecondAndTheFiftyNineBefore) {
  LatencyHistogram histogram;
  const Instant t0 = histogram.start();
  histogram.record(5, t0 + milliseconds(500));
  histogram.record(70, t0 + seconds(10));
  EXPECT_EQ(histogram.snapshot(t0 + seconds(59)).count, 2U);
  const auto later = histogram.snapshot(t0 + seconds(60));
  EXPECT_EQ(later.count, 1U);
  EXPECT_EQ(later.max_us, 70U);
  // Nothing for a minute: everything but the last sample is gone.
  const auto idle = histogram.snapshot(t0 + seconds(70));
  EXPECT_EQ(idle.count, 0U);
  EXPECT_EQ(idle.max_us, 0U);
  EXPECT_EQ(idle.p50_us + idle.p99_us, 0U);
  for (auto b : idle.buckets) EXPECT_EQ(b, 0U);
  EXPECT_EQ(idle.last_us, 70U);
}

TEST(LatencyHistogram, SecondZeroAndSecondSixtyShareASlot) {
  LatencyHistogram histogram;
  const Instant t0 = histogram.start();
  histogram.record(1000, t0);
  histogram.record(3, t0 + seconds(60));
  const auto snap = histogram.snapshot(t0 + seconds(60));
  EXPECT_EQ(snap.count, 1U);
  EXPECT_EQ(snap.max_us, 3U);
  EXPECT_EQ(snap.buckets[bucket_index(1000)], 0U);
  // The slot now holds second 60, so a view from second 30 sees nothing.
  EXPECT_EQ(histogram.snapshot(t0 + seconds(30)).count, 0U);
}

TEST(ElapsedUs, TruncatesAndSaturates) {
  EXPECT_EQ(duration_us(std::chrono::nanoseconds(1999)), 1U);
  EXPECT_EQ(duration_us(seconds(2) + std::chrono::nanoseconds(999)), 2'000'000U);
  EXPECT_EQ(duration_us(std::chrono::microseconds(MAX_US)), MAX_US);
  EXPECT_EQ(duration_us(std::chrono::microseconds(std::uint64_t{MAX_US} + 1)), MAX_US);
  EXPECT_EQ(duration_us(std::chrono::hours(24 * 365)), MAX_US);
  EXPECT_EQ(duration_us(std::chrono::nanoseconds(-5)), 0U);
  LatencyHistogram histogram;
  histogram.record(duration_us(std::chrono::hours(2)));
  const auto snap = histogram.snapshot();
  EXPECT_EQ(snap.max_us, MAX_US);
  EXPECT_EQ(snap.buckets[23], 1U);
  EXPECT_EQ(snap.p99_us, 8388608U);
}

TEST(LatencyHistogram, SnapshotsRaceWithTheWriterWithoutTearing) {
  LatencyHistogram histogram;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::uint32_t i = 0; i < 200'000; ++i) histogram.record(i % 4096);
    done = true;
  });
  std::size_t snapshots = 0;
  while (!done) {
    const auto snap = histogram.snapshot();
    EXPECT_LE(snap.max_us, 4095U);
    EXPECT_LE(snap.p50_us, 8388608U);
    ++snapshots;
  }
  writer.join();
  EXPECT_GT(snapshots, 0U);
  EXPECT_EQ(histogram.snapshot().max_us, 4095U);
}

TEST(Snapshots, NodeMaximumIsTheWindowMaximum) {
  NodeMetrics node;
  node.processing_time_us = 7;
  node.latency.record(9);
  node.latency.record(7);
  const auto snap = snapshot(node);
  EXPECT_EQ(snap.processing_time_us, 7U);
  EXPECT_EQ(snap.max_processing_time_us, 9U);
  EXPECT_EQ(snap.latency.count, 2U);
}

}  // namespace
