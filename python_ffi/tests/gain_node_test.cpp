#include "gain_node.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <chrono>
#include <limits>
#include <thread>
#include <vector>

#include "engine/controller.hpp"
#include "sources/synthetic.hpp"

namespace {

using python_ffi::GainProcessorNode;

struct GainCase {
  float gain;
  std::vector<float> in;
  std::vector<float> out;
};

TEST(GainProcessorNode, MultipliesEveryValueOnce) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<GainCase> cases = {
      {1.0F, {0.1F, -0.7F, 3.0F, 1e-40F}, {0.1F, -0.7F, 3.0F, 1e-40F}},
      {0.5F, {0, 0, 1, 1, 2, 2}, {0, 0, 0.5F, 0.5F, 1, 1}},
      {-1.0F, {0.25F, -1.0F, 0.0F}, {-0.25F, 1.0F, -0.0F}},
      {4.0F, {0.5F, -0.75F}, {2.0F, -3.0F}},  // no clamping
      {2.0F, {inf, -inf}, {inf, -inf}},
  };
  for (const auto& c : cases) {
    GainProcessorNode node("g", c.gain);
    auto samples = c.in;
    node.process(samples);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      // Bitwise: gain 1 must leave denormals and signs untouched.
      EXPECT_EQ(std::signbit(samples[i]), std::signbit(c.out[i])) << "gain " << c.gain << " index " << i;
      EXPECT_EQ(samples[i], c.out[i]) << "gain " << c.gain << " index " << i;
    }
  }
}

TEST(GainProcessorNode, ZeroGainMutesWithNegativeZeros) {
  GainProcessorNode node("g", 0.0F);
  std::vector<float> samples = {0.5F, -0.5F};
  node.process(samples);
  EXPECT_EQ(samples[0], 0.0F);
  EXPECT_FALSE(std::signbit(samples[0]));
  EXPECT_TRUE(std::signbit(samples[1]));
  GainProcessorNode nan_node("n", 1.0F);
  std::vector<float> nan = {std::numeric_limits<float>::quiet_NaN()};
  nan_node.process(nan);
  EXPECT_TRUE(std::isnan(nan[0]));
  std::vector<float> empty;
  node.process(empty);
  EXPECT_TRUE(empty.empty());
}

// Two gains on one stream driven by the synthetic ramp multiply by six.
TEST(GainProcessorNode, ChainedOnAStream) {
  core_engine::engine::AudioEngineController controller(32, 4096);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  ASSERT_TRUE(controller.add_processor("s", std::make_unique<GainProcessorNode>("two", 2.0F)).ok());
  ASSERT_TRUE(controller.add_processor("s", std::make_unique<GainProcessorNode>("three", 3.0F)).ok());
  ASSERT_TRUE(controller.route("s", "r").ok());
  auto consumer = controller.take_output_consumer("r").value();
  auto source = core_engine::sources::synthetic::SyntheticSource::create(std::move(pipeline), {}).value();
  ASSERT_TRUE(source.start().ok());
  while (consumer.available() < 1280) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(source.stop().ok());
  std::vector<float> out(consumer.available());
  ASSERT_EQ(consumer.read(out), 1280U);
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 6.0F * static_cast<float>(i / 2)) << i;
  EXPECT_EQ(controller.get_stats().at("s").processors.at("three").latency.count, 4U);
}

}  // namespace
