#include "outputs/wav_writer.hpp"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

namespace core_engine::outputs::wav_file {

namespace {

// strerror_r underneath, so safe on any thread.
std::string os_error(int code) { return std::generic_category().message(code); }

constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

void put_u16(std::byte* out, std::uint16_t value) {
  out[0] = static_cast<std::byte>(value & 0xFFU);
  out[1] = static_cast<std::byte>(value >> 8U);
}

void put_u32(std::byte* out, std::uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) out[i] = static_cast<std::byte>((value >> (8U * i)) & 0xFFU);
}

void put_tag(std::byte* out, const char (&tag)[5]) {
  for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::byte>(tag[i]);
}

std::uint16_t block_align(const WavFormat& wav_format) {
  return static_cast<std::uint16_t>(wav_format.channels * (wav_format.bits_per_sample / 8U));
}

Result<void, std::string> check_format(const WavFormat& wav_format) {
  if (wav_format.channels != 1 && wav_format.channels != 2) {
    return Err{"unsupported wav channel count: " + std::to_string(wav_format.channels)};
  }
  const bool int16 = wav_format.sample_kind == WavSampleKind::Int && wav_format.bits_per_sample == 16;
  const bool float32 = wav_format.sample_kind == WavSampleKind::Float && wav_format.bits_per_sample == 32;
  if (!int16 && !float32) {
    return Err{"unsupported wav sample type: " + std::to_string(wav_format.bits_per_sample) + "-bit " +
               (wav_format.sample_kind == WavSampleKind::Int ? "integer" : "float")};
  }
  if (wav_format.sample_rate == 0 ||
      std::uint64_t{wav_format.sample_rate} * block_align(wav_format) > U32_MAX) {
    return Err{"unsupported wav sample rate: " + std::to_string(wav_format.sample_rate)};
  }
  return Ok{};
}

// The header with both size fields 0.
std::array<std::byte, EXTENSIBLE_HEADER_BYTES> encode_header(const WavFormat& wav_format, std::size_t& length) {
  std::array<std::byte, EXTENSIBLE_HEADER_BYTES> h{};
  const bool is_float = wav_format.sample_kind == WavSampleKind::Float;
  const std::uint16_t align = block_align(wav_format);
  put_tag(&h[0], "RIFF");
  put_tag(&h[8], "WAVE");
  put_tag(&h[12], "fmt ");
  put_u32(&h[16], is_float ? 40U : 16U);
  put_u16(&h[20], is_float ? 0xFFFEU : 1U);
  put_u16(&h[22], wav_format.channels);
  put_u32(&h[24], wav_format.sample_rate);
  put_u32(&h[28], wav_format.sample_rate * align);
  put_u16(&h[32], align);
  put_u16(&h[34], wav_format.bits_per_sample);
  if (!is_float) {
    put_tag(&h[36], "data");
    length = PCM_HEADER_BYTES;
    return h;
  }
  put_u16(&h[36], 22);
  put_u16(&h[38], wav_format.bits_per_sample);
  put_u32(&h[40], wav_format.channels == 1 ? 0x1U : 0x3U);
  // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT in its stored byte order.
  constexpr std::array<std::uint8_t, 16> IEEE_FLOAT_GUID = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                                            0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  for (std::size_t i = 0; i < IEEE_FLOAT_GUID.size(); ++i) h[44 + i] = static_cast<std::byte>(IEEE_FLOAT_GUID[i]);
  put_tag(&h[60], "data");
  length = EXTENSIBLE_HEADER_BYTES;
  return h;
}

// Samples go out little-endian; on a little-endian host that is their memory.
template <typename T>
Result<void, std::string> write_le(BufferedFile& file, std::span<const T> samples) {
  if constexpr (std::endian::native == std::endian::little) {
    return file.write(std::as_bytes(samples));
  } else {
    std::array<std::byte, 1024> chunk{};
    constexpr std::size_t PER_CHUNK = chunk.size() / sizeof(T);
    for (std::size_t first = 0; first < samples.size(); first += PER_CHUNK) {
      const std::size_t count = std::min(PER_CHUNK, samples.size() - first);
      for (std::size_t i = 0; i < count; ++i) {
        const auto bits = std::bit_cast<std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint32_t>>(
            samples[first + i]);
        for (std::size_t b = 0; b < sizeof(T); ++b) {
          chunk[i * sizeof(T) + b] = static_cast<std::byte>((bits >> (8U * b)) & 0xFFU);
        }
      }
      if (auto r = file.write(std::span(chunk).first(count * sizeof(T))); !r) return r;
    }
    return Ok{};
  }
}

}  // namespace

// ---- BufferedFile ----

BufferedFile::BufferedFile(int fd) : fd_(fd), buffer_(std::make_unique<std::byte[]>(WRITE_BUFFER_BYTES)) {}

BufferedFile::BufferedFile(BufferedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      used_(std::exchange(other.used_, 0)),
      bytes_flushed_(std::exchange(other.bytes_flushed_, 0)) {}

BufferedFile& BufferedFile::operator=(BufferedFile&& other) noexcept {
  if (this != &other) {
    (void)close();
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::move(other.buffer_);
    used_ = std::exchange(other.used_, 0);
    bytes_flushed_ = std::exchange(other.bytes_flushed_, 0);
  }
  return *this;
}

BufferedFile::~BufferedFile() { (void)close(); }

Result<void, std::string> BufferedFile::write_fully(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{os_error(errno)};
    }
    // A zero-length write would loop forever.
    if (n == 0) return Err{std::string("failed to write whole buffer")};
    const auto written = static_cast<std::size_t>(n);
    bytes_flushed_ += written;
    bytes = bytes.subspan(written);
  }
  return Ok{};
}

Result<void, std::string> BufferedFile::write(std::span<const std::byte> bytes) {
  if (buffer_ == nullptr) return Err{os_error(EBADF)};  // moved from
  if (bytes.size() <= WRITE_BUFFER_BYTES - used_) {
    std::memcpy(buffer_.get() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return Ok{};
  }
  if (auto r = flush(); !r) return r;
  // Large blocks skip the copy.
  if (bytes.size() >= WRITE_BUFFER_BYTES) return write_fully(bytes);
  std::memcpy(buffer_.get(), bytes.data(), bytes.size());
  used_ = bytes.size();
  return Ok{};
}

Result<void, std::string> BufferedFile::flush() {
  if (used_ == 0) return Ok{};
  const std::uint64_t before = bytes_flushed_;
  auto result = write_fully(std::span(buffer_.get(), used_));
  // Keep what did not get out, so a later flush can retry it.
  const auto written = static_cast<std::size_t>(bytes_flushed_ - before);
  std::memmove(buffer_.get(), buffer_.get() + written, used_ - written);
  used_ -= written;
  return result;
}

Result<void, std::string> BufferedFile::write_at(std::uint64_t offset, std::span<const std::byte> bytes) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) return Err{os_error(EINVAL)};
  auto at = static_cast<off_t>(offset);
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Err{os_error(errno)};
    }
    if (n == 0) return Err{std::string("failed to write whole buffer")};
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    at += n;
  }
  return Ok{};
}

Result<std::uint64_t, std::string> BufferedFile::position() const {
  const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0) return Err{os_error(errno)};
  return static_cast<std::uint64_t>(pos);
}

Result<bool, std::string> BufferedFile::appends() const {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0) return Err{os_error(errno)};
  return (static_cast<unsigned>(flags) & static_cast<unsigned>(O_APPEND)) != 0;
}

Result<void, std::string> BufferedFile::close() {
  if (fd_ < 0) {
    used_ = 0;
    return Ok{};
  }
  auto flushed = flush();
  used_ = 0;
  // No retry on EINTR: on Linux the descriptor is gone either way.
  const int rc = ::close(std::exchange(fd_, -1));
  const int close_errno = errno;
  if (!flushed) return flushed;
  if (rc != 0) return Err{os_error(close_errno)};
  return Ok{};
}

// ---- WavWriter ----

std::size_t header_bytes(const WavFormat& wav_format) {
  return wav_format.sample_kind == WavSampleKind::Float ? EXTENSIBLE_HEADER_BYTES : PCM_HEADER_BYTES;
}

std::uint64_t max_data_bytes(const WavFormat& wav_format) {
  const std::uint64_t riff_overhead = header_bytes(wav_format) - 8;
  const std::uint64_t align = std::max<std::uint64_t>(block_align(wav_format), 1);
  return (U32_MAX - riff_overhead) / align * align;
}

Result<WavWriter, std::string> WavWriter::create(BufferedFile file, WavFormat wav_format, std::uint64_t data_limit) {
  if (auto r = check_format(wav_format); !r) return Err{std::move(r).error()};
  // The sizes are patched in place at the end, so the descriptor has to be
  // seekable and must not force writes to its end.
  auto position = file.position();
  if (!position) return Err{std::move(position).error()};
  auto appends = file.appends();
  if (!appends) return Err{std::move(appends).error()};
  if (appends.value()) {
    return Err{std::string("descriptor is in append mode; the header sizes could not be rewritten")};
  }
  const std::uint64_t header_offset = position.value() + file.bytes_buffered();
  std::size_t length = 0;
  const auto header = encode_header(wav_format, length);
  if (auto r = file.write(std::span(header).first(length)); !r) return Err{std::move(r).error()};
  if (auto r = file.flush(); !r) return Err{std::move(r).error()};
  return WavWriter(std::move(file), wav_format, header_offset, std::min(data_limit, max_data_bytes(wav_format)));
}

WavWriter::WavWriter(BufferedFile file, WavFormat wav_format, std::uint64_t header_offset, std::uint64_t data_limit)
    : file_(std::move(file)), format_(wav_format), header_offset_(header_offset), data_limit_(data_limit) {}

WavWriter& WavWriter::operator=(WavWriter&& other) noexcept {
  if (this != &other) {
    if (!finalized_) {
      (void)file_.flush();
      (void)patch_sizes();
    }
    file_ = std::move(other.file_);
    format_ = other.format_;
    header_offset_ = other.header_offset_;
    data_limit_ = other.data_limit_;
    data_bytes_ = other.data_bytes_;
    failed_ = other.failed_;
    finalized_ = std::exchange(other.finalized_, true);
  }
  return *this;
}

WavWriter::~WavWriter() {
  if (finalized_ || !file_.is_open()) return;
  (void)file_.flush();
  (void)patch_sizes();
  (void)file_.close();
}

Result<void, std::string> WavWriter::reserve(std::uint64_t bytes) {
  if (finalized_) return Err{std::string("wav writer already finalized")};
  // Part of the failed block may be on the file already; more data after it
  // would be misaligned.
  if (failed_) return Err{std::string("wav writer stopped by an earlier write error")};
  if (bytes > data_limit_ - data_bytes_) {
    return Err{"data chunk would exceed the " + std::to_string(data_limit_) +
               "-byte limit of the 32-bit wav size fields"};
  }
  return Ok{};
}

template <typename Sample>
Result<void, std::string> WavWriter::write_samples(std::span<const Sample> samples, WavSampleKind kind,
                                                   const char* wrong_kind) {
  if (format_.sample_kind != kind) return Err{std::string(wrong_kind)};
  const std::uint64_t bytes = std::uint64_t{samples.size()} * sizeof(Sample);
  if (auto r = reserve(bytes); !r) return r;
  if (auto r = write_le(file_, samples); !r) {
    failed_ = true;
    return r;
  }
  data_bytes_ += bytes;
  return Ok{};
}

Result<void, std::string> WavWriter::write_i16(std::span<const std::int16_t> samples) {
  return write_samples(samples, WavSampleKind::Int, "16-bit samples written to a float wav file");
}

Result<void, std::string> WavWriter::write_f32(std::span<const float> samples) {
  return write_samples(samples, WavSampleKind::Float, "float samples written to a 16-bit wav file");
}

// Sizes describe what reached the file, cut to whole frames: after a failed
// write that is not what was accepted, but every byte out there is a sample
// in order, so the frames of a partly written block are kept too.
Result<void, std::string> WavWriter::patch_sizes() {
  const std::uint64_t header = header_bytes(format_);
  const std::uint64_t on_file = file_.bytes_flushed();
  if (on_file < header) return Err{std::string("wav header never reached the file")};
  const std::uint64_t align = block_align(format_);
  const std::uint64_t data = std::min(data_limit_, (on_file - header) / align * align);
  std::array<std::byte, 4> field{};
  put_u32(field.data(), static_cast<std::uint32_t>(header - 8 + data));
  if (auto r = file_.write_at(header_offset_ + 4, field); !r) return r;
  put_u32(field.data(), static_cast<std::uint32_t>(data));
  return file_.write_at(header_offset_ + header - 4, field);
}

Result<void, std::string> WavWriter::finalize() {
  if (finalized_) return Err{std::string("wav writer already finalized")};
  finalized_ = true;
  auto flushed = file_.flush();
  auto patched = patch_sizes();
  auto closed = file_.close();
  if (!flushed) return flushed;
  if (!patched) return patched;
  return closed;
}

}  // namespace core_engine::outputs::wav_file
