// Throughput of MasterFormatConverter in 1024-frame calls, in input frames
// per second, next to a plain loop doing the same multiply-adds.
//
// Cost model of the resampler: each output sample of each channel takes four
// 64-tap dot products (the four kernel table entries that the cubic
// interpolation combines, for every tap) and one 4-term combination:
// 4 * 64 + 4 = 260 multiply-adds per output sample per channel. One call of
// 1024 input frames yields about 1024 * ratio output frames.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "converter.hpp"

namespace {

using core_engine::converter::AudioFormat;
using core_engine::converter::MasterFormatConverter;
using core_engine::format::SampleFormat;

constexpr std::size_t CHUNK = 1024;
constexpr std::size_t TAPS = 64;
constexpr std::size_t POINTS = 4;
constexpr std::size_t PHASES = 32;
constexpr std::size_t MACS_PER_OUTPUT_SAMPLE = TAPS * POINTS + POINTS;  // 260

std::vector<float> signal(std::size_t frames, std::size_t channels) {
  std::vector<float> out(frames * channels);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<float>(0.5 * std::sin(0.01 * static_cast<double>(i)));
  }
  return out;
}

// Output frames of call number `call` (0-based): the total after n calls is
// ceil(n * CHUNK * out / in).
std::size_t frames_of_call(std::uint64_t call, std::uint32_t in_rate, std::uint32_t out_rate) {
  const auto total = [&](std::uint64_t calls) {
    return (calls * CHUNK * out_rate + in_rate - 1) / in_rate;
  };
  return static_cast<std::size_t>(total(call + 1) - total(call));
}

// Input frames per second, and the multiply-adds per second they imply.
void report(benchmark::State& state, std::uint32_t in_rate, std::uint32_t out_rate, std::uint16_t channels) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(CHUNK));
  state.counters["MAC/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(CHUNK) * out_rate / in_rate *
          channels * static_cast<double>(MACS_PER_OUTPUT_SAMPLE),
      benchmark::Counter::kIsRate);
}

void BM_Converter(benchmark::State& state, std::uint32_t in_rate, std::uint32_t out_rate,
                  std::uint16_t channels) {
  auto created = MasterFormatConverter::create(AudioFormat{in_rate, channels, SampleFormat::F32},
                                               AudioFormat{out_rate, channels, SampleFormat::F32});
  if (!created) {
    state.SkipWithError(created.error().message().c_str());
    return;
  }
  MasterFormatConverter converter = std::move(created).value();
  const std::vector<float> input = signal(CHUNK, channels);
  std::vector<float> output;
  for (auto _ : state) {
    if (!converter.convert(input, output)) {
      state.SkipWithError("convert failed");
      break;
    }
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  report(state, in_rate, out_rate, channels);
}

// The same number of multiply-adds per call as the resampler, over plain
// float arrays of the same sizes: per output sample, four 64-tap dot products
// against a 4-interleaved table and a 4-term combination.
void BM_PlainLoop(benchmark::State& state, std::uint32_t in_rate, std::uint32_t out_rate,
                  std::uint16_t channels) {
  const std::vector<float> history = signal(TAPS + CHUNK, channels);
  const std::vector<float> table = signal(PHASES * TAPS * POINTS, 1);
  std::vector<float> output(2 * CHUNK * (out_rate / in_rate + 1) * channels);
  const double step = static_cast<double>(in_rate) / out_rate;
  std::uint64_t call = 0;
  for (auto _ : state) {
    const std::size_t frames = frames_of_call(call++, in_rate, out_rate);
    for (std::size_t j = 0; j < frames; ++j) {
      const auto base = static_cast<std::size_t>(static_cast<double>(j) * step) % CHUNK;
      const float* taps = table.data() + (j % PHASES) * TAPS * POINTS;
      for (std::size_t c = 0; c < channels; ++c) {
        const float* x = history.data() + c * (TAPS + CHUNK) + base;
        float acc[POINTS] = {0.0F, 0.0F, 0.0F, 0.0F};
        for (std::size_t i = 0; i < TAPS; ++i) {
          for (std::size_t m = 0; m < POINTS; ++m) {
            acc[m] += x[i] * taps[i * POINTS + m];
          }
        }
        output[j * channels + c] = 0.1F * acc[0] + 0.6F * acc[1] + 0.4F * acc[2] - 0.1F * acc[3];
      }
    }
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  report(state, in_rate, out_rate, channels);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Converter, 48000_to_16000_mono, 48000, 16000, 1);
BENCHMARK_CAPTURE(BM_PlainLoop, 48000_to_16000_mono, 48000, 16000, 1);
BENCHMARK_CAPTURE(BM_Converter, 44100_to_48000_stereo, 44100, 48000, 2);
BENCHMARK_CAPTURE(BM_PlainLoop, 44100_to_48000_stereo, 44100, 48000, 2);
BENCHMARK_CAPTURE(BM_Converter, 48000_to_44100_stereo, 48000, 44100, 2);
BENCHMARK_CAPTURE(BM_PlainLoop, 48000_to_44100_stereo, 48000, 44100, 2);
BENCHMARK_CAPTURE(BM_Converter, 16000_to_48000_mono, 16000, 48000, 1);
BENCHMARK_CAPTURE(BM_PlainLoop, 16000_to_48000_mono, 16000, 48000, 1);
