// Conversion of interleaved f32 audio between two formats: channel mapping
// (equal counts, 1 -> 2, 2 -> 1) and, when the rates differ, sinc resampling.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "format.hpp"
#include "resampler.hpp"
#include "result.hpp"

namespace core_engine::converter {

using format::AudioFormat;
using format::SampleFormat;

// The resampler consumes input in chunks of this many frames.
inline constexpr std::size_t RESAMPLER_CHUNK_FRAMES = resampler::CHUNK_FRAMES;

enum class InputConversionErrorKind : std::uint8_t {
  InputLengthNotDivisible,
  UnsupportedChannelConversion,
  UnsupportedSampleFormat,
  ResamplerInit,
  ResamplerProcess,
};

class InputConversionError {
 public:
  // The payload of each kind, in the order of InputConversionErrorKind.
  struct InputLengthNotDivisible {
    std::uint64_t samples;
    std::uint16_t channels;
    friend bool operator==(const InputLengthNotDivisible&, const InputLengthNotDivisible&) = default;
  };
  struct UnsupportedChannelConversion {
    std::uint16_t input_channels;
    std::uint16_t output_channels;
    friend bool operator==(const UnsupportedChannelConversion&,
                           const UnsupportedChannelConversion&) = default;
  };
  struct UnsupportedSampleFormat {
    SampleFormat input;
    SampleFormat output;
    friend bool operator==(const UnsupportedSampleFormat&, const UnsupportedSampleFormat&) = default;
  };
  struct ResamplerInit {
    std::string reason;
    friend bool operator==(const ResamplerInit&, const ResamplerInit&) = default;
  };
  struct ResamplerProcess {
    std::string reason;
    friend bool operator==(const ResamplerProcess&, const ResamplerProcess&) = default;
  };
  using Payload = std::variant<InputLengthNotDivisible, UnsupportedChannelConversion,
                               UnsupportedSampleFormat, ResamplerInit, ResamplerProcess>;

  // From any payload struct: Err{InputConversionError::ResamplerInit{...}}.
  template <typename P>
    requires std::is_constructible_v<Payload, P&&> &&
             (!std::is_same_v<std::remove_cvref_t<P>, InputConversionError>)
  InputConversionError(P&& payload) : payload_(std::forward<P>(payload)) {}  // NOLINT(google-explicit-constructor)

  InputConversionErrorKind kind() const {
    return static_cast<InputConversionErrorKind>(payload_.index());
  }
  const Payload& payload() const { return payload_; }
  std::string message() const;

  friend bool operator==(const InputConversionError&, const InputConversionError&) = default;

 private:
  Payload payload_;
};

// What the microphone source holds: converts each delivered buffer.
class InputConverter {
 public:
  virtual ~InputConverter() = default;

  virtual AudioFormat input_format() const = 0;
  virtual AudioFormat output_format() const = 0;
  // Clears `output` (unless the input is refused before anything changes) and
  // fills it with this call's interleaved output.
  virtual Result<void, InputConversionError> convert(std::span<const float> input,
                                                     std::vector<float>& output) = 0;

 protected:
  InputConverter() = default;
  InputConverter(const InputConverter&) = default;
  InputConverter(InputConverter&&) = default;
  InputConverter& operator=(const InputConverter&) = default;
  InputConverter& operator=(InputConverter&&) = default;
};

class MasterFormatConverter final : public InputConverter {
 public:
  // Both formats must be F32. The channel pair is checked by convert.
  static Result<MasterFormatConverter, InputConversionError> create(AudioFormat input,
                                                                   AudioFormat output);

  AudioFormat input_format() const override { return input_format_; }
  AudioFormat output_format() const override { return output_format_; }
  Result<void, InputConversionError> convert(std::span<const float> input,
                                             std::vector<float>& output) override;
  // Flushes the resampler at the end of the stream: afterwards the output of
  // all calls totals ceil(frames fed * output rate / input rate). Call at most
  // once, after the last convert.
  Result<void, InputConversionError> finish(std::vector<float>& output);

  // Frames fed so far (after channel mapping) and frames emitted so far.
  std::uint64_t input_frames_total() const { return input_frames_total_; }
  std::uint64_t output_frames_total() const { return output_frames_total_; }

 private:
  MasterFormatConverter(AudioFormat input, AudioFormat output,
                        std::optional<resampler::SincResampler> resampler,
                        std::uint64_t trim_remaining);

  Result<void, InputConversionError> map_channels(std::span<const float> input);
  std::uint64_t expected_output_frames() const;
  void load_chunk(std::size_t first, std::size_t frames);
  void ensure_output_storage();
  Result<resampler::ProcessedFrames, InputConversionError> process_chunk(
      std::optional<std::size_t> partial_len);
  void append_trimmed_resampler_output(std::size_t written, std::uint64_t limit,
                                       std::vector<float>& output);

  AudioFormat input_format_;
  AudioFormat output_format_;
  std::vector<float> mapped_;
  // Mapped samples waiting for a whole resampler chunk.
  std::vector<float> pending_;
  std::vector<std::vector<float>> channels_storage_;
  std::vector<std::vector<float>> output_storage_;
  // Views of the two storages handed to the resampler; kept to avoid
  // allocating per chunk.
  std::vector<std::span<const float>> input_views_;
  std::vector<std::span<float>> output_views_;
  std::optional<resampler::SincResampler> resampler_;
  // Resampler output frames still to drop: its start-up delay.
  std::uint64_t trim_remaining_;
  std::uint64_t input_frames_total_ = 0;
  std::uint64_t output_frames_total_ = 0;
};

}  // namespace core_engine::converter
