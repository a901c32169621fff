// Float to 16-bit PCM as both sinks write it.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace core_engine::outputs {

// Clamp to [-1, 1], scale by 32767, round half away from zero. NaN becomes 0.
inline std::int16_t to_pcm16(float sample) {
  if (!(sample == sample)) return 0;
  const float clamped = sample < -1.0F ? -1.0F : (sample > 1.0F ? 1.0F : sample);
  return static_cast<std::int16_t>(std::lround(clamped * 32767.0F));
}

// Replaces the content of `out` with the converted samples; keeps its capacity.
inline void to_pcm16(std::span<const float> samples, std::vector<std::int16_t>& out) {
  out.resize(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) out[i] = to_pcm16(samples[i]);
}

}  // namespace core_engine::outputs
