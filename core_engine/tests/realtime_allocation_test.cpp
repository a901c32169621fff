// The real-time paths allocate nothing once no command arrives: counted with
// a replaced malloc and operator new over many callbacks.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "allocation_counter.hpp"
#include "converter.hpp"
#include "engine/controller.hpp"
#include "gain_node.hpp"
#include "metrics.hpp"
#include "resampler.hpp"

namespace {

using allocation_counter::CountingScope;
using core_engine::format::AudioFormat;
using core_engine::format::SampleFormat;

constexpr int CALLBACKS = 10'000;

TEST(AllocationCounter, SeesAnAllocation) {
  allocation_counter::reset();
  {
    CountingScope scope;
    auto leak_check = std::make_unique<std::vector<float>>(16);
    EXPECT_EQ(leak_check->size(), 16U);
  }
  EXPECT_EQ(allocation_counter::count(), 2U);
}

TEST(RealTimeAllocations, ProcessCallbackWithProcessorsAndRoutes) {
  core_engine::engine::AudioEngineController controller(32, 4096);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  ASSERT_TRUE(controller.add_processor("s", std::make_unique<python_ffi::GainProcessorNode>("a", 0.5F)).ok());
  ASSERT_TRUE(controller.add_processor("s", std::make_unique<python_ffi::GainProcessorNode>("b", 2.0F)).ok());
  ASSERT_TRUE(controller.route("s", "drained").ok());
  ASSERT_TRUE(controller.route("s", "overflowing").ok());
  auto drained = controller.take_output_consumer("drained").value();
  std::vector<float> buffer(960, 0.25F);
  std::vector<float> sink(960);
  pipeline.process_callback(buffer);  // applies the commands, which may allocate

  allocation_counter::reset();
  {
    CountingScope scope;
    for (int i = 0; i < CALLBACKS; ++i) {
      pipeline.process_callback(buffer);
      drained.read(sink);
    }
  }
  EXPECT_EQ(allocation_counter::count(), 0U);
  const auto stats = controller.get_stats().at("s");
  EXPECT_EQ(stats.latency.count, std::uint64_t{CALLBACKS} + 1);
  EXPECT_GT(stats.dropped_frames, 0U);  // the second ring filled up and dropped
}

TEST(RealTimeAllocations, HistogramRecord) {
  core_engine::metrics::LatencyHistogram histogram;
  allocation_counter::reset();
  {
    CountingScope scope;
    for (std::uint32_t i = 0; i < 100'000; ++i) histogram.record(i);
  }
  EXPECT_EQ(allocation_counter::count(), 0U);
}

TEST(RealTimeAllocations, ConverterInSteadyState) {
  struct Case {
    std::uint32_t in_rate;
    std::uint16_t in_channels;
    std::uint32_t out_rate;
    std::uint16_t out_channels;
  };
  // Without resampling (the microphone callback's path) and, once its buffers
  // have grown, with it.
  for (const Case c : {Case{48000, 1, 48000, 2}, Case{48000, 2, 48000, 1}, Case{48000, 2, 48000, 2},
                       Case{48000, 2, 16000, 1}, Case{44100, 2, 48000, 2}}) {
    auto converter = core_engine::converter::MasterFormatConverter::create(
                         AudioFormat{c.in_rate, c.in_channels, SampleFormat::F32},
                         AudioFormat{c.out_rate, c.out_channels, SampleFormat::F32})
                         .value();
    std::vector<float> input(480 * c.in_channels, 0.5F);
    std::vector<float> output;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(converter.convert(input, output).ok());
    allocation_counter::reset();
    {
      CountingScope scope;
      for (int i = 0; i < CALLBACKS; ++i) (void)converter.convert(input, output);
    }
    EXPECT_EQ(allocation_counter::count(), 0U) << c.in_rate << "/" << c.in_channels << " -> " << c.out_rate << "/"
                                               << c.out_channels;
  }
}

TEST(RealTimeAllocations, ResamplerProcess) {
  for (const double ratio : {16000.0 / 48000.0, 48000.0 / 44100.0}) {
    auto resampler = core_engine::resampler::SincResampler::create(ratio, 2).value();
    const std::vector<float> input(core_engine::resampler::CHUNK_FRAMES, 0.1F);
    std::vector<float> left(resampler.output_frames_max());
    std::vector<float> right(resampler.output_frames_max());
    const std::span<const float> in_views[] = {input, input};
    const std::span<float> out_views[] = {left, right};
    allocation_counter::reset();
    bool all_ok = true;
    {
      CountingScope scope;
      for (int i = 0; i < 200; ++i) {
        const auto partial = i % 2 == 0 ? std::nullopt : std::optional<std::size_t>{300};
        all_ok = resampler.process(in_views, out_views, partial).ok() && all_ok;
      }
    }
    EXPECT_TRUE(all_ok);
    EXPECT_EQ(allocation_counter::count(), 0U) << ratio;
  }
}

}  // namespace
