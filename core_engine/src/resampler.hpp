// Asynchronous sinc resampler with a fixed input chunk and a constant ratio.
//
// Every process call consumes exactly CHUNK_FRAMES input frames per channel
// and writes however many output frames fall inside them. Output j is the
// band-limited input evaluated at input time j / ratio - SINC_LEN / 2, with
// silence before the first input frame; so after N input frames exactly
// ceil(N * ratio) outputs exist.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "result.hpp"

namespace core_engine::resampler {

// Points of the interpolation kernel; also the start-up delay, in input
// frames, is half of it.
inline constexpr std::size_t SINC_LEN = 64;
// Kernel table entries per input frame.
inline constexpr std::size_t OVERSAMPLING_FACTOR = 32;
// Input frames consumed by every process call.
inline constexpr std::size_t CHUNK_FRAMES = 1024;
// Only sizes the output buffers: room for ratios up to 1.5 times the nominal.
inline constexpr double MAX_RELATIVE_RATIO = 1.5;
// Anti-aliasing cutoff relative to the input Nyquist frequency; scaled by the
// ratio when downsampling.
inline constexpr float CUTOFF = std::bit_cast<float>(std::uint32_t{0x3F4A0382});
// Ratios outside this range are refused: the kernel (in input frames) would
// be uselessly narrow, or the output buffers unreasonably large.
inline constexpr double MIN_RATIO = 1.0 / 256.0;
inline constexpr double MAX_RATIO = 256.0;

struct ProcessedFrames {
  std::size_t input_frames_used;
  std::size_t output_frames_written;

  friend bool operator==(const ProcessedFrames&, const ProcessedFrames&) = default;
};

class SincResampler {
 public:
  // Fails with a text when the ratio is not finite, not positive or out of
  // [MIN_RATIO, MAX_RATIO], or when there are no channels.
  static Result<SincResampler, std::string> create(double ratio, std::size_t channels);

  double ratio() const { return ratio_; }
  std::size_t channels() const { return channels_; }
  // The cutoff in use, relative to the input Nyquist frequency.
  float cutoff() const { return cutoff_; }

  // Input frames the next process call consumes: always CHUNK_FRAMES.
  std::size_t input_frames_next() const { return CHUNK_FRAMES; }
  // Output frames the next process call writes.
  std::size_t output_frames_next() const;
  // Upper bound of output frames for any call.
  std::size_t output_frames_max() const { return output_frames_max_; }
  std::size_t interpolation_length() const { return SINC_LEN; }

  // Processes one chunk: input holds one span per channel with at least
  // CHUNK_FRAMES frames (or partial_len frames when given; later frames
  // count as silence), output one span per channel with room for at least
  // output_frames_next() frames. Returns the input frames taken from the
  // spans and the output frames written. Allocates nothing.
  Result<ProcessedFrames, std::string> process(std::span<const std::span<const float>> input,
                                               std::span<const std::span<float>> output,
                                               std::optional<std::size_t> partial_len = std::nullopt);

 private:
  SincResampler(double ratio, std::size_t channels);

  double next_position(double position) const;

  double ratio_;
  double step_;  // input frames per output frame
  std::size_t channels_;
  float cutoff_;
  std::size_t output_frames_max_;
  // Time of the next output in input frames, relative to the start of the
  // current chunk and including the start-up delay; always in [0, CHUNK_FRAMES)
  // between calls.
  double position_ = 0.0;
  // For each of the OVERSAMPLING_FACTOR fractional table positions, SINC_LEN
  // taps, each holding the 4 neighbouring table entries the cubic
  // interpolation combines: [phase][tap][4].
  std::vector<float> coefficients_;
  // Per channel: SINC_LEN frames of history followed by the current chunk.
  std::vector<float> buffers_;
};

}  // namespace core_engine::resampler
