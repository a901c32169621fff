#include "outputs/asr_sink.hpp"

#include <cstdlib>
#include <exception>
#include <limits>
#include <system_error>

#include "outputs/idle.hpp"
#include "outputs/pcm16.hpp"

namespace core_engine::outputs::asr_sink {

namespace {

constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t MASTER_CHANNELS = format::MASTER_FORMAT.channels;

std::uint32_t saturating_add(std::uint32_t a, std::uint32_t b) { return b > U32_MAX - a ? U32_MAX : a + b; }

std::uint32_t saturate_u32(std::size_t value) {
  return value > U32_MAX ? U32_MAX : static_cast<std::uint32_t>(value);
}

AudioFormat converter_output(const AsrSinkConfig& config) {
  return AudioFormat{config.sample_rate, config.channels, SampleFormat::F32};
}

MasterFormatConverter build_converter(const AsrSinkConfig& config) {
  // Only configurations that passed validate_config get here; a refusal now
  // would be a defect, and a state without a converter cannot run.
  if (config.chunk_frames == 0 || (config.channels != 1 && config.channels != 2)) std::abort();
  auto built = MasterFormatConverter::create(format::MASTER_FORMAT, converter_output(config));
  if (!built) std::abort();
  return std::move(built).value();
}

// A chunk too large to count can never fill, rather than wrapping to a size
// that completes at once.
std::size_t chunk_samples(const AsrSinkConfig& config) {
  constexpr std::uint64_t max = std::numeric_limits<std::size_t>::max();
  if (config.chunk_frames > max / config.channels) return std::numeric_limits<std::size_t>::max();
  return static_cast<std::size_t>(config.chunk_frames * config.channels);
}

Result<std::vector<AsrSinkInput>, AsrSinkError> run(std::vector<InputState> states,
                                                    std::unique_ptr<AsrSinkCallback> callback,
                                                    const std::atomic<bool>& stop_flag) {
  while (!stop_flag.load()) {
    if (states.empty()) {
      std::this_thread::sleep_for(SINK_IDLE_SLEEP);
      continue;
    }
    bool active = false;
    for (InputState& state : states) {
      auto polled = state.poll(*callback);
      // Returning releases the states (consumers included) and the callback
      // here, on this thread.
      if (!polled) return Err{AsrSinkError::Converter{std::move(polled).error()}};
      active = polled.value() || active;
    }
    if (!active) std::this_thread::sleep_for(SINK_IDLE_SLEEP);
  }
  for (InputState& state : states) state.reset();
  std::vector<AsrSinkInput> inputs;
  inputs.reserve(states.size());
  for (InputState& state : states) inputs.push_back(std::move(state).into_input());
  states.clear();
  callback.reset();
  return inputs;
}

void worker_main(std::vector<InputState> states, std::unique_ptr<AsrSinkCallback> callback,
                 std::shared_ptr<std::atomic<bool>> stop_flag,
                 std::optional<Result<std::vector<AsrSinkInput>, AsrSinkError>>* outcome) {
  try {
    *outcome = run(std::move(states), std::move(callback), *stop_flag);
  } catch (...) {
    // Anything thrown (on_chunk included) ends the thread; the empty outcome
    // tells stop to report ThreadFailed.
    outcome->reset();
  }
}

}  // namespace

std::string AsrSinkError::message() const {
  switch (kind()) {
    case AsrSinkErrorKind::NoInputs:
      return "asr sink requires at least one input";
    case AsrSinkErrorKind::ZeroChunkFrames:
      return "chunk_frames must be greater than zero";
    case AsrSinkErrorKind::UnsupportedChannels:
      return "unsupported output channels for asr sink: " +
             std::to_string(static_cast<unsigned>(std::get<UnsupportedChannels>(payload_).channels));
    case AsrSinkErrorKind::Converter:
      return "converter error: " + std::get<Converter>(payload_).error.message();
    case AsrSinkErrorKind::ThreadFailed:
      return "asr sink thread panicked";
    case AsrSinkErrorKind::AlreadyStopped:
      return "asr sink already stopped";
  }
  return {};
}

AsrInputMetricsSnapshot snapshot(const AsrInputMetrics& metrics) {
  AsrInputMetricsSnapshot out;
  out.chunks_emitted = metrics.chunks_emitted.load(std::memory_order_relaxed);
  out.frames_emitted = metrics.frames_emitted.load(std::memory_order_relaxed);
  out.pending_frames = metrics.pending_frames.load(std::memory_order_relaxed);
  out.poll = metrics.poll.snapshot();
  out.callback = metrics.callback.snapshot();
  return out;
}

InputState::InputState(AsrSinkInput input, const AsrSinkConfig& config, std::shared_ptr<AsrInputMetrics> metrics)
    : id_(std::move(input.id)),
      converter_(build_converter(config)),
      output_format_{config.sample_rate, config.channels, config.sample_format},
      consumer_(std::move(input.consumer)),
      metrics_(std::move(metrics)),
      chunk_frames_(config.chunk_frames),
      chunk_samples_(chunk_samples(config)) {}

Result<bool, InputConversionError> InputState::poll(AsrSinkCallback& callback) {
  const metrics::Instant started = metrics::Clock::now();
  bool active = false;
  std::uint32_t callback_total_us = 0;

  // Whole master frames only; an odd sample waits in the ring for its pair.
  const std::size_t readable = consumer_.available() / MASTER_CHANNELS * MASTER_CHANNELS;
  if (readable >= MASTER_CHANNELS) {
    const std::size_t held = raw_.size();
    raw_.resize(held + readable);
    const std::size_t moved = consumer_.read(std::span<float>(raw_).subspan(held));
    raw_.resize(held + moved);
    if (moved > 0) active = true;
  }

  if (raw_.size() >= MASTER_CHANNELS) {
    const std::size_t take = raw_.size() / MASTER_CHANNELS * MASTER_CHANNELS;
    auto converted = converter_.convert(std::span<const float>(raw_).first(take), converted_);
    if (!converted) return Err{std::move(converted).error()};
    if (!converted_.empty()) {
      pending_.insert(pending_.end(), converted_.begin(), converted_.end());
      active = true;
    }
    raw_.erase(raw_.begin(), raw_.begin() + static_cast<std::ptrdiff_t>(take));
  }

  while (pending_.size() - read_offset_ >= chunk_samples_) {
    const std::span<const float> samples(pending_.data() + read_offset_, chunk_samples_);
    AsrChunk chunk{samples, id_, chunk_frames_};
    if (output_format_.sample_format == SampleFormat::I16) {
      // Reused from chunk to chunk: its capacity stays.
      to_pcm16(samples, pcm16_);
      chunk.samples = std::span<const std::int16_t>(pcm16_);
    }
    const metrics::Instant call_started = metrics::Clock::now();
    callback.on_chunk(chunk);
    const std::uint32_t call_us = metrics::elapsed_us(call_started);
    metrics_->callback.record(call_us);
    callback_total_us = saturating_add(callback_total_us, call_us);
    metrics_->chunks_emitted.fetch_add(1, std::memory_order_relaxed);
    metrics_->frames_emitted.fetch_add(chunk_frames_, std::memory_order_relaxed);
    read_offset_ += chunk_samples_;
    active = true;
  }

  // Moving the rest only once at least half is delivered keeps delivery free
  // of a copy per chunk.
  if (read_offset_ != 0 && read_offset_ >= pending_.size()) {
    pending_.clear();
    read_offset_ = 0;
  } else if (read_offset_ != 0 && read_offset_ >= pending_.size() - read_offset_) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(read_offset_));
    read_offset_ = 0;
  }
  metrics_->pending_frames.store(saturate_u32((pending_.size() - read_offset_) / output_format_.channels),
                                 std::memory_order_relaxed);

  if (active) {
    const std::uint32_t pass_us = metrics::elapsed_us(started);
    metrics_->poll.record(pass_us > callback_total_us ? pass_us - callback_total_us : 0);
  }
  return active;
}

void InputState::reset() {
  raw_.clear();
  converted_.clear();
  pending_.clear();
  pcm16_.clear();
  read_offset_ = 0;
  metrics_->pending_frames.store(0, std::memory_order_relaxed);
}

AsrSinkInput InputState::into_input() && { return AsrSinkInput{std::move(id_), std::move(consumer_)}; }

Result<void, AsrSinkError> AsrSink::validate_config(const AsrSinkConfig& config) {
  if (config.chunk_frames == 0) return Err{AsrSinkError::ZeroChunkFrames{}};
  if (config.channels != 1 && config.channels != 2) return Err{AsrSinkError::UnsupportedChannels{config.channels}};
  auto built = MasterFormatConverter::create(format::MASTER_FORMAT, converter_output(config));
  if (!built) return Err{AsrSinkError::Converter{std::move(built).error()}};
  return Ok{};
}

Result<AsrSink, SpawnFailure> AsrSink::try_spawn(std::vector<AsrSinkInput> inputs, const AsrSinkConfig& config,
                                                 std::unique_ptr<AsrSinkCallback> callback) {
  std::optional<AsrSinkError> refused;
  if (inputs.empty()) {
    refused.emplace(AsrSinkError::NoInputs{});
  } else if (auto valid = validate_config(config); !valid) {
    refused.emplace(std::move(valid).error());
  }
  if (refused) {
    callback.reset();
    return Err{SpawnFailure{std::move(*refused), std::move(inputs)}};
  }

  const metrics::Instant start = metrics::Clock::now();
  auto sink_metrics = std::make_shared<AsrSinkMetrics>();
  std::vector<InputState> states;
  states.reserve(inputs.size());
  for (AsrSinkInput& input : inputs) {
    auto input_metrics = std::make_shared<AsrInputMetrics>(start);
    // A later input with the same id takes the entry; both still run.
    sink_metrics->insert_or_assign(input.id, input_metrics);
    states.emplace_back(std::move(input), config, std::move(input_metrics));
  }
  inputs.clear();

  auto stop_flag = std::make_shared<std::atomic<bool>>(false);
  auto worker = std::make_unique<Worker>();
  try {
    worker->thread = std::thread(worker_main, std::move(states), std::move(callback), stop_flag, &worker->outcome);
  } catch (const std::system_error& error) {
    throw std::system_error(error.code(), "failed to spawn thread");
  }
  return AsrSink(std::move(stop_flag), std::move(sink_metrics), std::move(worker));
}

AsrSink::AsrSink(std::shared_ptr<std::atomic<bool>> stop_flag, std::shared_ptr<const AsrSinkMetrics> metrics,
                 std::unique_ptr<Worker> worker)
    : stop_flag_(std::move(stop_flag)), metrics_(std::move(metrics)), worker_(std::move(worker)) {}

AsrSink& AsrSink::operator=(AsrSink&& other) noexcept {
  if (this != &other) {
    release();
    stop_flag_ = std::move(other.stop_flag_);
    metrics_ = std::move(other.metrics_);
    worker_ = std::move(other.worker_);
  }
  return *this;
}

AsrSink::~AsrSink() { release(); }

void AsrSink::release() noexcept {
  if (stop_flag_) stop_flag_->store(true);
  if (worker_) {
    worker_->thread.join();
    worker_.reset();
  }
}

Result<std::vector<AsrSinkInput>, AsrSinkError> AsrSink::stop() {
  if (stop_flag_) stop_flag_->store(true);
  std::unique_ptr<Worker> worker = std::move(worker_);
  if (!worker) return Err{AsrSinkError::AlreadyStopped{}};
  worker->thread.join();
  if (!worker->outcome) return Err{AsrSinkError::ThreadFailed{}};
  return std::move(*worker->outcome);
}

std::map<std::string, AsrInputMetricsSnapshot> AsrSink::stats() const {
  std::map<std::string, AsrInputMetricsSnapshot> out;
  if (!metrics_) return out;
  for (const auto& [id, input_metrics] : *metrics_) out.emplace(id, snapshot(*input_metrics));
  return out;
}

}  // namespace core_engine::outputs::asr_sink
