#include "converter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <numbers>
#include <span>
#include <string>
#include <vector>

namespace {

using core_engine::converter::AudioFormat;
using core_engine::converter::InputConversionError;
using core_engine::converter::InputConversionErrorKind;
using core_engine::converter::InputConverter;
using core_engine::converter::MasterFormatConverter;
using core_engine::converter::RESAMPLER_CHUNK_FRAMES;
using core_engine::format::SampleFormat;
using core_engine::resampler::SincResampler;

AudioFormat f32(std::uint32_t rate, std::uint16_t channels) {
  return AudioFormat{rate, channels, SampleFormat::F32};
}

std::string name(const AudioFormat& in, const AudioFormat& out) {
  return std::to_string(in.sample_rate) + "/" + std::to_string(in.channels) + " -> " +
         std::to_string(out.sample_rate) + "/" + std::to_string(out.channels);
}

MasterFormatConverter make(AudioFormat in, AudioFormat out) {
  auto created = MasterFormatConverter::create(in, out);
  EXPECT_TRUE(created.ok()) << name(in, out) << ": "
                            << (created.ok() ? "" : created.error().message());
  return std::move(created).value();
}

std::uint64_t ceil_frames(std::uint64_t frames, std::uint32_t in_rate, std::uint32_t out_rate) {
  return (frames * out_rate + in_rate - 1) / in_rate;
}

// Feeds `input` in calls of `call_frames` frames, then finishes; returns
// everything emitted.
std::vector<float> convert_all(MasterFormatConverter& converter, const std::vector<float>& input,
                               std::size_t call_frames) {
  const std::size_t channels = converter.input_format().channels;
  std::vector<float> all;
  std::vector<float> out;
  for (std::size_t start = 0; start < input.size(); start += call_frames * channels) {
    const std::size_t len = std::min(call_frames * channels, input.size() - start);
    auto converted = converter.convert(std::span<const float>(input).subspan(start, len), out);
    EXPECT_TRUE(converted.ok());
    all.insert(all.end(), out.begin(), out.end());
  }
  auto finished = converter.finish(out);
  EXPECT_TRUE(finished.ok());
  all.insert(all.end(), out.begin(), out.end());
  return all;
}

// The resampler's own output for `input` (interleaved, `channels`), run over
// enough whole chunks (silence after the input) to give `frames` frames.
std::vector<float> resample_directly(const std::vector<float>& input, std::size_t channels,
                                     double ratio, std::size_t frames) {
  auto built = SincResampler::create(ratio, channels);
  EXPECT_TRUE(built.ok());
  SincResampler resampler = std::move(built).value();
  std::vector<std::vector<float>> chunk(channels, std::vector<float>(RESAMPLER_CHUNK_FRAMES));
  std::vector<std::vector<float>> scratch(channels,
                                          std::vector<float>(resampler.output_frames_max()));
  std::vector<std::span<const float>> in_views(chunk.begin(), chunk.end());
  std::vector<std::span<float>> out_views(scratch.begin(), scratch.end());
  std::vector<float> out;
  const std::size_t input_frames = input.size() / channels;
  for (std::size_t first = 0; out.size() < frames * channels; first += RESAMPLER_CHUNK_FRAMES) {
    for (std::size_t f = 0; f < RESAMPLER_CHUNK_FRAMES; ++f) {
      for (std::size_t c = 0; c < channels; ++c) {
        chunk[c][f] = first + f < input_frames ? input[(first + f) * channels + c] : 0.0F;
      }
    }
    auto processed = resampler.process(in_views, out_views);
    EXPECT_TRUE(processed.ok());
    for (std::size_t j = 0; j < processed.value().output_frames_written; ++j) {
      for (std::size_t c = 0; c < channels; ++c) {
        out.push_back(scratch[c][j]);
      }
    }
  }
  out.resize(frames * channels);
  return out;
}

std::vector<float> test_signal(std::size_t frames, std::size_t channels) {
  std::vector<float> out(frames * channels);
  for (std::size_t f = 0; f < frames; ++f) {
    for (std::size_t c = 0; c < channels; ++c) {
      const double t = static_cast<double>(f);
      out[f * channels + c] = static_cast<float>(0.6 * std::sin(0.013 * t * static_cast<double>(c + 1)) +
                                                 0.2 * std::sin(0.31 * t + 1.0));
    }
  }
  return out;
}

TEST(InputConversionErrorTest, MessagesAndKinds) {
  struct Case {
    InputConversionError error;
    InputConversionErrorKind kind;
    std::string message;
  };
  const Case cases[] = {
      {InputConversionError::InputLengthNotDivisible{5, 2}, InputConversionErrorKind::InputLengthNotDivisible,
       "input length 5 is not divisible by channels 2"},
      {InputConversionError::UnsupportedChannelConversion{3, 2},
       InputConversionErrorKind::UnsupportedChannelConversion, "unsupported channel conversion: 3 -> 2"},
      {InputConversionError::UnsupportedSampleFormat{SampleFormat::F32, SampleFormat::I16},
       InputConversionErrorKind::UnsupportedSampleFormat,
       "unsupported sample format conversion: F32 -> I16"},
      {InputConversionError::ResamplerInit{"bad ratio"}, InputConversionErrorKind::ResamplerInit,
       "resampler initialization failed: bad ratio"},
      {InputConversionError::ResamplerProcess{"no room"}, InputConversionErrorKind::ResamplerProcess,
       "resampler process failed: no room"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind);
    EXPECT_EQ(c.error.message(), c.message);
  }
}

TEST(MasterFormatConverterTest, CreateRefusesWhatItCannotConvert) {
  const AudioFormat i16_48k{48000, 2, SampleFormat::I16};
  struct Case {
    AudioFormat in;
    AudioFormat out;
    InputConversionErrorKind kind;
    std::string message;
  };
  const Case cases[] = {
      {i16_48k, f32(48000, 2), InputConversionErrorKind::UnsupportedSampleFormat,
       "unsupported sample format conversion: I16 -> F32"},
      {f32(48000, 2), AudioFormat{16000, 1, SampleFormat::I16},
       InputConversionErrorKind::UnsupportedSampleFormat,
       "unsupported sample format conversion: F32 -> I16"},
      {i16_48k, i16_48k, InputConversionErrorKind::UnsupportedSampleFormat,
       "unsupported sample format conversion: I16 -> I16"},
      {f32(48000, 2), f32(0, 2), InputConversionErrorKind::ResamplerInit,
       "resampler initialization failed: resample ratio must be a positive finite number, got "
       "0.000000"},
      {f32(0, 2), f32(48000, 2), InputConversionErrorKind::ResamplerInit,
       "resampler initialization failed: resample ratio must be a positive finite number, got "
       "inf"},
      {f32(44100, 2), f32(48000, 0), InputConversionErrorKind::ResamplerInit,
       "resampler initialization failed: channel count must be at least 1"},
  };
  for (const Case& c : cases) {
    auto created = MasterFormatConverter::create(c.in, c.out);
    ASSERT_FALSE(created.ok()) << name(c.in, c.out);
    EXPECT_EQ(created.error().kind(), c.kind);
    EXPECT_EQ(created.error().message(), c.message);
  }
}

TEST(MasterFormatConverterTest, ReportsItsFormatsThroughTheInterface) {
  const AudioFormat in = f32(44100, 1);
  const AudioFormat out = f32(48000, 2);
  std::unique_ptr<InputConverter> converter =
      std::make_unique<MasterFormatConverter>(make(in, out));
  EXPECT_EQ(converter->input_format(), in);
  EXPECT_EQ(converter->output_format(), out);
  std::vector<float> output;
  ASSERT_TRUE(converter->convert(std::vector<float>(1024, 0.5F), output).ok());
  EXPECT_EQ(output.size(), 2U * (ceil_frames(1024, 44100, 48000) - 34));
}

// Refused input changes nothing: the output keeps what it held and the
// totals stay; a converter built for an unsupported pair refuses every call.
TEST(MasterFormatConverterTest, RefusesInputBeforeChangingAnything) {
  struct Case {
    AudioFormat in;
    AudioFormat out;
    std::size_t samples;
    InputConversionErrorKind kind;
    std::string message;
  };
  const Case cases[] = {
      {f32(48000, 3), f32(48000, 2), 6, InputConversionErrorKind::UnsupportedChannelConversion,
       "unsupported channel conversion: 3 -> 2"},
      {f32(44100, 3), f32(48000, 2), 3000, InputConversionErrorKind::UnsupportedChannelConversion,
       "unsupported channel conversion: 3 -> 2"},
      {f32(48000, 2), f32(48000, 4), 8, InputConversionErrorKind::UnsupportedChannelConversion,
       "unsupported channel conversion: 2 -> 4"},
      {f32(48000, 2), f32(16000, 1), 5, InputConversionErrorKind::InputLengthNotDivisible,
       "input length 5 is not divisible by channels 2"},
      {f32(48000, 3), f32(48000, 2), 7, InputConversionErrorKind::InputLengthNotDivisible,
       "input length 7 is not divisible by channels 3"},
      {f32(48000, 0), f32(48000, 0), 0, InputConversionErrorKind::InputLengthNotDivisible,
       "input length 0 is not divisible by channels 0"},
      {f32(48000, 0), f32(48000, 2), 4, InputConversionErrorKind::InputLengthNotDivisible,
       "input length 4 is not divisible by channels 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(name(c.in, c.out));
    MasterFormatConverter converter = make(c.in, c.out);
    const std::vector<float> input(c.samples, 0.25F);
    for (int call = 0; call < 2; ++call) {
      std::vector<float> output = {7.0F, 8.0F};
      auto converted = converter.convert(input, output);
      ASSERT_FALSE(converted.ok());
      EXPECT_EQ(converted.error().kind(), c.kind);
      EXPECT_EQ(converted.error().message(), c.message);
      EXPECT_EQ(output, (std::vector<float>{7.0F, 8.0F}));
      EXPECT_EQ(converter.input_frames_total(), 0U);
      EXPECT_EQ(converter.output_frames_total(), 0U);
    }
  }
}

TEST(MasterFormatConverterTest, EmptyInputGivesEmptyOutput) {
  const AudioFormat outs[] = {f32(48000, 2), f32(16000, 1)};
  for (const AudioFormat& out : outs) {
    MasterFormatConverter converter = make(f32(48000, 2), out);
    std::vector<float> output = {1.0F, 2.0F};
    ASSERT_TRUE(converter.convert({}, output).ok());
    EXPECT_TRUE(output.empty());
    output = {1.0F};
    ASSERT_TRUE(converter.finish(output).ok());
    EXPECT_TRUE(output.empty());
  }
}

// Equal rates: channel mapping only, frame for frame, and nothing to flush.
TEST(MasterFormatConverterTest, MapsChannelsWithoutResampling) {
  struct Case {
    std::uint16_t in_channels;
    std::uint16_t out_channels;
    std::vector<float> input;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {2, 1, {1.0F, -1.0F, 0.5F, 0.25F}, {0.0F, 0.375F}},
      {1, 2, {0.3F, -0.7F}, {0.3F, 0.3F, -0.7F, -0.7F}},
      {1, 1, {0.1F, -0.2F, 0.3F}, {0.1F, -0.2F, 0.3F}},
      {2, 2, {0.1F, -0.2F, 0.3F, 1e-30F}, {0.1F, -0.2F, 0.3F, 1e-30F}},
      {6, 6, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
  };
  for (const std::uint32_t rate : {16000U, 48000U}) {
    for (const Case& c : cases) {
      const AudioFormat in = f32(rate, c.in_channels);
      const AudioFormat out = f32(rate, c.out_channels);
      SCOPED_TRACE(name(in, out));
      MasterFormatConverter converter = make(in, out);
      std::vector<float> output;
      for (std::size_t call = 1; call <= 3; ++call) {
        ASSERT_TRUE(converter.convert(c.input, output).ok());
        EXPECT_EQ(output, c.expected);
        EXPECT_EQ(converter.input_frames_total(), call * c.input.size() / c.in_channels);
        EXPECT_EQ(converter.output_frames_total(), converter.input_frames_total());
      }
      ASSERT_TRUE(converter.finish(output).ok());
      EXPECT_TRUE(output.empty());
    }
  }
}

TEST(MasterFormatConverterTest, DownsamplingEmitsNothingBeforeTheFirstWholeChunk) {
  MasterFormatConverter converter = make(f32(48000, 2), f32(16000, 1));
  const std::vector<float> input = test_signal(1024, 2);
  std::vector<float> output;
  // 1000 + 23 frames: not yet a chunk.
  ASSERT_TRUE(converter.convert(std::span<const float>(input).subspan(0, 2000), output).ok());
  EXPECT_TRUE(output.empty());
  ASSERT_TRUE(converter.convert(std::span<const float>(input).subspan(2000, 46), output).ok());
  EXPECT_TRUE(output.empty());
  // The 1024th frame completes it: ceil(1024 / 3) = 342 resampled, the first
  // 10 dropped.
  ASSERT_TRUE(converter.convert(std::span<const float>(input).subspan(2046, 2), output).ok());
  EXPECT_EQ(output.size(), 332U);
  EXPECT_EQ(converter.output_frames_total(), 332U);
}

// Over convert and finish the converter gives ceil(frames * out / in) frames:
// the resampler's own output with its start-up delay of floor(32 * ratio)
// frames removed.
TEST(MasterFormatConverterTest, EmitsTheResamplerOutputWithoutItsDelay) {
  struct Case {
    AudioFormat in;
    AudioFormat out;
    std::size_t frames;
    std::size_t expected_frames;
    std::size_t trimmed;
  };
  const Case cases[] = {
      {f32(48000, 2), f32(16000, 1), 48000, 16000, 10},
      {f32(48000, 2), f32(44100, 2), 1000, 919, 29},
      {f32(44100, 1), f32(48000, 2), 5000, 5443, 34},
      {f32(16000, 1), f32(48000, 2), 3000, 9000, 96},
      {f32(48000, 1), f32(16000, 1), 10, 4, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(name(c.in, c.out));
    MasterFormatConverter converter = make(c.in, c.out);
    const std::vector<float> input = test_signal(c.frames, c.in.channels);
    const std::vector<float> output = convert_all(converter, input, 480);
    const std::size_t out_channels = c.out.channels;
    ASSERT_EQ(output.size(), c.expected_frames * out_channels);
    EXPECT_EQ(converter.output_frames_total(), c.expected_frames);

    // Map channels the same way, then resample directly.
    std::vector<float> mapped;
    for (std::size_t f = 0; f < c.frames; ++f) {
      if (c.in.channels == out_channels) {
        for (std::size_t ch = 0; ch < out_channels; ++ch) mapped.push_back(input[f * out_channels + ch]);
      } else if (c.in.channels == 1) {
        mapped.insert(mapped.end(), 2, input[f]);
      } else {
        mapped.push_back((input[2 * f] + input[2 * f + 1]) * 0.5F);
      }
    }
    const double ratio = static_cast<double>(c.out.sample_rate) / c.in.sample_rate;
    const std::vector<float> direct =
        resample_directly(mapped, out_channels, ratio, c.trimmed + c.expected_frames);
    const std::vector<float> without_delay(direct.begin() + static_cast<std::ptrdiff_t>(c.trimmed * out_channels),
                                           direct.end());
    EXPECT_EQ(output, without_delay);
  }
}

TEST(MasterFormatConverterTest, OutputTotalsAreExactForEveryRatePair) {
  const std::uint32_t rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
  const std::size_t lengths[] = {0, 1, 1023, 1024, 1025, 4801};
  for (std::uint32_t in_rate : rates) {
    for (std::uint32_t out_rate : rates) {
      for (std::size_t frames : lengths) {
        SCOPED_TRACE(std::to_string(in_rate) + " -> " + std::to_string(out_rate) + ", " +
                     std::to_string(frames) + " frames");
        MasterFormatConverter converter = make(f32(in_rate, 1), f32(out_rate, 1));
        const std::vector<float> input(frames, 0.1F);
        std::vector<float> output;
        std::uint64_t fed = 0;
        std::uint64_t emitted = 0;
        for (std::size_t start = 0; start < frames; start += 700) {
          const std::size_t len = std::min<std::size_t>(700, frames - start);
          ASSERT_TRUE(converter.convert(std::span<const float>(input).subspan(start, len), output).ok());
          fed += len;
          emitted += output.size();
          // Never more than the input so far implies.
          ASSERT_LE(emitted, ceil_frames(fed, in_rate, out_rate));
        }
        ASSERT_TRUE(converter.finish(output).ok());
        emitted += output.size();
        EXPECT_EQ(emitted, ceil_frames(frames, in_rate, out_rate));
        EXPECT_EQ(converter.output_frames_total(), emitted);
        EXPECT_EQ(converter.input_frames_total(), frames);
      }
    }
  }
}

// The resampler only ever sees whole chunks of the same samples, so the call
// sizes cannot change a single bit of the output.
TEST(MasterFormatConverterTest, CallSizesDoNotChangeTheOutput) {
  struct Pair {
    AudioFormat in;
    AudioFormat out;
  };
  const Pair pairs[] = {{f32(44100, 1), f32(48000, 2)},
                        {f32(48000, 2), f32(16000, 1)},
                        {f32(48000, 2), f32(44100, 2)},
                        {f32(16000, 1), f32(48000, 1)}};
  const std::size_t call_frames[] = {1, 7, 480, 1023, 1024, 1025, 4096};
  for (const Pair& p : pairs) {
    SCOPED_TRACE(name(p.in, p.out));
    const std::vector<float> input = test_signal(9000, p.in.channels);
    MasterFormatConverter whole = make(p.in, p.out);
    const std::vector<float> reference = convert_all(whole, input, 9000);
    ASSERT_EQ(reference.size(),
              ceil_frames(9000, p.in.sample_rate, p.out.sample_rate) * p.out.channels);
    for (std::size_t frames : call_frames) {
      MasterFormatConverter converter = make(p.in, p.out);
      EXPECT_EQ(convert_all(converter, input, frames), reference) << frames << " frames per call";
    }
  }
}

TEST(MasterFormatConverterTest, ConstantInputStaysConstant) {
  const std::uint32_t pairs[][2] = {{48000, 16000}, {44100, 48000}, {16000, 48000}, {48000, 44100}};
  for (const auto& pair : pairs) {
    SCOPED_TRACE(std::to_string(pair[0]) + " -> " + std::to_string(pair[1]));
    MasterFormatConverter converter = make(f32(pair[0], 2), f32(pair[1], 2));
    std::vector<float> input(2 * 20000);
    for (std::size_t f = 0; f < 20000; ++f) {
      input[2 * f] = 0.5F;
      input[2 * f + 1] = -1.0F;
    }
    const std::vector<float> output = convert_all(converter, input, 1000);
    const double ratio = static_cast<double>(pair[1]) / pair[0];
    // Away from the ramps at both ends, where the kernel reaches past the input.
    const auto edge = static_cast<std::size_t>(std::ceil(33.0 * ratio)) + 1;
    const std::size_t frames = output.size() / 2;
    double worst = 0.0;
    for (std::size_t k = edge; k + edge < frames; ++k) {
      worst = std::max(worst, std::abs(static_cast<double>(output[2 * k]) - 0.5));
      worst = std::max(worst, std::abs(static_cast<double>(output[2 * k + 1]) + 1.0));
    }
    EXPECT_LE(worst, 1e-6);
  }
}

// Output frame k sits on input time k / ratio, less than one output frame
// early: a passband sine comes out in phase with that time.
TEST(MasterFormatConverterTest, OutputFramesSitOnTheirInputTimes) {
  const std::uint32_t pairs[][2] = {{48000, 16000}, {44100, 48000}, {16000, 48000}, {48000, 44100}};
  for (const auto& pair : pairs) {
    SCOPED_TRACE(std::to_string(pair[0]) + " -> " + std::to_string(pair[1]));
    MasterFormatConverter converter = make(f32(pair[0], 1), f32(pair[1], 1));
    const double ratio = static_cast<double>(pair[1]) / pair[0];
    const double omega = 2.0 * std::numbers::pi * 1000.0 / pair[0];
    std::vector<float> input(30000);
    for (std::size_t n = 0; n < input.size(); ++n) {
      input[n] = static_cast<float>(std::sin(omega * static_cast<double>(n)));
    }
    const std::vector<float> output = convert_all(converter, input, 512);
    // The trim is whole output frames, so the rest of the 32-frame delay stays.
    const double early = std::fmod(32.0 * ratio, 1.0);
    ASSERT_LT(early, 1.0);
    double worst = 0.0;
    for (std::size_t k = 200; k + 200 < output.size(); ++k) {
      const double t = (static_cast<double>(k) - early) / ratio;
      worst = std::max(worst, std::abs(static_cast<double>(output[k]) - std::sin(omega * t)));
    }
    EXPECT_LE(worst, 1e-4);
  }
}

TEST(MasterFormatConverterTest, FinishWithoutInputOrTwiceGivesNothing) {
  MasterFormatConverter never_fed = make(f32(48000, 2), f32(16000, 1));
  std::vector<float> output = {1.0F};
  ASSERT_TRUE(never_fed.finish(output).ok());
  EXPECT_TRUE(output.empty());
  ASSERT_TRUE(never_fed.finish(output).ok());
  EXPECT_TRUE(output.empty());

  MasterFormatConverter fed = make(f32(44100, 2), f32(48000, 2));
  ASSERT_TRUE(fed.convert(std::vector<float>(2 * 3000, 0.2F), output).ok());
  ASSERT_TRUE(fed.finish(output).ok());
  EXPECT_EQ(fed.output_frames_total(), ceil_frames(3000, 44100, 48000));
  EXPECT_FALSE(output.empty());
  output = {1.0F};
  ASSERT_TRUE(fed.finish(output).ok());
  EXPECT_TRUE(output.empty());
  EXPECT_EQ(fed.output_frames_total(), ceil_frames(3000, 44100, 48000));
}

}  // namespace
