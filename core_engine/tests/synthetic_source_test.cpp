#include "sources/synthetic.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "engine/controller.hpp"
#include "test_support.hpp"

namespace {

using core_engine::engine::AudioEngineController;
using core_engine::sources::synthetic::SyntheticSource;
using core_engine::sources::synthetic::SyntheticSourceConfig;
using Kind = core_engine::sources::synthetic::SyntheticSourceError::Kind;
using namespace std::chrono_literals;

// A stream whose processor keeps a copy of every buffer it sees; the copies
// are read only after the generator thread has been joined.
struct Recorded {
  AudioEngineController controller{32, 1 << 16};
  std::vector<std::vector<float>> buffers;
  std::atomic<int> calls{0};

  SyntheticSource make(SyntheticSourceConfig config) {
    auto pipeline = controller.create_stream("s", 32, 16).value();
    auto recorder = std::make_unique<test_support::LambdaProcessor>("rec", [this](std::span<float> s) {
      buffers.emplace_back(s.begin(), s.end());
      ++calls;
    });
    EXPECT_TRUE(controller.add_processor("s", std::move(recorder)).ok());
    EXPECT_TRUE(controller.route("s", "r").ok());
    return SyntheticSource::create(std::move(pipeline), config).value();
  }

  // stop() ends the run early, so let the thread deliver everything first.
  void run_to_end(SyntheticSource& source, int expected_calls) {
    ASSERT_TRUE(source.start().ok());
    while (calls.load() < expected_calls) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(source.stop().ok());
  }
};

TEST(SyntheticSource, DefaultsDeliverFourContinuousRampBuffers) {
  Recorded rec;
  auto source = rec.make({});
  auto consumer = rec.controller.take_output_consumer("r").value();
  rec.run_to_end(source, 4);
  ASSERT_EQ(rec.buffers.size(), 4U);
  for (const auto& buffer : rec.buffers) EXPECT_EQ(buffer.size(), 320U);
  EXPECT_EQ(rec.buffers[0][0], 0.0F);
  EXPECT_EQ(rec.buffers[0][1], 0.0F);
  EXPECT_EQ(rec.buffers[0][2], 1.0F);
  EXPECT_EQ(rec.buffers[0][319], 159.0F);
  EXPECT_EQ(rec.buffers[1][0], 160.0F);
  EXPECT_EQ(rec.buffers[1][1], 160.0F);
  const auto routed = test_support::drain(consumer);
  ASSERT_EQ(routed.size(), 1280U);
  for (std::size_t i = 0; i < routed.size(); ++i) ASSERT_EQ(routed[i], static_cast<float>(i / 2)) << i;
}

struct ShapeCase {
  SyntheticSourceConfig config;
  std::size_t buffers;
  std::size_t values_per_buffer;
  float first;
  float last;
};

TEST(SyntheticSource, ConfigurationShapesTheSignal) {
  const std::vector<ShapeCase> cases = {
      {{.frames_per_callback = 1, .callback_count = 3}, 3, 2, 0.0F, 2.0F},
      {{.callback_count = 2, .start_value = 0.25F, .step_value = 0.0F}, 2, 320, 0.25F, 0.25F},
      {{.frames_per_callback = 4, .callback_count = 2, .start_value = -1.0F, .step_value = 0.5F}, 2, 8, -1.0F, 2.5F},
  };
  for (const auto& c : cases) {
    Recorded rec;
    auto source = rec.make(c.config);
    rec.run_to_end(source, static_cast<int>(c.buffers));
    ASSERT_EQ(rec.buffers.size(), c.buffers);
    EXPECT_EQ(rec.buffers.front().size(), c.values_per_buffer);
    EXPECT_EQ(rec.buffers.front().front(), c.first);
    EXPECT_EQ(rec.buffers.back().back(), c.last);
  }
}

TEST(SyntheticSource, ZeroSizesAreRefused) {
  AudioEngineController controller(32, 4096);
  auto zero_frames = SyntheticSource::create(controller.create_stream("a", 32, 16).value(), {.frames_per_callback = 0});
  EXPECT_EQ(zero_frames.error().message(), "frames_per_callback must be greater than zero");
  auto zero_count = SyntheticSource::create(controller.create_stream("b", 32, 16).value(), {.callback_count = 0});
  EXPECT_EQ(zero_count.error().message(), "callback_count must be greater than zero");
  // The refused pipeline was released: its queue is disconnected.
  EXPECT_EQ(controller.route("a", "r").error().kind, core_engine::engine::EngineError::Kind::CommandQueueDisconnected);
}

TEST(SyntheticSource, StateTable) {
  Recorded rec;
  auto source = rec.make({.callback_count = 1'000'000});
  ASSERT_TRUE(source.start().ok());
  EXPECT_EQ(source.start().error().message(), "synthetic source already started");
  ASSERT_TRUE(source.stop().ok());
  EXPECT_EQ(source.stop().error().message(), "synthetic source already stopped");
  EXPECT_EQ(source.start().error().kind, Kind::AlreadyStarted);
}

TEST(SyntheticSource, StoppedBeforeStartDeliversNothing) {
  Recorded rec;
  auto source = rec.make({.start_delay = 10s});
  EXPECT_EQ(source.stop().error().kind, Kind::AlreadyStopped);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(source.start().ok());
  ASSERT_TRUE(source.stop().ok());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);  // the delay was skipped
  EXPECT_EQ(rec.calls.load(), 0);
}

TEST(SyntheticSource, StopAfterTheLastBufferReturnsAtOnce) {
  Recorded rec;
  auto source = rec.make({});
  ASSERT_TRUE(source.start().ok());
  while (rec.calls.load() < 4) std::this_thread::sleep_for(1ms);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(source.stop().ok());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
}

TEST(SyntheticSource, StopDuringAnIntervalWaitsForItAndDeliversNothingMore) {
  Recorded rec;
  auto source = rec.make({.callback_count = 100, .interval = 100ms});
  ASSERT_TRUE(source.start().ok());
  while (rec.calls.load() < 1) std::this_thread::sleep_for(1ms);
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(source.stop().ok());
  const auto waited = std::chrono::steady_clock::now() - asked;
  EXPECT_LE(rec.calls.load(), 2);
  EXPECT_LT(waited, 2s);
  const int delivered = rec.calls.load();
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(rec.calls.load(), delivered);
}

TEST(SyntheticSource, ReleaseStopsARunningSource) {
  Recorded rec;
  {
    auto source = rec.make({.callback_count = 1'000'000, .interval = 1ms});
    ASSERT_TRUE(source.start().ok());
    while (rec.calls.load() < 2) std::this_thread::sleep_for(1ms);
  }
  const int delivered = rec.calls.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(rec.calls.load(), delivered);
  EXPECT_LT(delivered, 1'000'000);
}

TEST(SyntheticSource, ABufferThatCannotBeAllocatedEndsTheThreadWithAFailure) {
  Recorded rec;
  auto source = rec.make({.frames_per_callback = std::size_t{1} << 62});
  ASSERT_TRUE(source.start().ok());
  EXPECT_EQ(source.stop().error().message(), "synthetic source thread panicked");
  EXPECT_EQ(rec.calls.load(), 0);
}

}  // namespace
