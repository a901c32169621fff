#include "outputs/pcm16.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

TEST(Pcm16, ClampsScalesAndRoundsHalfAwayFromZero) {
  const std::vector<std::pair<float, std::int16_t>> cases = {
      {0.0F, 0},         {0.5F, 16384},   {-0.5F, -16384}, {1.0F, 32767},      {-1.0F, -32767},
      {1.5F, 32767},     {-1.5F, -32767}, {-0.25F, -8192}, {1.0F / 32767.0F, 1}, {0.4F / 32767.0F, 0},
      {std::numeric_limits<float>::infinity(), 32767}, {-std::numeric_limits<float>::infinity(), -32767},
      {std::numeric_limits<float>::quiet_NaN(), 0},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(core_engine::outputs::to_pcm16(in), out) << in;
}

}  // namespace
