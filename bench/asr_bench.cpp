// Cost of the ASR sink per delivered chunk: 16 kHz mono 16-bit chunks of 320
// frames cut from master-format input, one input's pass driven directly (no
// worker thread), with a callback that only counts.
//
// Built by hand with:
//   cmake --preset release && cmake --build --preset release --target core_engine
//   g++ -O2 -std=c++20 -Icore_engine/src bench/asr_bench.cpp
//       build/release/core_engine/libcore_engine.a -lbenchmark -lbenchmark_main -lpthread
//       -o build/release/asr_bench
// (one command line).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/ring.hpp"
#include "format.hpp"
#include "outputs/asr_sink.hpp"

namespace {

using core_engine::engine::make_route_ring;
using core_engine::format::SampleFormat;
namespace asr = core_engine::outputs::asr_sink;

class CountingCallback final : public asr::AsrSinkCallback {
 public:
  void on_chunk(const asr::AsrChunk& chunk) override {
    benchmark::DoNotOptimize(chunk.samples);
    ++chunks;
  }
  std::int64_t chunks = 0;
};

// range(0): master frames written to the ring before each pass.
void BM_AsrMono16kI16Chunk320(benchmark::State& state) {
  const auto frames_per_write = static_cast<std::size_t>(state.range(0));
  const asr::AsrSinkConfig config{.chunk_frames = 320, .sample_rate = 16000, .channels = 1,
                                  .sample_format = SampleFormat::I16};
  auto [producer, consumer] = make_route_ring(std::size_t{1} << 16);
  asr::InputState input(asr::AsrSinkInput{"bench", std::move(consumer)}, config,
                        std::make_shared<asr::AsrInputMetrics>());
  CountingCallback callback;

  // A saw-tooth within [-0.5, 0.5); the values do not change the cost.
  std::vector<float> block(frames_per_write * 2);
  for (std::size_t i = 0; i < block.size(); ++i) {
    block[i] = static_cast<float>(i % 2000) / 2000.0F - 0.5F;
  }

  for (auto _ : state) {
    producer.write(block);
    auto polled = input.poll(callback);
    if (!polled.ok()) {
      state.SkipWithError("conversion failed");
      break;
    }
  }
  state.SetItemsProcessed(callback.chunks);
  state.counters["chunks"] = static_cast<double>(callback.chunks);
}
BENCHMARK(BM_AsrMono16kI16Chunk320)->Arg(480)->Arg(960)->Arg(4096);

}  // namespace
