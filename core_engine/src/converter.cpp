#include "converter.hpp"

#include <algorithm>
#include <limits>

namespace core_engine::converter {

namespace {

constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

__extension__ typedef unsigned __int128 u128;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > U64_MAX - a ? U64_MAX : a + b;
}

std::string channels_text(std::uint16_t channels) {
  return std::to_string(static_cast<unsigned>(channels));
}

}  // namespace

std::string InputConversionError::message() const {
  if (const auto* e = std::get_if<InputLengthNotDivisible>(&payload_)) {
    return "input length " + std::to_string(e->samples) + " is not divisible by channels " +
           channels_text(e->channels);
  }
  if (const auto* e = std::get_if<UnsupportedChannelConversion>(&payload_)) {
    return "unsupported channel conversion: " + channels_text(e->input_channels) + " -> " +
           channels_text(e->output_channels);
  }
  if (const auto* e = std::get_if<UnsupportedSampleFormat>(&payload_)) {
    return "unsupported sample format conversion: " + std::string(format::to_string(e->input)) +
           " -> " + std::string(format::to_string(e->output));
  }
  if (const auto* e = std::get_if<ResamplerInit>(&payload_)) {
    return "resampler initialization failed: " + e->reason;
  }
  return "resampler process failed: " + std::get<ResamplerProcess>(payload_).reason;
}

Result<MasterFormatConverter, InputConversionError> MasterFormatConverter::create(
    AudioFormat input, AudioFormat output) {
  if (input.sample_format == SampleFormat::I16 || output.sample_format == SampleFormat::I16) {
    return Err{InputConversionError::UnsupportedSampleFormat{input.sample_format,
                                                             output.sample_format}};
  }
  if (input.sample_rate == output.sample_rate) {
    return MasterFormatConverter(input, output, std::nullopt, 0);
  }
  const double ratio = static_cast<double>(output.sample_rate) / static_cast<double>(input.sample_rate);
  auto built = resampler::SincResampler::create(ratio, output.channels);
  if (!built) {
    return Err{InputConversionError::ResamplerInit{std::move(built).error()}};
  }
  // The resampler's output starts half its kernel (in input frames) late.
  const double delay =
      static_cast<double>(built.value().interpolation_length()) * ratio * 0.5;
  const std::uint64_t trim =
      delay >= 18446744073709551616.0 ? U64_MAX : static_cast<std::uint64_t>(delay);
  return MasterFormatConverter(input, output, std::move(built).value(), trim);
}

MasterFormatConverter::MasterFormatConverter(AudioFormat input, AudioFormat output,
                                             std::optional<resampler::SincResampler> resampler,
                                             std::uint64_t trim_remaining)
    : input_format_(input),
      output_format_(output),
      resampler_(std::move(resampler)),
      trim_remaining_(trim_remaining) {}

Result<void, InputConversionError> MasterFormatConverter::map_channels(
    std::span<const float> input) {
  const std::uint16_t in_channels = input_format_.channels;
  const std::uint16_t out_channels = output_format_.channels;
  if (in_channels == 0 || input.size() % in_channels != 0) {
    return Err{InputConversionError::InputLengthNotDivisible{input.size(), in_channels}};
  }
  if (in_channels == out_channels) {
    mapped_.assign(input.begin(), input.end());
  } else if (in_channels == 1 && out_channels == 2) {
    mapped_.resize(input.size() * 2);
    for (std::size_t i = 0; i < input.size(); ++i) {
      mapped_[2 * i] = input[i];
      mapped_[2 * i + 1] = input[i];
    }
  } else if (in_channels == 2 && out_channels == 1) {
    const std::size_t frames = input.size() / 2;
    mapped_.resize(frames);
    for (std::size_t f = 0; f < frames; ++f) {
      mapped_[f] = (input[2 * f] + input[2 * f + 1]) * 0.5F;
    }
  } else {
    return Err{InputConversionError::UnsupportedChannelConversion{in_channels, out_channels}};
  }
  return Ok{};
}

Result<void, InputConversionError> MasterFormatConverter::convert(std::span<const float> input,
                                                                  std::vector<float>& output) {
  if (auto mapped = map_channels(input); !mapped) {
    return mapped;
  }
  const std::size_t channels = output_format_.channels;
  input_frames_total_ = saturating_add(input_frames_total_, mapped_.size() / channels);
  output.clear();

  if (!resampler_) {
    output.insert(output.end(), mapped_.begin(), mapped_.end());
    output_frames_total_ = saturating_add(output_frames_total_, mapped_.size() / channels);
    return Ok{};
  }

  pending_.insert(pending_.end(), mapped_.begin(), mapped_.end());
  const std::uint64_t limit = expected_output_frames();
  const std::size_t chunk = resampler_->input_frames_next();
  const std::size_t pending_frames = pending_.size() / channels;
  std::size_t consumed = 0;
  while (pending_frames - consumed >= chunk) {
    load_chunk(consumed, chunk);
    ensure_output_storage();
    auto processed = process_chunk(std::nullopt);
    if (!processed) {
      return Err{std::move(processed).error()};
    }
    append_trimmed_resampler_output(processed.value().output_frames_written, limit, output);
    consumed += chunk;
  }
  // Compacted once per call rather than per chunk.
  pending_.erase(pending_.begin(),
                 pending_.begin() + static_cast<std::ptrdiff_t>(consumed * channels));
  return Ok{};
}

Result<void, InputConversionError> MasterFormatConverter::finish(std::vector<float>& output) {
  output.clear();
  if (!resampler_) {
    pending_.clear();
    return Ok{};
  }
  const std::uint64_t limit = expected_output_frames();
  if (output_frames_total_ >= limit) {
    pending_.clear();
    return Ok{};
  }
  const std::size_t channels = output_format_.channels;
  const std::size_t chunk = resampler_->input_frames_next();
  // The first passes drain what is pending; later ones feed silence until
  // the output reaches what the input implies.
  while (true) {
    const std::size_t frames = std::min(chunk, pending_.size() / channels);
    load_chunk(0, frames);
    ensure_output_storage();
    auto processed = process_chunk(frames);
    if (!processed) {
      return Err{std::move(processed).error()};
    }
    const auto [used, written] = processed.value();
    if (frames > 0) {
      const std::size_t drop = std::min(frames, used) * channels;
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(drop));
    }
    if (written == 0) {
      return Err{InputConversionError::ResamplerProcess{
          "resampler produced no output while finishing"}};
    }
    append_trimmed_resampler_output(written, limit, output);
    if (output_frames_total_ >= limit) {
      break;
    }
  }
  pending_.clear();
  return Ok{};
}

// ceil(input_frames_total * output rate / input rate), saturated: the most
// the converter may have emitted for the input so far.
std::uint64_t MasterFormatConverter::expected_output_frames() const {
  const u128 product = static_cast<u128>(input_frames_total_) * output_format_.sample_rate;
  const u128 rate = input_format_.sample_rate;
  const u128 frames = (product + rate - 1) / rate;
  return frames > U64_MAX ? U64_MAX : static_cast<std::uint64_t>(frames);
}

// Deinterleaves `frames` frames of pending_, from frame `first` on, into one
// resampler chunk per channel; the rest of the chunk is silence.
void MasterFormatConverter::load_chunk(std::size_t first, std::size_t frames) {
  const std::size_t channels = output_format_.channels;
  const std::size_t chunk = resampler_->input_frames_next();
  channels_storage_.resize(channels);
  for (std::size_t c = 0; c < channels; ++c) {
    std::vector<float>& buffer = channels_storage_[c];
    buffer.resize(chunk);
    const float* source = pending_.data() + first * channels + c;
    for (std::size_t f = 0; f < frames; ++f) {
      buffer[f] = source[f * channels];
    }
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(frames), buffer.end(), 0.0F);
  }
}

void MasterFormatConverter::ensure_output_storage() {
  const std::size_t channels = output_format_.channels;
  const std::size_t frames = std::max<std::size_t>(resampler_->output_frames_max(), 1);
  if (output_storage_.size() == channels) {
    for (std::vector<float>& buffer : output_storage_) {
      if (buffer.size() != frames) {
        buffer.assign(frames, 0.0F);
      }
    }
  } else {
    output_storage_.assign(channels, std::vector<float>(frames, 0.0F));
  }
}

Result<resampler::ProcessedFrames, InputConversionError> MasterFormatConverter::process_chunk(
    std::optional<std::size_t> partial_len) {
  const std::size_t channels = output_format_.channels;
  input_views_.resize(channels);
  output_views_.resize(channels);
  for (std::size_t c = 0; c < channels; ++c) {
    input_views_[c] = channels_storage_[c];
    output_views_[c] = output_storage_[c];
  }
  auto processed = resampler_->process(input_views_, output_views_, partial_len);
  if (!processed) {
    return Err{InputConversionError::ResamplerProcess{std::move(processed).error()}};
  }
  return processed.value();
}

void MasterFormatConverter::append_trimmed_resampler_output(std::size_t written,
                                                            std::uint64_t limit,
                                                            std::vector<float>& output) {
  const std::uint64_t skip = std::min<std::uint64_t>(written, trim_remaining_);
  trim_remaining_ -= skip;
  const std::uint64_t room = limit > output_frames_total_ ? limit - output_frames_total_ : 0;
  const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(room, written - skip));
  const auto first = static_cast<std::size_t>(skip);
  const std::size_t channels = output_format_.channels;
  const std::size_t start = output.size();
  output.resize(start + take * channels);
  float* out = output.data() + start;
  for (std::size_t f = 0; f < take; ++f) {
    for (std::size_t c = 0; c < channels; ++c) {
      *out++ = output_storage_[c][first + f];
    }
  }
  output_frames_total_ = saturating_add(output_frames_total_, take);
}

}  // namespace core_engine::converter
