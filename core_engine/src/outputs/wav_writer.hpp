// A minimal RIFF/WAVE writer: one format chunk, one data chunk, nothing else.
// 16-bit integer files use the plain PCM header (44 bytes), 32-bit float files
// the extensible header (68 bytes). The size fields are written as 0 and
// patched when the writer ends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "result.hpp"

namespace core_engine::outputs::wav_file {

inline constexpr std::size_t WRITE_BUFFER_BYTES = 8192;

// An owned POSIX descriptor behind a fixed write buffer. Errors are the
// system's descriptions (strerror). Release flushes, ignoring errors, and
// closes the descriptor.
class BufferedFile {
 public:
  // Takes ownership of `fd`, valid or not: a bad descriptor fails at the first
  // operation that reaches it.
  explicit BufferedFile(int fd);
  BufferedFile(BufferedFile&& other) noexcept;
  BufferedFile& operator=(BufferedFile&& other) noexcept;
  BufferedFile(const BufferedFile&) = delete;
  BufferedFile& operator=(const BufferedFile&) = delete;
  ~BufferedFile();

  // Appends to the buffer, writing it out whenever it fills.
  Result<void, std::string> write(std::span<const std::byte> bytes);
  Result<void, std::string> flush();
  // Positioned write straight to the descriptor; leaves its offset alone.
  Result<void, std::string> write_at(std::uint64_t offset, std::span<const std::byte> bytes);
  // The descriptor's current offset (buffered bytes not included).
  Result<std::uint64_t, std::string> position() const;
  // Whether the descriptor was opened for appending, which defeats write_at.
  Result<bool, std::string> appends() const;
  // Flushes and closes; later calls do nothing.
  Result<void, std::string> close();

  bool is_open() const { return fd_ >= 0; }
  // Bytes that reached the descriptor through write/flush.
  std::uint64_t bytes_flushed() const { return bytes_flushed_; }
  std::size_t bytes_buffered() const { return used_; }

 private:
  Result<void, std::string> write_fully(std::span<const std::byte> bytes);

  int fd_;
  std::unique_ptr<std::byte[]> buffer_;
  std::size_t used_ = 0;
  std::uint64_t bytes_flushed_ = 0;
};

enum class WavSampleKind : std::uint8_t { Int, Float };

// What the header describes. Supported: 1 or 2 channels, 16-bit Int or
// 32-bit Float, a non-zero rate.
struct WavFormat {
  std::uint16_t channels;
  std::uint32_t sample_rate;
  std::uint16_t bits_per_sample;
  WavSampleKind sample_kind;

  friend bool operator==(const WavFormat&, const WavFormat&) = default;
};

inline constexpr std::size_t PCM_HEADER_BYTES = 44;
inline constexpr std::size_t EXTENSIBLE_HEADER_BYTES = 68;

// Header length for a format: 44 for Int, 68 for Float.
std::size_t header_bytes(const WavFormat& wav_format);
// The largest data chunk whose RIFF size still fits 32 bits, in whole frames.
std::uint64_t max_data_bytes(const WavFormat& wav_format);

class WavWriter {
 public:
  // Checks the format and the descriptor (seekable, not appending), then writes
  // the header at the descriptor's offset and flushes it, so that a file that
  // cannot be written fails here rather than somewhere in the recording.
  // `data_limit` can only lower max_data_bytes(wav_format). The file is released
  // (closed) on failure.
  static Result<WavWriter, std::string> create(BufferedFile file, WavFormat wav_format,
                                               std::uint64_t data_limit = UINT64_MAX);

  WavWriter(WavWriter&& other) noexcept = default;
  WavWriter& operator=(WavWriter&& other) noexcept;
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;
  // Unfinalized: flushes, patches the sizes to what reached the file and
  // closes, ignoring every error.
  ~WavWriter();

  // A block that would take the data past the size limit is refused whole.
  // After a failed write every later write fails.
  Result<void, std::string> write_i16(std::span<const std::int16_t> samples);
  Result<void, std::string> write_f32(std::span<const float> samples);

  // Flushes, rewrites the RIFF and data sizes, closes. Every step is tried;
  // the first failure is returned.
  Result<void, std::string> finalize();

  const WavFormat& wav_format() const { return format_; }
  // Data bytes accepted so far.
  std::uint64_t data_bytes() const { return data_bytes_; }

 private:
  WavWriter(BufferedFile file, WavFormat wav_format, std::uint64_t header_offset, std::uint64_t data_limit);
  Result<void, std::string> reserve(std::uint64_t bytes);
  template <typename Sample>
  Result<void, std::string> write_samples(std::span<const Sample> samples, WavSampleKind kind,
                                          const char* wrong_kind);
  Result<void, std::string> patch_sizes();

  BufferedFile file_;
  WavFormat format_;
  std::uint64_t header_offset_;
  std::uint64_t data_limit_;
  std::uint64_t data_bytes_ = 0;
  bool finalized_ = false;
  bool failed_ = false;
};

}  // namespace core_engine::outputs::wav_file
