#include "engine/pipeline.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/controller.hpp"
#include "test_support.hpp"

namespace {

using core_engine::engine::AudioEngineController;
using core_engine::engine::RealTimePipeline;
using test_support::drain;
using test_support::LambdaProcessor;
using test_support::ramp;

struct Fixture {
  AudioEngineController controller{32, 4096};
  RealTimePipeline pipeline = controller.create_stream("s", 32, 16).value();

  const core_engine::metrics::StreamMetricsSnapshot stats() { return controller.get_stats().at("s"); }
};

TEST(Pipeline, CommandsQueuedBeforeTheFirstCallbackApplyToIt) {
  Fixture f;
  ASSERT_TRUE(f.controller
                  .add_processor("s", std::make_unique<LambdaProcessor>(
                                          "double", [](std::span<float> s) { for (float& v : s) v *= 2; }))
                  .ok());
  ASSERT_TRUE(f.controller.route("s", "r").ok());
  auto consumer = f.controller.take_output_consumer("r").value();
  auto buffer = ramp(8);
  f.pipeline.process_callback(buffer);
  EXPECT_EQ(drain(consumer), (std::vector<float>{0, 2, 4, 6, 8, 10, 12, 14}));
  EXPECT_EQ(buffer[7], 14.0F);  // processed in place
}

TEST(Pipeline, ProcessorsRunInTheOrderTheyWereAdded) {
  Fixture f;
  std::string order;
  for (const char* id : {"A", "B", "C"}) {
    ASSERT_TRUE(f.controller
                    .add_processor("s", std::make_unique<LambdaProcessor>(
                                            id, [&order, id](std::span<float>) { order += id; }))
                    .ok());
  }
  std::vector<float> buffer(4);
  f.pipeline.process_callback(buffer);
  f.pipeline.process_callback(buffer);
  EXPECT_EQ(order, "ABCABC");
}

TEST(Pipeline, FullRingKeepsTheHeadOfABufferAndCountsTheRestPerRoute) {
  Fixture f;
  ASSERT_TRUE(f.controller.route("s", "r").ok());
  auto consumer = f.controller.take_output_consumer("r").value();
  auto big = ramp(4000);
  f.pipeline.process_callback(big);
  auto buffer = ramp(320, 10000);
  f.pipeline.process_callback(buffer);
  EXPECT_EQ(f.stats().dropped_frames, 224U);
  const auto got = drain(consumer);
  ASSERT_EQ(got.size(), 4096U);
  EXPECT_EQ(got[4000], 10000.0F);
  EXPECT_EQ(got[4095], 10095.0F);
  // Once drained, the next buffer goes in whole and continues right after.
  f.pipeline.process_callback(buffer);
  EXPECT_EQ(drain(consumer), buffer);
  EXPECT_EQ(f.stats().dropped_frames, 224U);
}

TEST(Pipeline, DroppedValuesAreSummedOverRoutes) {
  AudioEngineController controller(32, 2);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  ASSERT_TRUE(controller.route("s", "a").ok());
  ASSERT_TRUE(controller.route("s", "b").ok());
  std::vector<float> frames(2);
  pipeline.process_callback(frames);  // fills both rings
  std::vector<float> buffer(320);     // 160 stereo frames that find no room
  pipeline.process_callback(buffer);
  EXPECT_EQ(controller.get_stats().at("s").dropped_frames, 640U);
}

TEST(Pipeline, DroppedCounterWraps) {
  AudioEngineController controller(32, 2);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  ASSERT_TRUE(controller.route("s", "a").ok());
  // The metrics object is shared; push the counter to the edge through it.
  std::vector<float> fill(2);
  pipeline.process_callback(fill);
  std::vector<float> buffer(3'000'000);
  for (int i = 0; i < 1432; ++i) pipeline.process_callback(buffer);  // 1432 * 3e6 wraps 2^32 once
  const std::uint64_t expected = (std::uint64_t{1432} * 3'000'000) % (std::uint64_t{1} << 32);
  EXPECT_EQ(controller.get_stats().at("s").dropped_frames, expected);
}

TEST(Pipeline, WithoutRoutesProcessorsStillRunAndMetricsAreRecorded) {
  Fixture f;
  int calls = 0;
  ASSERT_TRUE(
      f.controller.add_processor("s", std::make_unique<LambdaProcessor>("p", [&calls](std::span<float>) { ++calls; }))
          .ok());
  std::vector<float> buffer(320);
  f.pipeline.process_callback(buffer);
  std::vector<float> empty;
  f.pipeline.process_callback(empty);
  EXPECT_EQ(calls, 2);
  const auto stats = f.stats();
  EXPECT_EQ(stats.dropped_frames, 0U);
  EXPECT_EQ(stats.buffer_size, 0U);  // the latest buffer was empty
  EXPECT_EQ(stats.latency.count, 2U);
  EXPECT_EQ(stats.processors.at("p").latency.count, 2U);
}

TEST(Pipeline, AddRouteForAPresentIdReplacesTheOldProducer) {
  Fixture f;
  ASSERT_TRUE(f.controller.route("s", "r").ok());
  auto old_consumer = f.controller.take_output_consumer("r").value();
  auto first = ramp(4);
  f.pipeline.process_callback(first);
  ASSERT_TRUE(f.controller.route("s", "r").ok());
  auto new_consumer = f.controller.take_output_consumer("r").value();
  auto second = ramp(4, 100);
  f.pipeline.process_callback(second);
  EXPECT_EQ(drain(old_consumer), first);
  EXPECT_EQ(drain(new_consumer), second);
}

TEST(Pipeline, KeepsRunningAfterTheStreamIsRemoved) {
  Fixture f;
  ASSERT_TRUE(f.controller.route("s", "r").ok());
  auto consumer = f.controller.take_output_consumer("r").value();
  ASSERT_TRUE(f.controller.remove_stream("s").ok());
  auto buffer = ramp(6);
  f.pipeline.process_callback(buffer);
  EXPECT_EQ(drain(consumer), buffer);
}

TEST(Pipeline, MetricsTimeEachProcessorAndTheWholeCallback) {
  Fixture f;
  ASSERT_TRUE(f.controller
                  .add_processor("s", std::make_unique<LambdaProcessor>("slow",
                                                                        [](std::span<float>) {
                                                                          std::this_thread::sleep_for(
                                                                              std::chrono::milliseconds(3));
                                                                        }))
                  .ok());
  std::vector<float> buffer(480);
  f.pipeline.process_callback(buffer);
  const auto stats = f.stats();
  const auto& slow = stats.processors.at("slow");
  EXPECT_GE(slow.processing_time_us, 3000U);
  EXPECT_EQ(slow.latency.count, 1U);
  EXPECT_EQ(slow.max_processing_time_us, slow.processing_time_us);
  EXPECT_GE(stats.total_callback_time_us, slow.processing_time_us);
  EXPECT_EQ(stats.buffer_size, 480U);
  EXPECT_EQ(stats.latency.last_us, stats.total_callback_time_us);
}

// The pipeline on its own delivery thread while the controller keeps sending
// routes and processors: every buffer reaches the first route whole and in order.
TEST(Pipeline, ConcurrentDeliveryAndConfiguration) {
  AudioEngineController controller(32, 1 << 16);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  ASSERT_TRUE(controller.route("s", "main").ok());
  auto consumer = controller.take_output_consumer("main").value();
  constexpr int CALLBACKS = 20'000;
  std::atomic<bool> done{false};
  std::atomic<std::size_t> consumed{0};
  std::thread delivery([&pipeline, &done, &consumed] {
    std::vector<float> buffer(64);
    for (int c = 0; c < CALLBACKS; ++c) {
      // Stay well inside the ring so that nothing is dropped on a slow machine.
      while (std::size_t(c) * 64 - consumed.load() > 32768) std::this_thread::yield();
      for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<float>(c);
      pipeline.process_callback(buffer);
    }
    done = true;
  });
  int added = 0;
  std::vector<float> out(4096);
  std::size_t verified = 0;
  while (!done || consumer.available() > 0) {
    if (added < 40) {
      if (controller.route("s", "extra" + std::to_string(added)).ok()) ++added;
    }
    const std::size_t n = consumer.read(out);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(out[i], static_cast<float>((verified + i) / 64));
    }
    verified += n;
    consumed = verified;
  }
  delivery.join();
  EXPECT_EQ(verified, std::size_t{CALLBACKS} * 64);
  EXPECT_EQ(added, 40);
  EXPECT_EQ(controller.get_stats().at("s").latency.last_us, controller.get_stats().at("s").total_callback_time_us);
}

}  // namespace
