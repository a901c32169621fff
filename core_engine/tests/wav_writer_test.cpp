// The WAV writer and its buffered file, checked against the exact header
// layouts and read back with libsndfile and sox. The read-back helpers in
// wav_check are shared with wav_file_test.cpp (same binary).
#include "outputs/wav_writer.hpp"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "format.hpp"
#include "metrics.hpp"
#include "outputs/wav_file.hpp"
#include "wav_check.hpp"

namespace wav_check {

using core_engine::format::SampleFormat;

// A unique, empty file under /tmp.
std::string temp_wav_path() {
  std::string pattern = "/tmp/tessaro-wav-XXXXXX.wav";
  const int fd = ::mkstemps(pattern.data(), 4);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return pattern;
}

bool descriptor_is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

std::vector<std::uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint64_t file_size(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return static_cast<std::uint64_t>(st.st_size);
}

// Standard output of a shell command; paths here never need quoting beyond
// single quotes.
std::string run(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "popen failed: " << command;
    return out;
  }
  std::array<char, 4096> chunk{};
  std::size_t n = 0;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) out.append(chunk.data(), n);
  const int rc = ::pclose(pipe);
  if (status != nullptr) *status = rc;
  return out;
}

std::string soxi(const std::string& option, const std::string& path) {
  int status = 0;
  std::string out = run("soxi " + option + " '" + path + "' 2>/dev/null", &status);
  EXPECT_EQ(status, 0) << "soxi " << option << " " << path;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// What sox decodes, as native f32 (16-bit values arrive as v / 32768).
std::vector<float> sox_samples(const std::string& path) {
  int status = 0;
  const std::string raw = run("sox '" + path + "' -t f32 - 2>/dev/null", &status);
  EXPECT_EQ(status, 0) << "sox " << path;
  EXPECT_EQ(raw.size() % sizeof(float), 0U);
  std::vector<float> out(raw.size() / sizeof(float));
  std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
  return out;
}

// The layouts, built here byte by byte rather than by the writer's encoder.
std::vector<std::uint8_t> expected_header(SampleFormat format, std::uint16_t channels, std::uint32_t rate,
                                          std::uint32_t data_bytes) {
  std::vector<std::uint8_t> h;
  h.reserve(68);
  const auto tag = [&h](const char* s) {
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<std::uint8_t>(s[i]));
  };
  const auto u16 = [&h](std::uint32_t v) {
    h.push_back(static_cast<std::uint8_t>(v & 0xFF));
    h.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
  };
  const auto u32 = [&h](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
  };
  if (format == SampleFormat::I16) {
    tag("RIFF"), u32(36 + data_bytes), tag("WAVE"), tag("fmt "), u32(16), u16(1), u16(channels), u32(rate),
        u32(rate * channels * 2), u16(channels * 2U), u16(16), tag("data"), u32(data_bytes);
  } else {
    tag("RIFF"), u32(60 + data_bytes), tag("WAVE"), tag("fmt "), u32(40), u16(0xFFFE), u16(channels), u32(rate),
        u32(rate * channels * 4), u16(channels * 4U), u16(32), u16(22), u16(32), u32(channels == 1 ? 1 : 3);
    const std::uint8_t guid[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                   0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    for (std::uint8_t b : guid) h.push_back(b);
    tag("data"), u32(data_bytes);
  }
  return h;
}

struct Decoded {
  SF_INFO info{};
  std::vector<float> floats;
  std::vector<short> shorts;
};

Decoded read_with_sndfile(const std::string& path, SampleFormat format) {
  Decoded d;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &d.info);
  if (file == nullptr) {
    ADD_FAILURE() << "libsndfile cannot open " << path << ": " << sf_strerror(nullptr);
    return d;
  }
  const auto values = static_cast<std::size_t>(d.info.frames * d.info.channels);
  if (format == SampleFormat::F32) {
    d.floats.resize(values);
    EXPECT_EQ(sf_readf_float(file, d.floats.data(), d.info.frames), d.info.frames);
  } else {
    d.shorts.resize(values);
    EXPECT_EQ(sf_readf_short(file, d.shorts.data(), d.info.frames), d.info.frames);
  }
  sf_close(file);
  return d;
}

// Header bytes, data bytes, and what libsndfile and sox make of the file.
template <typename T>
void expect_wav(const std::string& path, SampleFormat format, std::uint16_t channels, std::uint32_t rate,
                const std::vector<T>& samples) {
  SCOPED_TRACE(path);
  const std::size_t header_len = format == SampleFormat::I16 ? 44 : 68;
  const auto data_bytes = static_cast<std::uint32_t>(samples.size() * sizeof(T));
  const std::vector<std::uint8_t> bytes = file_bytes(path);
  ASSERT_EQ(bytes.size(), header_len + data_bytes);
  const std::vector<std::uint8_t> header(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(header_len));
  EXPECT_EQ(header, expected_header(format, channels, rate, data_bytes));
  // Little-endian data right behind the header.
  for (std::size_t i = 0; i < samples.size(); ++i) {
    std::uint32_t bits = 0;
    for (std::size_t b = 0; b < sizeof(T); ++b) bits |= std::uint32_t{bytes[header_len + i * sizeof(T) + b]} << (8 * b);
    T value{};
    if constexpr (sizeof(T) == 2) {
      const auto narrow = static_cast<std::uint16_t>(bits);
      std::memcpy(&value, &narrow, 2);
    } else {
      std::memcpy(&value, &bits, 4);
    }
    ASSERT_EQ(std::memcmp(&value, &samples[i], sizeof(T)), 0) << "raw sample " << i;
  }

  const Decoded d = read_with_sndfile(path, format);
  const int expected_format =
      format == SampleFormat::I16 ? (SF_FORMAT_WAV | SF_FORMAT_PCM_16) : (SF_FORMAT_WAVEX | SF_FORMAT_FLOAT);
  EXPECT_EQ(d.info.format, expected_format);
  EXPECT_EQ(d.info.channels, channels);
  EXPECT_EQ(d.info.samplerate, static_cast<int>(rate));
  EXPECT_EQ(d.info.frames, static_cast<sf_count_t>(samples.size() / channels));
  if constexpr (sizeof(T) == 2) {
    EXPECT_EQ(d.shorts, std::vector<short>(samples.begin(), samples.end()));
  } else {
    ASSERT_EQ(d.floats.size(), samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      ASSERT_EQ(std::memcmp(&d.floats[i], &samples[i], 4), 0) << "libsndfile sample " << i;
    }
  }

  EXPECT_EQ(soxi("-t", path), "wav");
  EXPECT_EQ(soxi("-r", path), std::to_string(rate));
  EXPECT_EQ(soxi("-c", path), std::to_string(channels));
  EXPECT_EQ(soxi("-b", path), format == SampleFormat::I16 ? "16" : "32");
  EXPECT_EQ(soxi("-e", path), format == SampleFormat::I16 ? "Signed Integer PCM" : "Floating Point PCM");
  EXPECT_EQ(soxi("-s", path), std::to_string(samples.size() / channels));
  const std::vector<float> decoded = sox_samples(path);
  ASSERT_EQ(decoded.size(), samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if constexpr (sizeof(T) == 2) {
      ASSERT_EQ(decoded[i], static_cast<float>(samples[i]) / 32768.0F) << "sox sample " << i;
    } else {
      // sox carries samples as 32-bit integers and writes floats back at 24
      // bits of precision, clipping to full scale.
      const float x = static_cast<float>(samples[i]);
      if (std::isnan(x)) continue;
      ASSERT_NEAR(decoded[i], std::fmin(std::fmax(x, -1.0F), 1.0F), 0x1p-22F) << "sox sample " << i;
    }
  }
}

void expect_wav_f32(const std::string& path, std::uint16_t channels, std::uint32_t rate,
                    const std::vector<float>& samples) {
  expect_wav(path, SampleFormat::F32, channels, rate, samples);
}

void expect_wav_i16(const std::string& path, std::uint16_t channels, std::uint32_t rate,
                    const std::vector<std::int16_t>& samples) {
  expect_wav(path, SampleFormat::I16, channels, rate, samples);
}

// Only the header and its sizes: for files whose samples are checked elsewhere.
void expect_wav_shape(const std::string& path, SampleFormat format, std::uint16_t channels, std::uint32_t rate,
                      std::uint64_t frames) {
  SCOPED_TRACE(path);
  const std::size_t header_len = format == SampleFormat::I16 ? 44 : 68;
  const std::uint64_t data_bytes = frames * channels * (format == SampleFormat::I16 ? 2U : 4U);
  const std::vector<std::uint8_t> bytes = file_bytes(path);
  ASSERT_EQ(bytes.size(), header_len + data_bytes);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(header_len)),
            expected_header(format, channels, rate, static_cast<std::uint32_t>(data_bytes)));
  const Decoded d = read_with_sndfile(path, format);
  EXPECT_EQ(d.info.channels, channels);
  EXPECT_EQ(d.info.samplerate, static_cast<int>(rate));
  EXPECT_EQ(d.info.frames, static_cast<sf_count_t>(frames));
  EXPECT_EQ(soxi("-s", path), std::to_string(frames));
}

}  // namespace wav_check

namespace {

using core_engine::format::AudioFormat;
using core_engine::format::SampleFormat;
using core_engine::outputs::wav_file::BufferedFile;
using core_engine::outputs::wav_file::max_data_bytes;
using core_engine::outputs::wav_file::WavOutputErrorKind;
using core_engine::outputs::wav_file::WavSampleKind;
using core_engine::outputs::wav_file::WavSinkMetrics;
using core_engine::outputs::wav_file::WavFormat;
using core_engine::outputs::wav_file::WavWriter;
using core_engine::outputs::wav_file::write_output_samples;
using wav_check::TempFile;

constexpr WavFormat I16_MONO_16K{1, 16000, 16, WavSampleKind::Int};
constexpr WavFormat I16_STEREO_48K{2, 48000, 16, WavSampleKind::Int};
constexpr WavFormat F32_MONO_16K{1, 16000, 32, WavSampleKind::Float};
constexpr WavFormat F32_STEREO_48K{2, 48000, 32, WavSampleKind::Float};

WavWriter make_writer(const TempFile& file, WavFormat wav_format, std::uint64_t limit = UINT64_MAX) {
  auto created = WavWriter::create(BufferedFile(file.open_for_writing()), wav_format, limit);
  EXPECT_TRUE(created.ok()) << (created.ok() ? "" : created.error());
  return std::move(created).value();
}

SampleFormat format_of(const WavFormat& wav_format) {
  return wav_format.sample_kind == WavSampleKind::Int ? SampleFormat::I16 : SampleFormat::F32;
}

std::vector<std::uint8_t> hex(std::initializer_list<int> values) {
  std::vector<std::uint8_t> out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

std::vector<std::uint8_t> ascii(const char* s) { return {s, s + 4}; }

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(WavWriter, PcmFileIsExactly44HeaderBytesThenSamples) {
  TempFile file;
  WavWriter writer = make_writer(file, I16_MONO_16K);
  const std::vector<std::int16_t> samples = {1, -2, 32767};
  ASSERT_TRUE(writer.write_i16(samples).ok());
  ASSERT_TRUE(writer.finalize().ok());
  const auto expected = concat({ascii("RIFF"), hex({0x2A, 0, 0, 0}), ascii("WAVE"), ascii("fmt "),
                                hex({0x10, 0, 0, 0, 0x01, 0, 0x01, 0, 0x80, 0x3E, 0, 0, 0x00, 0x7D, 0, 0, 0x02, 0,
                                     0x10, 0}),
                                ascii("data"), hex({0x06, 0, 0, 0}), hex({0x01, 0x00, 0xFE, 0xFF, 0xFF, 0x7F})});
  EXPECT_EQ(wav_check::file_bytes(file.path()), expected);
}

TEST(WavWriter, FloatFileIsExactly68ExtensibleHeaderBytesThenSamples) {
  TempFile file;
  WavWriter writer = make_writer(file, F32_STEREO_48K);
  const std::vector<float> samples = {1.0F, -0.5F, 0.25F, 2.0F};
  ASSERT_TRUE(writer.write_f32(samples).ok());
  ASSERT_TRUE(writer.finalize().ok());
  const auto expected = concat(
      {ascii("RIFF"), hex({0x4C, 0, 0, 0}), ascii("WAVE"), ascii("fmt "),
       hex({0x28, 0, 0, 0, 0xFE, 0xFF, 0x02, 0, 0x80, 0xBB, 0, 0, 0x00, 0xDC, 0x05, 0, 0x08, 0, 0x20, 0}),
       hex({0x16, 0, 0x20, 0, 0x03, 0, 0, 0}),
       hex({0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}),
       ascii("data"), hex({0x10, 0, 0, 0}),
       hex({0, 0, 0x80, 0x3F, 0, 0, 0x00, 0xBF, 0, 0, 0x80, 0x3E, 0, 0, 0x00, 0x40})});
  EXPECT_EQ(wav_check::file_bytes(file.path()), expected);
}

struct LayoutCase {
  WavFormat wav_format;
  std::size_t frames;
};

// Several blocks, some larger than the write buffer, read back by both readers.
TEST(WavWriter, EveryLayoutReadsBackThroughLibsndfileAndSox) {
  const std::vector<LayoutCase> cases = {
      {I16_MONO_16K, 5000}, {I16_STEREO_48K, 7001}, {F32_MONO_16K, 3}, {F32_STEREO_48K, 4800},
      {{1, 48000, 32, WavSampleKind::Float}, 1}, {{2, 16000, 16, WavSampleKind::Int}, 2050},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "channels " << c.wav_format.channels << " rate " << c.wav_format.sample_rate << " bits "
                                    << c.wav_format.bits_per_sample);
    TempFile file;
    WavWriter writer = make_writer(file, c.wav_format);
    const std::size_t values = c.frames * c.wav_format.channels;
    if (c.wav_format.sample_kind == WavSampleKind::Int) {
      std::vector<std::int16_t> samples(values);
      for (std::size_t i = 0; i < values; ++i) samples[i] = static_cast<std::int16_t>(static_cast<int>(i * 37 % 65536) - 32768);
      // Blocks of uneven sizes around the buffer size.
      for (std::size_t first = 0, block = 1; first < values; first += block, block = block * 3 + 1) {
        const std::size_t n = std::min(block, values - first);
        ASSERT_TRUE(writer.write_i16(std::span(samples).subspan(first, n)).ok());
      }
      ASSERT_TRUE(writer.finalize().ok());
      wav_check::expect_wav_i16(file.path(), c.wav_format.channels, c.wav_format.sample_rate, samples);
    } else {
      std::vector<float> samples(values);
      for (std::size_t i = 0; i < values; ++i) samples[i] = static_cast<float>(i % 2001) / 1000.0F - 1.0F;
      for (std::size_t first = 0, block = 1; first < values; first += block, block = block * 3 + 1) {
        const std::size_t n = std::min(block, values - first);
        ASSERT_TRUE(writer.write_f32(std::span(samples).subspan(first, n)).ok());
      }
      ASSERT_TRUE(writer.finalize().ok());
      wav_check::expect_wav_f32(file.path(), c.wav_format.channels, c.wav_format.sample_rate, samples);
    }
  }
}

TEST(WavWriter, FileWithoutSamplesIsHeaderOnlyWithBaseRiffSize) {
  for (const WavFormat wav_format : {I16_STEREO_48K, F32_STEREO_48K}) {
    TempFile file;
    WavWriter writer = make_writer(file, wav_format);
    ASSERT_TRUE(writer.finalize().ok());
    const auto bytes = wav_check::file_bytes(file.path());
    ASSERT_EQ(bytes.size(), wav_format.sample_kind == WavSampleKind::Int ? 44U : 68U);
    const std::uint32_t riff = bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | (bytes[7] << 24);
    EXPECT_EQ(riff, wav_format.sample_kind == WavSampleKind::Int ? 36U : 60U);
    wav_check::expect_wav_shape(file.path(), format_of(wav_format), wav_format.channels, wav_format.sample_rate, 0);
  }
}

TEST(WavWriter, ReleaseWithoutFinalizeStillPatchesSizesAndCloses) {
  TempFile file;
  const int fd = file.open_for_writing();
  std::vector<float> samples(3000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i) / 4096.0F;
  {
    auto writer = WavWriter::create(BufferedFile(fd), F32_MONO_16K).value();
    ASSERT_TRUE(writer.write_f32(samples).ok());
    ASSERT_TRUE(wav_check::descriptor_is_open(fd));
  }
  EXPECT_FALSE(wav_check::descriptor_is_open(fd));
  wav_check::expect_wav_f32(file.path(), 1, 16000, samples);
}

TEST(WavWriter, FinalizeClosesTheDescriptorAndEndsTheWriter) {
  TempFile file;
  const int fd = file.open_for_writing();
  auto writer = WavWriter::create(BufferedFile(fd), I16_MONO_16K).value();
  const std::vector<std::int16_t> one = {7};
  ASSERT_TRUE(writer.write_i16(one).ok());
  ASSERT_TRUE(writer.finalize().ok());
  EXPECT_FALSE(wav_check::descriptor_is_open(fd));
  EXPECT_FALSE(writer.finalize().ok());
  EXPECT_FALSE(writer.write_i16(one).ok());
  wav_check::expect_wav_i16(file.path(), 1, 16000, one);
}

TEST(WavWriter, HeaderGoesOutAtOnceAndSamplesIn8192ByteBuffers) {
  TempFile file;
  WavWriter writer = make_writer(file, I16_MONO_16K);
  EXPECT_EQ(wav_check::file_size(file.path()), 44U);
  const std::vector<std::int16_t> block(4000, 5);  // 8000 bytes: fits the buffer
  ASSERT_TRUE(writer.write_i16(block).ok());
  EXPECT_EQ(wav_check::file_size(file.path()), 44U);
  const std::vector<std::int16_t> small(200, 6);  // overflows it: the buffer goes out first
  ASSERT_TRUE(writer.write_i16(small).ok());
  EXPECT_EQ(wav_check::file_size(file.path()), 44U + 8000U);
  const std::vector<std::int16_t> large(5000, 7);  // bigger than the buffer: written through
  ASSERT_TRUE(writer.write_i16(large).ok());
  EXPECT_EQ(wav_check::file_size(file.path()), 44U + 8000U + 400U + 10000U);
  EXPECT_EQ(writer.data_bytes(), 18400U);
  ASSERT_TRUE(writer.finalize().ok());
  std::vector<std::int16_t> all(block);
  all.insert(all.end(), small.begin(), small.end());
  all.insert(all.end(), large.begin(), large.end());
  wav_check::expect_wav_i16(file.path(), 1, 16000, all);
}

// Sizes are patched relative to where the header started, leaving what came
// before it alone, and the descriptor's offset stays at the end.
TEST(WavWriter, HeaderStartsAtTheDescriptorsOffset) {
  TempFile file;
  const int fd = file.open_for_writing();
  ASSERT_EQ(::write(fd, "0123456789", 10), 10);
  const int keep = ::dup(fd);
  auto writer = WavWriter::create(BufferedFile(fd), F32_MONO_16K).value();
  const std::vector<float> samples = {0.5F, -0.5F};
  ASSERT_TRUE(writer.write_f32(samples).ok());
  ASSERT_TRUE(writer.finalize().ok());
  EXPECT_EQ(::lseek(keep, 0, SEEK_CUR), 10 + 68 + 8);
  ::close(keep);
  const auto bytes = wav_check::file_bytes(file.path());
  ASSERT_EQ(bytes.size(), 10U + 68U + 8U);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 10), "0123456789");
  const std::vector<std::uint8_t> header(bytes.begin() + 10, bytes.begin() + 78);
  EXPECT_EQ(header, wav_check::expected_header(SampleFormat::F32, 1, 16000, 8));
}

struct BadDescriptorCase {
  const char* name;
  std::string expected_error;
};

TEST(WavWriter, UnusableDescriptorsFailAtCreation) {
  TempFile file;
  const std::vector<BadDescriptorCase> cases = {
      {"closed", "Bad file descriptor"},
      {"read-only", "Bad file descriptor"},
      {"full device", "No space left on device"},
      {"pipe", "Illegal seek"},
      {"append mode", "descriptor is in append mode; the header sizes could not be rewritten"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = -1;
    int other_end = -1;
    const std::string name = c.name;
    if (name == "closed") {
      // A high number that nothing else in the process will be handed.
      const int tmp = file.open_for_writing();
      fd = ::fcntl(tmp, F_DUPFD_CLOEXEC, 900);
      ::close(tmp);
      ::close(fd);
    } else if (name == "read-only") {
      fd = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
    } else if (name == "full device") {
      fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    } else if (name == "pipe") {
      int ends[2];
      ASSERT_EQ(::pipe(ends), 0);
      fd = ends[1];
      other_end = ends[0];
    } else {
      fd = ::open(file.path().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    ASSERT_GE(fd, 0);
    auto created = WavWriter::create(BufferedFile(fd), F32_STEREO_48K);
    ASSERT_FALSE(created.ok());
    EXPECT_EQ(created.error(), c.expected_error);
    EXPECT_FALSE(wav_check::descriptor_is_open(fd)) << "the writer owns the descriptor either way";
    if (other_end >= 0) ::close(other_end);
  }
  // Nothing reached the file through the refused descriptors.
  EXPECT_EQ(wav_check::file_size(file.path()), 0U);
}

TEST(WavWriter, UnsupportedFormatsAreRefused) {
  const std::vector<std::pair<WavFormat, std::string>> cases = {
      {{0, 48000, 32, WavSampleKind::Float}, "unsupported wav channel count: 0"},
      {{3, 48000, 16, WavSampleKind::Int}, "unsupported wav channel count: 3"},
      {{2, 48000, 32, WavSampleKind::Int}, "unsupported wav sample type: 32-bit integer"},
      {{2, 48000, 16, WavSampleKind::Float}, "unsupported wav sample type: 16-bit float"},
      {{2, 0, 16, WavSampleKind::Int}, "unsupported wav sample rate: 0"},
      {{2, 4'000'000'000U, 32, WavSampleKind::Float}, "unsupported wav sample rate: 4000000000"},
  };
  for (const auto& [wav_format, message] : cases) {
    TempFile file;
    auto created = WavWriter::create(BufferedFile(file.open_for_writing()), wav_format);
    ASSERT_FALSE(created.ok()) << message;
    EXPECT_EQ(created.error(), message);
    EXPECT_EQ(wav_check::file_size(file.path()), 0U);
  }
}

TEST(WavWriter, SampleTypeMustMatchTheFile) {
  TempFile a;
  TempFile b;
  WavWriter ints = make_writer(a, I16_MONO_16K);
  WavWriter floats = make_writer(b, F32_MONO_16K);
  const std::vector<float> f = {0.5F};
  const std::vector<std::int16_t> s = {5};
  EXPECT_FALSE(ints.write_f32(f).ok());
  EXPECT_FALSE(floats.write_i16(s).ok());
  EXPECT_EQ(ints.data_bytes(), 0U);
  EXPECT_EQ(floats.data_bytes(), 0U);
}

// RIFF size = header - 8 + data must fit 32 bits, in whole frames.
TEST(WavWriter, DataLimitKeepsTheRiffSizeWithin32Bits) {
  const std::vector<std::pair<WavFormat, std::uint64_t>> cases = {
      {I16_MONO_16K, 4294967258U},    // (2^32 - 1 - 36) rounded down to 2
      {I16_STEREO_48K, 4294967256U},  // ... to 4
      {F32_MONO_16K, 4294967232U},    // (2^32 - 1 - 60) rounded down to 4
      {F32_STEREO_48K, 4294967232U},  // ... to 8
  };
  for (const auto& [wav_format, limit] : cases) {
    EXPECT_EQ(max_data_bytes(wav_format), limit);
    const std::uint64_t riff = limit + (wav_format.sample_kind == WavSampleKind::Int ? 36 : 60);
    EXPECT_LE(riff, std::numeric_limits<std::uint32_t>::max());
    EXPECT_GT(riff + wav_format.channels * wav_format.bits_per_sample / 8, std::numeric_limits<std::uint32_t>::max());
  }
}

TEST(WavWriter, BlockPastTheDataLimitIsRefusedWholeAndTheFileStaysValid) {
  TempFile file;
  WavWriter writer = make_writer(file, I16_STEREO_48K, 16);
  const std::vector<std::int16_t> four = {1, 2, 3, 4};
  ASSERT_TRUE(writer.write_i16(four).ok());
  const std::vector<std::int16_t> six = {5, 6, 7, 8, 9, 10};
  auto refused = writer.write_i16(six);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "data chunk would exceed the 16-byte limit of the 32-bit wav size fields");
  EXPECT_EQ(writer.data_bytes(), 8U);
  ASSERT_TRUE(writer.write_i16(four).ok());  // exactly up to the limit
  EXPECT_FALSE(writer.write_i16(std::span(four).first(2)).ok());
  ASSERT_TRUE(writer.finalize().ok());
  wav_check::expect_wav_i16(file.path(), 2, 48000, {1, 2, 3, 4, 1, 2, 3, 4});
}

// The file size limit turns writes past it into EFBIG (with SIGXFSZ ignored):
// a device that fills up in the middle of a recording.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limited = previous_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previous_handler_);
  }

 private:
  rlimit previous_{};
  void (*previous_handler_)(int) = nullptr;
};

TEST(WavWriter, FailedWriteMidwayLeavesSizesForTheWholeFramesThatReachedTheFile) {
  TempFile file;
  std::vector<std::int16_t> samples(20000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i);
  {
    // 10001 data bytes get out: 2500 whole stereo frames and one stray byte.
    const FileSizeLimit limit(44 + 10001);
    WavWriter writer = make_writer(file, I16_STEREO_48K);
    auto failed = writer.write_i16(samples);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), "File too large");
    EXPECT_EQ(writer.data_bytes(), 0U);
    const std::vector<std::int16_t> more = {1, 2};
    EXPECT_EQ(writer.write_i16(more).error(), "wav writer stopped by an earlier write error");
  }  // released unfinalized
  const auto bytes = wav_check::file_bytes(file.path());
  ASSERT_EQ(bytes.size(), 44U + 10001U);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 44),
            wav_check::expected_header(SampleFormat::I16, 2, 48000, 10000));
  const auto d = wav_check::read_with_sndfile(file.path(), SampleFormat::I16);
  EXPECT_EQ(d.info.frames, 2500);
  EXPECT_EQ(d.shorts, std::vector<short>(samples.begin(), samples.begin() + 5000));
  EXPECT_EQ(wav_check::soxi("-s", file.path()), "2500");
}

TEST(WavWriter, FailedLaterBlockKeepsEverythingBeforeIt) {
  TempFile file;
  const std::vector<std::int16_t> first(2000, 3);  // buffered, goes out before the failing block
  const std::vector<std::int16_t> second(20000, 4);
  {
    const FileSizeLimit limit(44 + 9000);
    WavWriter writer = make_writer(file, I16_STEREO_48K);
    ASSERT_TRUE(writer.write_i16(first).ok());
    ASSERT_FALSE(writer.write_i16(second).ok());
    EXPECT_EQ(writer.data_bytes(), 4000U);
  }
  const auto bytes = wav_check::file_bytes(file.path());
  ASSERT_EQ(bytes.size(), 44U + 9000U);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 44),
            wav_check::expected_header(SampleFormat::I16, 2, 48000, 9000));
  std::vector<short> expected(first.begin(), first.end());
  expected.insert(expected.end(), 2500, 4);
  const auto d = wav_check::read_with_sndfile(file.path(), SampleFormat::I16);
  EXPECT_EQ(d.info.frames, 2250);
  EXPECT_EQ(d.shorts, expected);
}

// ---- write_output_samples ----

struct Pcm16Case {
  float in;
  std::int16_t out;
};

TEST(WriteOutputSamples, I16SamplesAreClampedScaledAndRoundedHalfAwayFromZero) {
  const std::vector<Pcm16Case> cases = {
      {0.5F, 16384}, {-0.5F, -16384}, {-1.0F, -32767}, {1.5F, 32767}, {-0.25F, -8192},
      {1.0F, 32767}, {-1.5F, -32767}, {0.0F, 0}, {-0.0F, 0}, {1.0F / 32767.0F, 1}, {-2.0F / 32767.0F, -2},
      {std::numeric_limits<float>::infinity(), 32767},
      {-std::numeric_limits<float>::infinity(), -32767}, {std::numeric_limits<float>::quiet_NaN(), 0},
  };
  std::vector<float> in;
  std::vector<std::int16_t> out;
  for (const auto& c : cases) {
    in.push_back(c.in);
    out.push_back(c.out);
  }
  if (in.size() % 2 != 0) {  // whole stereo frames
    in.push_back(0.0F);
    out.push_back(0);
  }
  TempFile file;
  WavWriter writer = make_writer(file, I16_STEREO_48K);
  WavSinkMetrics metrics;
  std::vector<std::int16_t> scratch;
  ASSERT_TRUE(write_output_samples(writer, in, AudioFormat{48000, 2, SampleFormat::I16}, scratch, metrics).ok());
  ASSERT_TRUE(writer.finalize().ok());
  wav_check::expect_wav_i16(file.path(), 2, 48000, out);
}

TEST(WriteOutputSamples, F32SamplesGoOutUnchangedEvenBeyondFullScale) {
  const std::vector<float> in = {1.75F, -2.5F, 0.1F, -1e-30F, 100.0F, -0.0F};
  TempFile file;
  WavWriter writer = make_writer(file, F32_STEREO_48K);
  WavSinkMetrics metrics;
  std::vector<std::int16_t> scratch;
  ASSERT_TRUE(write_output_samples(writer, in, AudioFormat{48000, 2, SampleFormat::F32}, scratch, metrics).ok());
  ASSERT_TRUE(writer.finalize().ok());
  wav_check::expect_wav_f32(file.path(), 2, 48000, in);
}

struct MetricsCase {
  WavFormat wav_format;
  std::vector<std::size_t> blocks;
  std::uint64_t samples;
  std::uint64_t frames;
};

TEST(WriteOutputSamples, SuccessfulBlocksAreCountedAndTimed) {
  const std::vector<MetricsCase> cases = {
      {I16_MONO_16K, {160, 320, 7}, 487, 487},
      {F32_STEREO_48K, {2, 4096, 10}, 4108, 2054},
      {I16_STEREO_48K, {0, 8, 0}, 8, 4},  // empty blocks count for nothing
  };
  for (const auto& c : cases) {
    TempFile file;
    WavWriter writer = make_writer(file, c.wav_format);
    WavSinkMetrics metrics;
    std::vector<std::int16_t> scratch;
    const AudioFormat format{c.wav_format.sample_rate, c.wav_format.channels, format_of(c.wav_format)};
    std::uint64_t calls = 0;
    for (std::size_t n : c.blocks) {
      const std::vector<float> block(n, 0.25F);
      ASSERT_TRUE(write_output_samples(writer, block, format, scratch, metrics).ok());
      if (n > 0) ++calls;
    }
    EXPECT_EQ(metrics.write_calls.load(), calls);
    EXPECT_EQ(metrics.samples_written.load(), c.samples);
    EXPECT_EQ(metrics.frames_written.load(), c.frames);
    EXPECT_EQ(metrics.write.snapshot().count, calls);
    EXPECT_EQ(metrics.finalize.snapshot().count, 0U);
    EXPECT_EQ(writer.data_bytes(), c.samples * c.wav_format.bits_per_sample / 8);
  }
}

TEST(WriteOutputSamples, FailedWriteIsAWriterErrorAndRecordsNothing) {
  TempFile file;
  WavWriter writer = make_writer(file, F32_MONO_16K, 8);
  WavSinkMetrics metrics;
  std::vector<std::int16_t> scratch;
  const AudioFormat format{16000, 1, SampleFormat::F32};
  const std::vector<float> block = {0.1F, 0.2F, 0.3F};
  auto failed = write_output_samples(writer, block, format, scratch, metrics);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), WavOutputErrorKind::Writer);
  EXPECT_EQ(failed.error().message(),
            "wav writer error: data chunk would exceed the 8-byte limit of the 32-bit wav size fields");
  EXPECT_EQ(metrics.write_calls.load(), 0U);
  EXPECT_EQ(metrics.samples_written.load(), 0U);
  EXPECT_EQ(metrics.frames_written.load(), 0U);
  EXPECT_EQ(metrics.write.snapshot().count, 0U);
}

}  // namespace
