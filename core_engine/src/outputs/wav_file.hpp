// Records one or more routes into a WAV file on a writer thread of its own:
// drains the route rings, mixes the routes with a fixed gain, converts the mix
// from the master format to the output format and writes it. Stopping
// finishes the file and hands the route consumers back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "converter.hpp"
#include "engine/ring.hpp"
#include "format.hpp"
#include "metrics.hpp"
#include "outputs/wav_writer.hpp"
#include "result.hpp"

namespace core_engine::outputs::wav_file {

using engine::RouteConsumer;
using format::AudioFormat;
using format::SampleFormat;

struct WavOutputConfig {
  std::uint32_t sample_rate = 48000;
  // 1 or 2.
  std::uint16_t channels = 2;
  SampleFormat sample_format = SampleFormat::F32;
  // Applied to the sum of the routes.
  float mix_gain = 1.0F;
};

// Written by the writer thread, read by anyone.
struct WavSinkMetrics {
  explicit WavSinkMetrics(metrics::Instant start = metrics::Clock::now()) : write(start), finalize(start) {}

  metrics::LatencyHistogram write;
  metrics::LatencyHistogram finalize;
  std::atomic<std::uint64_t> write_calls{0};
  // All channels.
  std::atomic<std::uint64_t> samples_written{0};
  std::atomic<std::uint64_t> frames_written{0};
};

struct WavSinkMetricsSnapshot {
  std::uint64_t write_calls = 0;
  std::uint64_t samples_written = 0;
  std::uint64_t frames_written = 0;
  metrics::LatencyHistogramSnapshot write;
  metrics::LatencyHistogramSnapshot finalize;
};

WavSinkMetricsSnapshot snapshot(const WavSinkMetrics& metrics);

enum class WavOutputErrorKind : std::uint8_t {
  UnsupportedChannels,
  Converter,
  Io,
  Writer,
  ThreadFailed,
  AlreadyStopped,
};

class WavOutputError {
 public:
  // The payload of each kind, in the order of WavOutputErrorKind.
  struct UnsupportedChannels {
    std::uint16_t channels;
    friend bool operator==(const UnsupportedChannels&, const UnsupportedChannels&) = default;
  };
  struct Converter {
    converter::InputConversionError error;
    friend bool operator==(const Converter&, const Converter&) = default;
  };
  struct Io {
    std::string description;
    friend bool operator==(const Io&, const Io&) = default;
  };
  struct Writer {
    std::string description;
    friend bool operator==(const Writer&, const Writer&) = default;
  };
  struct ThreadFailed {
    friend bool operator==(const ThreadFailed&, const ThreadFailed&) = default;
  };
  struct AlreadyStopped {
    friend bool operator==(const AlreadyStopped&, const AlreadyStopped&) = default;
  };
  using Payload = std::variant<UnsupportedChannels, Converter, Io, Writer, ThreadFailed, AlreadyStopped>;

  // From any payload struct: Err{WavOutputError::Writer{"..."}}.
  template <typename P>
    requires std::is_constructible_v<Payload, P&&> && (!std::is_same_v<std::remove_cvref_t<P>, WavOutputError>)
  WavOutputError(P&& payload) : payload_(std::forward<P>(payload)) {}  // NOLINT(google-explicit-constructor)

  WavOutputErrorKind kind() const { return static_cast<WavOutputErrorKind>(payload_.index()); }
  const Payload& payload() const { return payload_; }
  std::string message() const;

  friend bool operator==(const WavOutputError&, const WavOutputError&) = default;

 private:
  Payload payload_;
};

// An error that hands the route consumers back with it.
struct WavFailure {
  WavOutputError error;
  std::vector<RouteConsumer> consumers;
};

// What the writer thread ends with: its consumers, in the order received, and
// the outcome.
struct WavThreadResult {
  std::vector<RouteConsumer> consumers;
  Result<void, WavOutputError> outcome;
};

// Checks a configuration without starting anything.
Result<void, WavOutputError> validate_config(const WavOutputConfig& config);

// Writes one converted block (interleaved, in the output rate and channel
// count) as `output_format.sample_format` and accounts for it in `metrics`.
// An empty block does nothing. `pcm16` is scratch space kept between calls.
// This is the writer thread's own write path, usable without a thread.
Result<void, WavOutputError> write_output_samples(WavWriter& writer, std::span<const float> samples,
                                                  AudioFormat output_format, std::vector<std::int16_t>& pcm16,
                                                  WavSinkMetrics& metrics);

class WavFileOutput {
 public:
  // Takes ownership of `fd` whatever the outcome; on failure it is closed and
  // the consumers come back with the error. Throws std::system_error ("failed
  // to spawn thread") when no thread can be started.
  static Result<WavFileOutput, WavFailure> try_spawn_file_mix_with_config(int fd, std::vector<RouteConsumer> consumers,
                                                                         const WavOutputConfig& config);
  // The same over a file already wrapped; the file is consumed either way.
  static Result<WavFileOutput, WavFailure> try_spawn_mix_with_config(BufferedFile file,
                                                                    std::vector<RouteConsumer> consumers,
                                                                    const WavOutputConfig& config);

  WavFileOutput(WavFileOutput&& other) noexcept = default;
  WavFileOutput& operator=(WavFileOutput&& other) noexcept;
  WavFileOutput(const WavFileOutput&) = delete;
  WavFileOutput& operator=(const WavFileOutput&) = delete;
  // Stops as stop_with_consumers does; the consumers go with the result.
  ~WavFileOutput();

  // Blocks until the writer thread has finished the file. The first call
  // returns the consumers (with the thread's error if it failed); later calls
  // fail with AlreadyStopped and no consumers.
  Result<std::vector<RouteConsumer>, WavFailure> stop_with_consumers();

  // Any time, also after the stop.
  WavSinkMetricsSnapshot stats() const;

 private:
  struct WriterThread {
    std::thread thread;
    // Filled by the thread just before it returns; read after the join.
    std::unique_ptr<std::optional<WavThreadResult>> result;
  };

  WavFileOutput(std::shared_ptr<std::atomic<bool>> stop_flag, std::shared_ptr<WavSinkMetrics> metrics,
                std::unique_ptr<WriterThread> thread);

  std::shared_ptr<std::atomic<bool>> stop_flag_;
  std::shared_ptr<WavSinkMetrics> metrics_;
  std::unique_ptr<WriterThread> thread_;
};

}  // namespace core_engine::outputs::wav_file
