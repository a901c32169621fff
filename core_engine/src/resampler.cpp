#include "resampler.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <numbers>

namespace core_engine::resampler {

namespace {

constexpr std::size_t HALF_LEN = SINC_LEN / 2;
constexpr std::size_t BUFFER_FRAMES = SINC_LEN + CHUNK_FRAMES;
// Table entries combined by the cubic interpolation: points -1, 0, 1, 2.
constexpr std::size_t CUBIC_POINTS = 4;
constexpr std::size_t PHASE_STRIDE = SINC_LEN * CUBIC_POINTS;
// Output times closer than this to a whole input frame are taken as exactly
// on it (see next_position).
constexpr double SNAP_FRAMES = 1e-9;

// The squared 4-term Blackman-Harris window over [-HALF_LEN, HALF_LEN].
double window(double tau) {
  constexpr double a0 = 0.35875;
  constexpr double a1 = 0.48829;
  constexpr double a2 = 0.14128;
  constexpr double a3 = 0.01168;
  constexpr double two_pi = 2.0 * std::numbers::pi;
  const double x = (tau + static_cast<double>(HALF_LEN)) / static_cast<double>(SINC_LEN);
  const double w = a0 - a1 * std::cos(two_pi * x) + a2 * std::cos(2.0 * two_pi * x) -
                   a3 * std::cos(3.0 * two_pi * x);
  return w * w;
}

// Windowed ideal low-pass with cutoff `cutoff` (relative to Nyquist), at
// `tau` input frames from the output time.
double kernel(double tau, double cutoff) {
  if (std::abs(tau) > static_cast<double>(HALF_LEN)) {
    return 0.0;
  }
  const double arg = std::numbers::pi * cutoff * tau;
  const double sinc = arg == 0.0 ? 1.0 : std::sin(arg) / arg;
  return cutoff * sinc * window(tau);
}

// Lays out the kernel for the inner loop. For an output whose time lies
// `frac` past a whole input frame, tap i (0..SINC_LEN-1) multiplies the
// input frame at distance tau = frac + HALF_LEN - 1 - i. With
// frac = (phase + mu) / OVERSAMPLING_FACTOR, the cubic interpolation between
// table entries needs the entries at tau = (phase + m - 1) / OVERSAMPLING_FACTOR
// + HALF_LEN - 1 - i for m = 0..3; those four are stored next to each other.
std::vector<float> build_coefficients(double cutoff) {
  constexpr auto oversampling = static_cast<long>(OVERSAMPLING_FACTOR);
  constexpr auto taps = static_cast<long>(SINC_LEN);
  constexpr auto half = static_cast<long>(HALF_LEN);
  std::vector<double> table(OVERSAMPLING_FACTOR * PHASE_STRIDE);
  for (long phase = 0; phase < oversampling; ++phase) {
    for (long m = 0; m < static_cast<long>(CUBIC_POINTS); ++m) {
      double sum = 0.0;
      for (long i = 0; i < taps; ++i) {
        const long entry = phase + m - 1 + oversampling * (half - 1 - i);
        const double value =
            kernel(static_cast<double>(entry) / static_cast<double>(oversampling), cutoff);
        table[static_cast<std::size_t>((phase * taps + i) * static_cast<long>(CUBIC_POINTS) + m)] =
            value;
        sum += value;
      }
      // Every sub-filter sums to one, so that (the cubic weights summing to
      // one as well) a constant input comes out unchanged at any position.
      for (long i = 0; i < taps; ++i) {
        table[static_cast<std::size_t>((phase * taps + i) * static_cast<long>(CUBIC_POINTS) + m)] /=
            sum;
      }
    }
  }
  std::vector<float> coefficients(table.size());
  std::transform(table.begin(), table.end(), coefficients.begin(),
                 [](double value) { return static_cast<float>(value); });
  return coefficients;
}

}  // namespace

Result<SincResampler, std::string> SincResampler::create(double ratio, std::size_t channels) {
  if (!std::isfinite(ratio) || !(ratio > 0.0)) {
    return Err{"resample ratio must be a positive finite number, got " + std::to_string(ratio)};
  }
  if (ratio < MIN_RATIO || ratio > MAX_RATIO) {
    return Err{"resample ratio " + std::to_string(ratio) + " is outside the supported range [" +
               std::to_string(MIN_RATIO) + ", " + std::to_string(MAX_RATIO) + "]"};
  }
  if (channels == 0) {
    return Err{std::string("channel count must be at least 1")};
  }
  return SincResampler(ratio, channels);
}

SincResampler::SincResampler(double ratio, std::size_t channels)
    : ratio_(ratio),
      step_(1.0 / ratio),
      channels_(channels),
      cutoff_(ratio < 1.0 ? static_cast<float>(static_cast<double>(CUTOFF) * ratio) : CUTOFF),
      output_frames_max_(
          static_cast<std::size_t>(
              std::ceil(static_cast<double>(CHUNK_FRAMES) * ratio * MAX_RELATIVE_RATIO)) +
          2),
      coefficients_(build_coefficients(static_cast<double>(cutoff_))),
      buffers_(channels * BUFFER_FRAMES, 0.0F) {}

// Steps 1 / ratio ahead. A time within SNAP_FRAMES of a whole input frame is
// put exactly on it: for ratios of whole sample rates those whole-frame times
// are exact, and snapping keeps the rounding of the accumulated steps from
// moving an output across a chunk boundary (which would break the
// ceil(N * ratio) count) and resets the drift each time.
double SincResampler::next_position(double position) const {
  const double next = position + step_;
  // Positions are never negative: truncation is the floor.
  const auto whole = static_cast<double>(static_cast<std::uint64_t>(next));
  const double frac = next - whole;
  if (frac < SNAP_FRAMES) {
    return whole;
  }
  if (frac > 1.0 - SNAP_FRAMES) {
    return whole + 1.0;
  }
  return next;
}

std::size_t SincResampler::output_frames_next() const {
  std::size_t count = 0;
  for (double position = position_; position < static_cast<double>(CHUNK_FRAMES);
       position = next_position(position)) {
    ++count;
  }
  return count;
}

Result<ProcessedFrames, std::string> SincResampler::process(
    std::span<const std::span<const float>> input, std::span<const std::span<float>> output,
    std::optional<std::size_t> partial_len) {
  if (input.size() != channels_) {
    return Err{"expected " + std::to_string(channels_) + " input channels, got " +
               std::to_string(input.size())};
  }
  if (output.size() != channels_) {
    return Err{"expected " + std::to_string(channels_) + " output channels, got " +
               std::to_string(output.size())};
  }
  if (partial_len && *partial_len > CHUNK_FRAMES) {
    return Err{"partial length " + std::to_string(*partial_len) + " exceeds the chunk of " +
               std::to_string(CHUNK_FRAMES) + " frames"};
  }
  const std::size_t frames_in = partial_len.value_or(CHUNK_FRAMES);
  const std::size_t frames_out = output_frames_next();
  for (std::size_t c = 0; c < channels_; ++c) {
    if (input[c].size() < frames_in) {
      return Err{"input channel " + std::to_string(c) + " holds " +
                 std::to_string(input[c].size()) + " frames, " + std::to_string(frames_in) +
                 " needed"};
    }
    if (output[c].size() < frames_out) {
      return Err{"output channel " + std::to_string(c) + " has room for " +
                 std::to_string(output[c].size()) + " frames, " + std::to_string(frames_out) +
                 " needed"};
    }
  }

  for (std::size_t c = 0; c < channels_; ++c) {
    float* chunk = buffers_.data() + c * BUFFER_FRAMES + SINC_LEN;
    std::copy_n(input[c].data(), frames_in, chunk);
    std::fill(chunk + frames_in, chunk + CHUNK_FRAMES, 0.0F);
  }

  const float* coefficients = coefficients_.data();
  double position = position_;
  std::size_t written = 0;
  while (position < static_cast<double>(CHUNK_FRAMES)) {
    // The output time is position - HALF_LEN in chunk frames; its taps start
    // HALF_LEN - 1 frames before the whole frame at or below it, which puts
    // them at buffer frame floor(position) + 1 (the history comes first).
    const auto whole = static_cast<std::size_t>(position);
    const double table_pos =
        (position - static_cast<double>(whole)) * static_cast<double>(OVERSAMPLING_FACTOR);
    const auto phase = static_cast<std::size_t>(table_pos);
    const auto mu = static_cast<float>(table_pos - static_cast<double>(phase));
    // Lagrange weights for the table entries at -1, 0, 1, 2 around mu.
    const float w0 = -mu * (mu - 1.0F) * (mu - 2.0F) * (1.0F / 6.0F);
    const float w1 = (mu + 1.0F) * (mu - 1.0F) * (mu - 2.0F) * 0.5F;
    const float w2 = -(mu + 1.0F) * mu * (mu - 2.0F) * 0.5F;
    const float w3 = (mu + 1.0F) * mu * (mu - 1.0F) * (1.0F / 6.0F);
    const float* taps = coefficients + phase * PHASE_STRIDE;
    for (std::size_t c = 0; c < channels_; ++c) {
      const float* x = buffers_.data() + c * BUFFER_FRAMES + whole + 1;
      float acc[CUBIC_POINTS] = {0.0F, 0.0F, 0.0F, 0.0F};
      for (std::size_t i = 0; i < SINC_LEN; ++i) {
        const float xi = x[i];
        for (std::size_t m = 0; m < CUBIC_POINTS; ++m) {
          acc[m] += xi * taps[i * CUBIC_POINTS + m];
        }
      }
      output[c][written] = w0 * acc[0] + w1 * acc[1] + w2 * acc[2] + w3 * acc[3];
    }
    ++written;
    position = next_position(position);
  }
  assert(written == frames_out);
  position_ = position - static_cast<double>(CHUNK_FRAMES);

  for (std::size_t c = 0; c < channels_; ++c) {
    float* buffer = buffers_.data() + c * BUFFER_FRAMES;
    std::copy_n(buffer + CHUNK_FRAMES, SINC_LEN, buffer);
  }
  return ProcessedFrames{frames_in, written};
}

}  // namespace core_engine::resampler
