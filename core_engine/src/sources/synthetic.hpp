// A source that needs no device: once started, a thread of its own drives the
// stream's pipeline with a deterministic ramp, produced directly in the master
// format (both channels carry the same value, growing by a fixed step a frame).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "engine/pipeline.hpp"
#include "result.hpp"

namespace core_engine::sources::synthetic {

struct SyntheticSourceConfig {
  std::size_t frames_per_callback = 160;
  std::size_t callback_count = 4;
  float start_value = 0.0F;
  float step_value = 1.0F;
  // Pause after each buffer; zero means none.
  std::chrono::milliseconds interval{0};
  // Pause before the first buffer; zero means none.
  std::chrono::milliseconds start_delay{0};
};

struct SyntheticSourceError {
  enum class Kind : std::uint8_t { FramesPerCallbackZero, CallbackCountZero, AlreadyStarted, AlreadyStopped, ThreadFailed };
  Kind kind;
  std::string message() const;
};

class SyntheticSource {
 public:
  // Takes the pipeline; on failure it is released before the error returns.
  static Result<SyntheticSource, SyntheticSourceError> create(engine::RealTimePipeline pipeline,
                                                              SyntheticSourceConfig config);

  SyntheticSource(SyntheticSource&&) noexcept = default;
  SyntheticSource& operator=(SyntheticSource&&) = delete;
  SyntheticSource(const SyntheticSource&) = delete;
  SyntheticSource& operator=(const SyntheticSource&) = delete;
  // Stops as `stop` does, ignoring the outcome.
  ~SyntheticSource();

  Result<void, SyntheticSourceError> start();
  // Blocks until the generator thread has ended.
  Result<void, SyntheticSourceError> stop();

 private:
  struct Shared {
    std::atomic<bool> stop_requested{false};
    // Set when the generator ended by an exception instead of returning.
    std::atomic<bool> failed{false};
  };

  SyntheticSource(engine::RealTimePipeline pipeline, SyntheticSourceConfig config);
  static void generate(engine::RealTimePipeline pipeline, SyntheticSourceConfig config,
                       std::shared_ptr<Shared> shared);

  std::optional<engine::RealTimePipeline> pipeline_;
  SyntheticSourceConfig config_;
  std::shared_ptr<Shared> shared_;
  std::optional<std::thread> thread_;
};

}  // namespace core_engine::sources::synthetic
