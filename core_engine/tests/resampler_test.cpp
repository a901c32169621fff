#include "resampler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace {

using core_engine::resampler::CHUNK_FRAMES;
using core_engine::resampler::CUTOFF;
using core_engine::resampler::ProcessedFrames;
using core_engine::resampler::SincResampler;

struct Rates {
  std::uint32_t in;
  std::uint32_t out;
  double ratio() const { return static_cast<double>(out) / static_cast<double>(in); }
};

std::string rates_name(const Rates& r) { return std::to_string(r.in) + "->" + std::to_string(r.out); }

SincResampler make(double ratio, std::size_t channels) {
  auto built = SincResampler::create(ratio, channels);
  EXPECT_TRUE(built.ok()) << (built.ok() ? "" : built.error());
  return std::move(built).value();
}

// Runs whole chunks of `input` (one vector per channel, same length, a
// multiple of CHUNK_FRAMES) and returns the concatenated output per channel.
std::vector<std::vector<float>> run(SincResampler& resampler,
                                    const std::vector<std::vector<float>>& input) {
  const std::size_t channels = input.size();
  std::vector<std::vector<float>> out(channels);
  std::vector<std::vector<float>> scratch(channels,
                                          std::vector<float>(resampler.output_frames_max()));
  std::vector<std::span<const float>> in_views(channels);
  std::vector<std::span<float>> out_views(channels);
  for (std::size_t start = 0; start + CHUNK_FRAMES <= input[0].size(); start += CHUNK_FRAMES) {
    for (std::size_t c = 0; c < channels; ++c) {
      in_views[c] = std::span<const float>(input[c]).subspan(start, CHUNK_FRAMES);
      out_views[c] = scratch[c];
    }
    auto processed = resampler.process(in_views, out_views);
    EXPECT_TRUE(processed.ok());
    if (!processed.ok()) {
      break;
    }
    for (std::size_t c = 0; c < channels; ++c) {
      out[c].insert(out[c].end(), scratch[c].begin(),
                    scratch[c].begin() +
                        static_cast<std::ptrdiff_t>(processed.value().output_frames_written));
    }
  }
  return out;
}

std::uint64_t ceil_frames(std::uint64_t frames, const Rates& r) {
  return (frames * r.out + r.in - 1) / r.in;
}

TEST(SincResamplerTest, RefusesBadArguments) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double ratio;
    std::size_t channels;
    std::string message;
  };
  const Case cases[] = {
      {0.0, 1, "resample ratio must be a positive finite number, got 0.000000"},
      {-2.0, 1, "resample ratio must be a positive finite number, got -2.000000"},
      {nan, 2, "resample ratio must be a positive finite number, got nan"},
      {inf, 2, "resample ratio must be a positive finite number, got inf"},
      {0.001, 1, "resample ratio 0.001000 is outside the supported range [0.003906, 256.000000]"},
      {300.0, 1, "resample ratio 300.000000 is outside the supported range [0.003906, 256.000000]"},
      {3.0, 0, "channel count must be at least 1"},
  };
  for (const Case& c : cases) {
    auto built = SincResampler::create(c.ratio, c.channels);
    ASSERT_FALSE(built.ok()) << c.ratio << " " << c.channels;
    EXPECT_EQ(built.error(), c.message);
  }
}

TEST(SincResamplerTest, ReportsItsFixedSettings) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(CUTOFF), 0x3F4A0382U);
  EXPECT_FLOAT_EQ(CUTOFF, 0.78911602F);
  const Rates cases[] = {{48000, 16000}, {48000, 44100}, {44100, 48000}, {16000, 48000}, {1, 256}};
  for (const Rates& r : cases) {
    const SincResampler resampler = make(r.ratio(), 2);
    SCOPED_TRACE(rates_name(r));
    EXPECT_EQ(resampler.input_frames_next(), 1024U);
    EXPECT_EQ(resampler.interpolation_length(), 64U);
    EXPECT_EQ(resampler.channels(), 2U);
    EXPECT_EQ(resampler.output_frames_max(),
              static_cast<std::size_t>(std::ceil(1024.0 * r.ratio() * 1.5)) + 2);
    const float expected_cutoff =
        r.ratio() < 1.0 ? static_cast<float>(static_cast<double>(CUTOFF) * r.ratio()) : CUTOFF;
    EXPECT_EQ(resampler.cutoff(), expected_cutoff);
  }
}

// After N input frames exactly the outputs j with j / ratio < N exist. The
// run lengths reach the chunk where N * ratio is first a whole number, where
// rounding of the accumulated position would show.
TEST(SincResamplerTest, OutputCountAfterEachChunkIsCeilOfFramesTimesRatio) {
  const std::uint32_t rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
  for (std::uint32_t in : rates) {
    for (std::uint32_t out : rates) {
      if (in == out) {
        continue;
      }
      const Rates r{in, out};
      SCOPED_TRACE(rates_name(r));
      SincResampler resampler = make(r.ratio(), 1);
      // Chunks until 1024 * chunks * out / in is whole, plus a few.
      std::uint64_t whole_after = 1;
      while ((1024 * whole_after * out) % in != 0) {
        ++whole_after;
      }
      const std::uint64_t chunks = whole_after + 3;
      const std::vector<float> input(CHUNK_FRAMES, 0.25F);
      std::vector<float> output(resampler.output_frames_max());
      const std::span<const float> in_views[] = {input};
      const std::span<float> out_views[] = {output};
      std::uint64_t total = 0;
      for (std::uint64_t chunk = 1; chunk <= chunks; ++chunk) {
        const std::size_t next = resampler.output_frames_next();
        auto processed = resampler.process(in_views, out_views);
        ASSERT_TRUE(processed.ok());
        ASSERT_EQ(processed.value().input_frames_used, CHUNK_FRAMES);
        ASSERT_EQ(processed.value().output_frames_written, next);
        ASSERT_LE(next, resampler.output_frames_max());
        total += next;
        ASSERT_EQ(total, ceil_frames(chunk * CHUNK_FRAMES, r)) << "after chunk " << chunk;
      }
    }
  }
}

TEST(SincResamplerTest, ConstantInputComesOutUnchangedAfterStartUp) {
  const Rates cases[] = {{48000, 16000}, {48000, 44100}, {44100, 48000}, {16000, 48000},
                         {96000, 8000},  {8000, 96000},  {44100, 22050}, {11025, 32000}};
  for (const Rates& r : cases) {
    SCOPED_TRACE(rates_name(r));
    SincResampler resampler = make(r.ratio(), 2);
    const std::vector<std::vector<float>> input = {std::vector<float>(8 * CHUNK_FRAMES, 1.0F),
                                                   std::vector<float>(8 * CHUNK_FRAMES, -0.5F)};
    const auto output = run(resampler, input);
    // Output j reads input frames up to j / ratio - 64 back; all of them are
    // real input once j / ratio >= 64.
    const auto settled = static_cast<std::size_t>(std::ceil(64.0 * r.ratio()));
    ASSERT_GT(output[0].size(), settled);
    double worst = 0.0;
    for (std::size_t j = settled; j < output[0].size(); ++j) {
      worst = std::max(worst, std::abs(static_cast<double>(output[0][j]) - 1.0));
      worst = std::max(worst, std::abs(static_cast<double>(output[1][j]) + 0.5));
    }
    EXPECT_LE(worst, 1e-6);
  }
}

// Output j is the input at time j / ratio - 32: a sine in the passband comes
// out as the same sine sampled at those times, channel by channel.
TEST(SincResamplerTest, PassbandSinesLandOnTheirInputTimes) {
  struct Case {
    Rates rates;
    double frequency;  // Hz
    double tolerance;
  };
  // Tolerances follow the kernel's gain at each frequency: flat to a few
  // 1e-7 up to about a third of the cutoff when downsampling and most of it
  // when upsampling, slightly rolled off above.
  const Case cases[] = {
      {{48000, 16000}, 1000.0, 2e-6},  {{48000, 16000}, 2000.0, 5e-5},
      {{48000, 44100}, 5000.0, 2e-6},  {{48000, 44100}, 12000.0, 2e-6},
      {{44100, 48000}, 1000.0, 2e-6},  {{44100, 48000}, 13000.0, 5e-6},
      {{16000, 48000}, 440.0, 2e-6},   {{16000, 48000}, 4000.0, 2e-6},
      {{32000, 11025}, 1200.0, 5e-6},  {{8000, 22050}, 2000.0, 2e-6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(rates_name(c.rates) + " at " + std::to_string(c.frequency) + " Hz");
    SincResampler resampler = make(c.rates.ratio(), 2);
    const double omega = 2.0 * std::numbers::pi * c.frequency / c.rates.in;
    std::vector<std::vector<float>> input(2, std::vector<float>(12 * CHUNK_FRAMES));
    for (std::size_t n = 0; n < input[0].size(); ++n) {
      input[0][n] = static_cast<float>(0.8 * std::sin(omega * static_cast<double>(n)));
      input[1][n] = static_cast<float>(-0.5 * std::cos(omega * static_cast<double>(n) + 0.3));
    }
    const auto output = run(resampler, input);
    const double ratio = c.rates.ratio();
    double worst = 0.0;
    std::size_t checked = 0;
    for (std::size_t j = 0; j < output[0].size(); ++j) {
      const double t = static_cast<double>(j) / ratio - 32.0;
      // Only where the whole kernel covers real input.
      if (t < 32.0 || t > static_cast<double>(input[0].size()) - 33.0) {
        continue;
      }
      worst = std::max(worst, std::abs(static_cast<double>(output[0][j]) - 0.8 * std::sin(omega * t)));
      worst = std::max(worst,
                       std::abs(static_cast<double>(output[1][j]) + 0.5 * std::cos(omega * t + 0.3)));
      ++checked;
    }
    EXPECT_GT(checked, output[0].size() / 2);
    EXPECT_LE(worst, c.tolerance);
  }
}

// A sine whose aliases would land below the lower Nyquist frequency must be
// filtered away when downsampling.
TEST(SincResamplerTest, RejectsStopbandSinesWhenDownsampling) {
  struct Case {
    Rates rates;
    double frequency;
  };
  const Case cases[] = {{{48000, 16000}, 12000.0}, {{48000, 16000}, 20000.0},
                        {{48000, 44100}, 23000.0}, {{96000, 8000}, 30000.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(rates_name(c.rates) + " at " + std::to_string(c.frequency) + " Hz");
    SincResampler resampler = make(c.rates.ratio(), 1);
    const double omega = 2.0 * std::numbers::pi * c.frequency / c.rates.in;
    std::vector<std::vector<float>> input(1, std::vector<float>(16 * CHUNK_FRAMES));
    for (std::size_t n = 0; n < input[0].size(); ++n) {
      input[0][n] = static_cast<float>(std::sin(omega * static_cast<double>(n)));
    }
    const auto output = run(resampler, input);
    const auto settled = static_cast<std::size_t>(std::ceil(64.0 * c.rates.ratio()));
    double energy = 0.0;
    for (std::size_t j = settled; j < output[0].size(); ++j) {
      energy += static_cast<double>(output[0][j]) * static_cast<double>(output[0][j]);
    }
    const double rms = std::sqrt(energy / static_cast<double>(output[0].size() - settled));
    EXPECT_LT(rms, 1e-5);  // below -100 dB against the sine's 0.707
  }
}

// Frames past the partial length count as silence, whatever the spans hold.
TEST(SincResamplerTest, PartialLengthTreatsTheRestAsSilence) {
  const std::size_t lengths[] = {0, 1, 500, 1023, 1024};
  for (std::size_t length : lengths) {
    SCOPED_TRACE(length);
    SincResampler partial = make(48000.0 / 44100.0, 1);
    SincResampler reference = make(48000.0 / 44100.0, 1);
    std::vector<float> ramp(CHUNK_FRAMES);
    for (std::size_t n = 0; n < CHUNK_FRAMES; ++n) {
      ramp[n] = 0.001F * static_cast<float>(n) - 0.4F;
    }
    std::vector<float> zero_padded(CHUNK_FRAMES, 0.0F);
    std::copy_n(ramp.begin(), length, zero_padded.begin());
    std::vector<float> out_a(partial.output_frames_max());
    std::vector<float> out_b(reference.output_frames_max());
    const std::span<float> views_a[] = {out_a};
    const std::span<float> views_b[] = {out_b};
    const std::span<const float> silence[] = {std::span<const float>(zero_padded).subspan(0, 0)};
    for (int pass = 0; pass < 3; ++pass) {
      // First pass: the partial chunk; then silence, which shows the history
      // carried on.
      const std::span<const float> in_a[] = {pass == 0 ? std::span<const float>(ramp) : silence[0]};
      const std::span<const float> in_b[] = {zero_padded};
      auto a = partial.process(in_a, views_a, pass == 0 ? length : 0);
      auto b = reference.process(in_b, views_b);
      ASSERT_TRUE(a.ok());
      ASSERT_TRUE(b.ok());
      EXPECT_EQ(a.value().input_frames_used, pass == 0 ? length : 0);
      ASSERT_EQ(a.value().output_frames_written, b.value().output_frames_written);
      for (std::size_t j = 0; j < a.value().output_frames_written; ++j) {
        ASSERT_EQ(out_a[j], out_b[j]) << "pass " << pass << " frame " << j;
      }
      if (pass == 0) {
        std::fill(zero_padded.begin(), zero_padded.end(), 0.0F);
      }
    }
  }
}

TEST(SincResamplerTest, RefusesMismatchedBuffersAndKeepsItsState) {
  const std::vector<float> full(CHUNK_FRAMES, 0.5F);
  const std::vector<float> short_in(CHUNK_FRAMES - 1, 0.5F);
  std::vector<float> room(400);
  std::vector<float> little_room(10);
  const std::span<const float> one_in[] = {full};
  const std::span<const float> two_in[] = {full, full};
  const std::span<const float> two_in_short[] = {full, short_in};
  const std::span<float> one_out[] = {room};
  std::vector<float> room2(400);
  const std::span<float> two_out[] = {room, room2};
  const std::span<float> two_out_small[] = {room, little_room};

  struct Case {
    std::span<const std::span<const float>> input;
    std::span<const std::span<float>> output;
    std::optional<std::size_t> partial;
    std::string message;
  };
  const Case cases[] = {
      {one_in, two_out, std::nullopt, "expected 2 input channels, got 1"},
      {two_in, one_out, std::nullopt, "expected 2 output channels, got 1"},
      {two_in_short, two_out, std::nullopt, "input channel 1 holds 1023 frames, 1024 needed"},
      {two_in, two_out_small, std::nullopt, "output channel 1 has room for 10 frames, 342 needed"},
      {two_in, two_out, 1025, "partial length 1025 exceeds the chunk of 1024 frames"},
  };
  SincResampler resampler = make(1.0 / 3.0, 2);
  for (const Case& c : cases) {
    auto processed = resampler.process(c.input, c.output, c.partial);
    ASSERT_FALSE(processed.ok()) << c.message;
    EXPECT_EQ(processed.error(), c.message);
  }
  // A short input is fine when the partial length says so.
  auto partial = resampler.process(two_in_short, two_out, 1023);
  ASSERT_TRUE(partial.ok());
  EXPECT_EQ(partial.value(), (ProcessedFrames{1023, 342}));

  // The refusals changed nothing: the same partial chunk on a fresh resampler
  // gives the same samples.
  SincResampler fresh = make(1.0 / 3.0, 2);
  std::vector<float> fresh_room(400);
  std::vector<float> fresh_room2(400);
  const std::span<float> fresh_out[] = {fresh_room, fresh_room2};
  ASSERT_TRUE(fresh.process(two_in_short, fresh_out, 1023).ok());
  EXPECT_EQ(room, fresh_room);
  EXPECT_EQ(room2, fresh_room2);
}

}  // namespace
