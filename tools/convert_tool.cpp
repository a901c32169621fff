// tessaro_convert: reads raw little-endian f32 interleaved samples on stdin,
// converts them with MasterFormatConverter in calls of --chunk frames, then
// finishes, and writes raw f32 to stdout.
//
//   tessaro_convert --in-rate R --in-channels C --out-rate R --out-channels C
//                   [--chunk N]

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "converter.hpp"

namespace {

static_assert(std::endian::native == std::endian::little, "raw samples are read in host order");

using core_engine::converter::AudioFormat;
using core_engine::converter::MasterFormatConverter;
using core_engine::format::SampleFormat;

constexpr std::string_view USAGE =
    "usage: tessaro_convert --in-rate R --in-channels C --out-rate R --out-channels C "
    "[--chunk N]";

int fail(const std::string& message) {
  std::cerr << "tessaro_convert: " << message << "\n";
  return 1;
}

template <typename T>
std::optional<T> parse(std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

bool write_all(const std::vector<float>& samples) {
  return samples.empty() || std::fwrite(samples.data(), sizeof(float), samples.size(), stdout) == samples.size();
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::uint32_t> in_rate;
  std::optional<std::uint32_t> out_rate;
  std::optional<std::uint16_t> in_channels;
  std::optional<std::uint16_t> out_channels;
  std::size_t chunk = 1024;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc) {
      return fail("missing value for " + std::string(flag) + "\n" + std::string(USAGE));
    }
    const std::string_view value = argv[++i];
    bool parsed = false;
    if (flag == "--in-rate") {
      in_rate = parse<std::uint32_t>(value);
      parsed = in_rate.has_value();
    } else if (flag == "--out-rate") {
      out_rate = parse<std::uint32_t>(value);
      parsed = out_rate.has_value();
    } else if (flag == "--in-channels") {
      in_channels = parse<std::uint16_t>(value);
      parsed = in_channels.has_value();
    } else if (flag == "--out-channels") {
      out_channels = parse<std::uint16_t>(value);
      parsed = out_channels.has_value();
    } else if (flag == "--chunk") {
      const auto frames = parse<std::size_t>(value);
      parsed = frames.has_value() && *frames > 0;
      chunk = frames.value_or(0);
    } else {
      return fail("unknown option " + std::string(flag) + "\n" + std::string(USAGE));
    }
    if (!parsed) {
      return fail("invalid value for " + std::string(flag) + ": " + std::string(value));
    }
  }
  if (!in_rate || !out_rate || !in_channels || !out_channels) {
    return fail(std::string(USAGE));
  }

  auto created = MasterFormatConverter::create(AudioFormat{*in_rate, *in_channels, SampleFormat::F32},
                                               AudioFormat{*out_rate, *out_channels, SampleFormat::F32});
  if (!created) {
    return fail(created.error().message());
  }
  MasterFormatConverter converter = std::move(created).value();

  // At least one sample per read even for zero input channels, so that the
  // converter gets to refuse the input.
  const std::size_t block_samples = chunk * std::max<std::size_t>(*in_channels, 1);
  if (block_samples > std::numeric_limits<std::size_t>::max() / sizeof(float)) {
    return fail("chunk too large");
  }
  std::vector<unsigned char> bytes(block_samples * sizeof(float));
  std::vector<float> input(block_samples);
  std::vector<float> output;
  while (true) {
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), stdin);
    if (std::ferror(stdin)) {
      return fail("failed to read standard input");
    }
    if (got % sizeof(float) != 0) {
      return fail("input is not a whole number of f32 samples");
    }
    if (got == 0) {
      break;
    }
    input.resize(got / sizeof(float));
    std::memcpy(input.data(), bytes.data(), got);
    if (auto converted = converter.convert(input, output); !converted) {
      return fail(converted.error().message());
    }
    if (!write_all(output)) {
      return fail("failed to write standard output");
    }
    if (got < bytes.size()) {
      break;
    }
  }
  if (auto finished = converter.finish(output); !finished) {
    return fail(finished.error().message());
  }
  if (!write_all(output) || std::fflush(stdout) != 0) {
    return fail("failed to write standard output");
  }
  return 0;
}
