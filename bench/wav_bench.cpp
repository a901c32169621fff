// WAV writing throughput, in master-format input frames per second, of the
// sink's own write path (converter + write_output_samples + WavWriter, as the
// writer thread drives them, without the thread) next to libsndfile writing
// the same samples. Each iteration writes a whole 10-second file to /tmp:
// open, 1024-frame blocks, finalization.
//
// For 16 kHz mono I16, libsndfile gets samples that were resampled and
// quantized beforehand (outside the timing), so its figure covers file
// writing only, while ours includes the resampling. The PreResampled variant
// of ours takes the same resampled samples (still quantizing them itself)
// for a like-for-like look at the writer. Items are always the 48 kHz master
// frames the file stands for. Times are wall-clock: the work includes
// system calls.
//
// Built by hand with:
//   cmake --preset release && cmake --build --preset release --target core_engine
//   g++ -O2 -std=c++20 -Icore_engine/src bench/wav_bench.cpp build/release/core_engine/libcore_engine.a -lsndfile -lbenchmark -lbenchmark_main -lpthread -o /tmp/wav_bench
//   /tmp/wav_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "converter.hpp"
#include "format.hpp"
#include "outputs/pcm16.hpp"
#include "outputs/wav_file.hpp"
#include "outputs/wav_writer.hpp"

namespace {

using core_engine::converter::MasterFormatConverter;
using core_engine::format::AudioFormat;
using core_engine::format::MASTER_FORMAT;
using core_engine::format::SampleFormat;
namespace wav = core_engine::outputs::wav_file;

constexpr std::size_t BLOCK_FRAMES = 1024;
constexpr std::size_t FILE_FRAMES = 48000 * 10;

const std::string OURS_PATH = "/tmp/tessaro-wav-bench-ours.wav";
const std::string SNDFILE_PATH = "/tmp/tessaro-wav-bench-sndfile.wav";

// Ten seconds of two detuned sines in the master format.
const std::vector<float>& master_signal() {
  static const std::vector<float> signal = [] {
    std::vector<float> s(FILE_FRAMES * 2);
    for (std::size_t f = 0; f < FILE_FRAMES; ++f) {
      const double t = static_cast<double>(f) / 48000.0;
      s[2 * f] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * t));
      s[2 * f + 1] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 443.0 * t));
    }
    return s;
  }();
  return signal;
}

void fail(benchmark::State& state, const std::string& why) { state.SkipWithError(why.c_str()); }

void write_ours(benchmark::State& state, AudioFormat output) {
  const std::vector<float>& signal = master_signal();
  const bool is_float = output.sample_format == SampleFormat::F32;
  const wav::WavFormat wav_format{output.channels, output.sample_rate, static_cast<std::uint16_t>(is_float ? 32 : 16),
                          is_float ? wav::WavSampleKind::Float : wav::WavSampleKind::Int};
  std::vector<float> converted;
  std::vector<std::int16_t> pcm16;
  wav::WavSinkMetrics metrics;
  for (auto _ : state) {
    auto converter =
        MasterFormatConverter::create(MASTER_FORMAT, {output.sample_rate, output.channels, SampleFormat::F32});
    if (!converter) return fail(state, converter.error().message());
    const int fd = ::open(OURS_PATH.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    auto writer = wav::WavWriter::create(wav::BufferedFile(fd), wav_format);
    if (!writer) return fail(state, writer.error());
    for (std::size_t first = 0; first < signal.size(); first += BLOCK_FRAMES * 2) {
      const auto block = std::span(signal).subspan(first, std::min(BLOCK_FRAMES * 2, signal.size() - first));
      if (auto r = converter.value().convert(block, converted); !r) return fail(state, r.error().message());
      if (auto r = wav::write_output_samples(writer.value(), converted, output, pcm16, metrics); !r) {
        return fail(state, r.error().message());
      }
    }
    if (auto r = converter.value().finish(converted); !r) return fail(state, r.error().message());
    if (auto r = wav::write_output_samples(writer.value(), converted, output, pcm16, metrics); !r) {
      return fail(state, r.error().message());
    }
    if (auto r = writer.value().finalize(); !r) return fail(state, r.error());
  }
  ::unlink(OURS_PATH.c_str());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(FILE_FRAMES));
}

// Only the writer: samples already in the output rate and channel count.
void write_ours_converted(benchmark::State& state, AudioFormat output, const std::vector<float>& samples) {
  const bool is_float = output.sample_format == SampleFormat::F32;
  const wav::WavFormat wav_format{output.channels, output.sample_rate, static_cast<std::uint16_t>(is_float ? 32 : 16),
                          is_float ? wav::WavSampleKind::Float : wav::WavSampleKind::Int};
  const std::size_t block = std::max<std::size_t>(1, BLOCK_FRAMES * output.sample_rate / 48000) * output.channels;
  std::vector<std::int16_t> pcm16;
  wav::WavSinkMetrics metrics;
  for (auto _ : state) {
    const int fd = ::open(OURS_PATH.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    auto writer = wav::WavWriter::create(wav::BufferedFile(fd), wav_format);
    if (!writer) return fail(state, writer.error());
    for (std::size_t first = 0; first < samples.size(); first += block) {
      const auto part = std::span(samples).subspan(first, std::min(block, samples.size() - first));
      if (auto r = wav::write_output_samples(writer.value(), part, output, pcm16, metrics); !r) {
        return fail(state, r.error().message());
      }
    }
    if (auto r = writer.value().finalize(); !r) return fail(state, r.error());
  }
  ::unlink(OURS_PATH.c_str());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(FILE_FRAMES));
}

// The output format's samples, converted once, outside any timing.
std::vector<float> converted_signal(AudioFormat output) {
  auto converter =
      MasterFormatConverter::create(MASTER_FORMAT, {output.sample_rate, output.channels, SampleFormat::F32}).value();
  std::vector<float> all;
  std::vector<float> part;
  (void)converter.convert(master_signal(), all);
  (void)converter.finish(part);
  all.insert(all.end(), part.begin(), part.end());
  return all;
}

template <typename T>
void write_sndfile(benchmark::State& state, AudioFormat output, const std::vector<T>& samples) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(output.sample_rate);
  info.channels = output.channels;
  info.format = SF_FORMAT_WAV | (output.sample_format == SampleFormat::F32 ? SF_FORMAT_FLOAT : SF_FORMAT_PCM_16);
  const std::size_t channels = output.channels;
  // The same block duration as ours: 1024 master frames.
  const std::size_t block_frames = std::max<std::size_t>(1, BLOCK_FRAMES * output.sample_rate / 48000);
  for (auto _ : state) {
    SF_INFO open_info = info;
    SNDFILE* file = sf_open(SNDFILE_PATH.c_str(), SFM_WRITE, &open_info);
    if (file == nullptr) return fail(state, sf_strerror(nullptr));
    const std::size_t frames = samples.size() / channels;
    for (std::size_t first = 0; first < frames; first += block_frames) {
      const auto n = static_cast<sf_count_t>(std::min(block_frames, frames - first));
      sf_count_t written = 0;
      if constexpr (std::is_same_v<T, float>) {
        written = sf_writef_float(file, samples.data() + first * channels, n);
      } else {
        written = sf_writef_short(file, samples.data() + first * channels, n);
      }
      if (written != n) {
        sf_close(file);
        return fail(state, "libsndfile wrote fewer frames than asked");
      }
    }
    if (sf_close(file) != 0) return fail(state, "sf_close failed");
  }
  ::unlink(SNDFILE_PATH.c_str());
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(FILE_FRAMES));
}

constexpr AudioFormat STEREO_F32_48K{48000, 2, SampleFormat::F32};
constexpr AudioFormat MONO_I16_16K{16000, 1, SampleFormat::I16};

void BM_Ours_48kStereoF32(benchmark::State& state) { write_ours(state, STEREO_F32_48K); }

void BM_Sndfile_48kStereoF32(benchmark::State& state) {
  write_sndfile(state, STEREO_F32_48K, master_signal());
}

void BM_Ours_16kMonoI16_Resampled(benchmark::State& state) { write_ours(state, MONO_I16_16K); }

void BM_Ours_16kMonoI16_PreResampled(benchmark::State& state) {
  write_ours_converted(state, MONO_I16_16K, converted_signal(MONO_I16_16K));
}

void BM_Sndfile_16kMonoI16_PreResampled(benchmark::State& state) {
  std::vector<std::int16_t> shorts;
  core_engine::outputs::to_pcm16(converted_signal(MONO_I16_16K), shorts);
  write_sndfile(state, MONO_I16_16K, shorts);
}

BENCHMARK(BM_Ours_48kStereoF32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sndfile_48kStereoF32)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Ours_16kMonoI16_Resampled)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Ours_16kMonoI16_PreResampled)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Sndfile_16kMonoI16_PreResampled)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
