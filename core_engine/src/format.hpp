// Sample formats and the engine's one internal audio format.
#pragma once

#include <cstdint>
#include <string_view>

namespace core_engine::format {

enum class SampleFormat : std::uint8_t { F32, I16 };

// "F32" / "I16", as error messages show them.
std::string_view to_string(SampleFormat format);

// Interleaved audio: a frame is one sample per channel.
struct AudioFormat {
  std::uint32_t sample_rate;
  std::uint16_t channels;
  SampleFormat sample_format;

  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// Every pipeline buffer and every route ring carries this format.
inline constexpr AudioFormat MASTER_FORMAT{48000, 2, SampleFormat::F32};

}  // namespace core_engine::format
