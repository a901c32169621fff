// Feeds a speech recogniser: a worker thread drains each input's route ring,
// converts it to the sink's rate and channel count, cuts it into chunks of a
// fixed frame count and hands every chunk to a callback object. Inputs are
// never mixed; each chunk carries the id of its input. Stopping hands the
// inputs back so that their routes can be taken again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "converter.hpp"
#include "engine/ring.hpp"
#include "format.hpp"
#include "metrics.hpp"
#include "result.hpp"

namespace core_engine::outputs::asr_sink {

using converter::InputConversionError;
using converter::MasterFormatConverter;
using engine::RouteConsumer;
using format::AudioFormat;
using format::SampleFormat;

struct AsrSinkConfig {
  // Greater than 0.
  std::uint64_t chunk_frames = 320;
  std::uint32_t sample_rate = 16000;
  // 1 or 2.
  std::uint16_t channels = 1;
  SampleFormat sample_format = SampleFormat::I16;
};

// What moves into the sink and back out of it.
struct AsrSinkInput {
  std::string id;
  RouteConsumer consumer;
};

// Interleaved, channels x frames values in the sink's sample format.
using AsrSamples = std::variant<std::span<const float>, std::span<const std::int16_t>>;

// Borrowed for the duration of one on_chunk call only.
struct AsrChunk {
  AsrSamples samples;
  std::string_view input_id;
  std::uint64_t frames = 0;
};

// Owned by the sink; called, and finally released, on its worker thread only.
// on_chunk blocks every input of the sink while it runs and is expected to
// return normally.
class AsrSinkCallback {
 public:
  virtual ~AsrSinkCallback() = default;
  virtual void on_chunk(const AsrChunk& chunk) = 0;

 protected:
  AsrSinkCallback() = default;
  AsrSinkCallback(const AsrSinkCallback&) = default;
  AsrSinkCallback(AsrSinkCallback&&) = default;
  AsrSinkCallback& operator=(const AsrSinkCallback&) = default;
  AsrSinkCallback& operator=(AsrSinkCallback&&) = default;
};

// One per input. Written by the worker thread, read by anyone.
struct AsrInputMetrics {
  explicit AsrInputMetrics(metrics::Instant start = metrics::Clock::now()) : poll(start), callback(start) {}

  // Each active pass, less the time spent in on_chunk.
  metrics::LatencyHistogram poll;
  metrics::LatencyHistogram callback;
  std::atomic<std::uint64_t> chunks_emitted{0};
  std::atomic<std::uint64_t> frames_emitted{0};
  // Converted frames waiting for a full chunk, as of the last pass.
  std::atomic<std::uint32_t> pending_frames{0};
};

struct AsrInputMetricsSnapshot {
  std::uint64_t chunks_emitted = 0;
  std::uint64_t frames_emitted = 0;
  std::uint32_t pending_frames = 0;
  metrics::LatencyHistogramSnapshot poll;
  metrics::LatencyHistogramSnapshot callback;
};

AsrInputMetricsSnapshot snapshot(const AsrInputMetrics& metrics);

// Input id -> that input's figures. Filled while the sink is created and never
// changed afterwards, so it is read without a lock.
using AsrSinkMetrics = std::map<std::string, std::shared_ptr<AsrInputMetrics>, std::less<>>;

enum class AsrSinkErrorKind : std::uint8_t {
  NoInputs,
  ZeroChunkFrames,
  UnsupportedChannels,
  Converter,
  ThreadFailed,
  AlreadyStopped,
};

class AsrSinkError {
 public:
  // The payload of each kind, in the order of AsrSinkErrorKind.
  struct NoInputs {
    friend bool operator==(const NoInputs&, const NoInputs&) = default;
  };
  struct ZeroChunkFrames {
    friend bool operator==(const ZeroChunkFrames&, const ZeroChunkFrames&) = default;
  };
  struct UnsupportedChannels {
    std::uint16_t channels;
    friend bool operator==(const UnsupportedChannels&, const UnsupportedChannels&) = default;
  };
  struct Converter {
    InputConversionError error;
    friend bool operator==(const Converter&, const Converter&) = default;
  };
  struct ThreadFailed {
    friend bool operator==(const ThreadFailed&, const ThreadFailed&) = default;
  };
  struct AlreadyStopped {
    friend bool operator==(const AlreadyStopped&, const AlreadyStopped&) = default;
  };
  using Payload = std::variant<NoInputs, ZeroChunkFrames, UnsupportedChannels, Converter, ThreadFailed, AlreadyStopped>;

  // From any payload struct: Err{AsrSinkError::UnsupportedChannels{3}}.
  template <typename P>
    requires std::is_constructible_v<Payload, P&&> && (!std::is_same_v<std::remove_cvref_t<P>, AsrSinkError>)
  AsrSinkError(P&& payload) : payload_(std::forward<P>(payload)) {}  // NOLINT(google-explicit-constructor)

  AsrSinkErrorKind kind() const { return static_cast<AsrSinkErrorKind>(payload_.index()); }
  const Payload& payload() const { return payload_; }
  std::string message() const;

  friend bool operator==(const AsrSinkError&, const AsrSinkError&) = default;

 private:
  Payload payload_;
};

// A refused creation hands the inputs back, in the order given.
struct SpawnFailure {
  AsrSinkError error;
  std::vector<AsrSinkInput> inputs;
};

// One input as the worker thread sees it: its ring, its own converter and the
// buffers between them. Usable without a thread.
class InputState {
 public:
  // `config` must have passed AsrSink::validate_config; anything else is a
  // defect and aborts.
  InputState(AsrSinkInput input, const AsrSinkConfig& config, std::shared_ptr<AsrInputMetrics> metrics);
  InputState(InputState&&) = default;
  InputState& operator=(InputState&&) = default;
  // A ring has one reading end.
  InputState(const InputState&) = delete;
  InputState& operator=(const InputState&) = delete;
  ~InputState() = default;

  // One pass: drains the ring in whole frames, converts, and delivers every
  // complete chunk to `callback`. Returns whether anything moved.
  Result<bool, InputConversionError> poll(AsrSinkCallback& callback);

  // Discards every buffered sample and the incomplete chunk; nothing is
  // flushed from the converter. The ring is left alone.
  void reset();

  // Hands the id and the consumer back; the state is spent.
  AsrSinkInput into_input() &&;

  std::string_view id() const { return id_; }

 private:
  std::string id_;
  MasterFormatConverter converter_;
  // Taken from the ring, not yet converted.
  std::vector<float> raw_;
  std::vector<float> converted_;
  // Converted and not yet delivered past read_offset_ (in samples).
  std::vector<float> pending_;
  std::size_t read_offset_ = 0;
  std::vector<std::int16_t> pcm16_;
  AudioFormat output_format_;
  RouteConsumer consumer_;
  std::shared_ptr<AsrInputMetrics> metrics_;
  std::uint64_t chunk_frames_;
  // channels x chunk_frames, saturated.
  std::size_t chunk_samples_;
};

class AsrSink {
 public:
  // Checks a configuration without starting anything.
  static Result<void, AsrSinkError> validate_config(const AsrSinkConfig& config);

  // The callback object is consumed either way; on failure it is released
  // before the call returns and the inputs come back with the error. Throws
  // std::system_error ("failed to spawn thread") when no thread can be
  // started.
  static Result<AsrSink, SpawnFailure> try_spawn(std::vector<AsrSinkInput> inputs, const AsrSinkConfig& config,
                                                 std::unique_ptr<AsrSinkCallback> callback);

  AsrSink(AsrSink&&) noexcept = default;
  // Stops this sink as the destructor does, then takes over `other`.
  AsrSink& operator=(AsrSink&& other) noexcept;
  AsrSink(const AsrSink&) = delete;
  AsrSink& operator=(const AsrSink&) = delete;
  // Sets the stop flag, waits for the worker if it is still held, and
  // releases whatever it returned.
  ~AsrSink();

  // Blocks until the worker has ended. The first call returns the inputs in
  // the order given (or the worker's error, without inputs); later calls fail
  // with AlreadyStopped.
  Result<std::vector<AsrSinkInput>, AsrSinkError> stop();

  // Any time, also after the stop. The order of the map carries no meaning.
  std::map<std::string, AsrInputMetricsSnapshot> stats() const;

 private:
  struct Worker {
    std::thread thread;
    // Written by the thread just before it returns normally; read after the
    // join. Left empty when the thread ended by an exception.
    std::optional<Result<std::vector<AsrSinkInput>, AsrSinkError>> outcome;
  };

  AsrSink(std::shared_ptr<std::atomic<bool>> stop_flag, std::shared_ptr<const AsrSinkMetrics> metrics,
          std::unique_ptr<Worker> worker);
  void release() noexcept;

  std::shared_ptr<std::atomic<bool>> stop_flag_;
  std::shared_ptr<const AsrSinkMetrics> metrics_;
  std::unique_ptr<Worker> worker_;
};

}  // namespace core_engine::outputs::asr_sink
