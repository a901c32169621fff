// Reading back the WAV files the tests write, with libsndfile and sox.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "format.hpp"

namespace wav_check {
std::string temp_wav_path();
bool descriptor_is_open(int fd);
std::vector<std::uint8_t> file_bytes(const std::string& path);
std::uint64_t file_size(const std::string& path);
std::string soxi(const std::string& option, const std::string& path);
std::vector<std::uint8_t> expected_header(core_engine::format::SampleFormat format, std::uint16_t channels,
                                          std::uint32_t rate, std::uint32_t data_bytes);
void expect_wav_f32(const std::string& path, std::uint16_t channels, std::uint32_t rate,
                    const std::vector<float>& samples);
void expect_wav_i16(const std::string& path, std::uint16_t channels, std::uint32_t rate,
                    const std::vector<std::int16_t>& samples);
void expect_wav_shape(const std::string& path, core_engine::format::SampleFormat format, std::uint16_t channels,
                      std::uint32_t rate, std::uint64_t frames);

// A file path removed again at the end of the test.
class TempFile {
 public:
  TempFile() : path_(temp_wav_path()) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { ::unlink(path_.c_str()); }

  const std::string& path() const { return path_; }
  // A fresh descriptor on the truncated file, for the code under test to own.
  int open_for_writing() const { return ::open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC); }

 private:
  std::string path_;
};

}  // namespace wav_check
