#include "outputs/wav_file.hpp"

#include <algorithm>
#include <exception>
#include <system_error>

#include "outputs/idle.hpp"
#include "outputs/pcm16.hpp"

namespace core_engine::outputs::wav_file {

namespace {

using converter::MasterFormatConverter;
using format::MASTER_FORMAT;

// FIFO of samples over one vector: popping advances a head index, and the
// dead front is dropped once it is at least as long as the live part, so
// every sample is moved a bounded number of times.
class SampleQueue {
 public:
  std::size_t size() const { return data_.size() - head_; }

  // `count` more samples at the back, for the caller to fill.
  std::span<float> grow(std::size_t count) {
    if (head_ > 0 && head_ >= size()) {
      data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    const std::size_t old = data_.size();
    data_.resize(old + count);
    return {data_.data() + old, count};
  }
  void shrink_back(std::size_t count) { data_.resize(data_.size() - count); }

  std::span<const float> front(std::size_t count) const { return {data_.data() + head_, count}; }
  void pop(std::size_t count) {
    head_ += count;
    if (head_ == data_.size()) clear();
  }
  void clear() {
    data_.clear();
    head_ = 0;
  }

 private:
  std::vector<float> data_;
  std::size_t head_ = 0;
};

// Everything the writer thread owns.
struct WriterJob {
  std::vector<RouteConsumer> consumers;
  BufferedFile file;
  MasterFormatConverter converter;
  std::size_t master_channels;
  AudioFormat output_format;
  WavFormat wav_format;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  std::shared_ptr<WavSinkMetrics> metrics;
  float gain;
};

AudioFormat converter_output(const WavOutputConfig& config) {
  return {config.sample_rate, config.channels, SampleFormat::F32};
}

Result<void, WavOutputError> run_writer_loop(WriterJob& job) {
  auto created = WavWriter::create(std::move(job.file), job.wav_format);
  if (!created) return Err{WavOutputError::Writer{std::move(created).error()}};
  WavWriter writer = std::move(created).value();

  std::vector<SampleQueue> queues(job.consumers.size());
  std::vector<float> mix;
  std::vector<float> converted;
  std::vector<std::int16_t> pcm16;
  const std::size_t master = job.master_channels;

  while (true) {
    // Read once, before the drain: whatever arrived before the stop was
    // requested is still taken by this last pass.
    const bool stopping = job.stop_flag->load(std::memory_order_acquire);

    bool moved = false;
    for (std::size_t r = 0; r < job.consumers.size(); ++r) {
      std::size_t count = job.consumers[r].available();
      count -= count % master;
      if (count == 0) continue;
      const std::size_t got = job.consumers[r].read(queues[r].grow(count));
      queues[r].shrink_back(count - got);
      moved = moved || got > 0;
    }

    std::size_t m = queues.front().size();
    for (const SampleQueue& queue : queues) m = std::min(m, queue.size());
    m -= m % master;

    if (m > 0) {
      // Route-major accumulation adds in the same order per sample as a
      // sample-major loop, and vectorises.
      mix.assign(m, 0.0F);
      for (SampleQueue& queue : queues) {
        const std::span<const float> front = queue.front(m);
        for (std::size_t i = 0; i < m; ++i) mix[i] += front[i];
        queue.pop(m);
      }
      for (float& sample : mix) sample *= job.gain;
      if (auto r = job.converter.convert(mix, converted); !r) {
        return Err{WavOutputError::Converter{std::move(r).error()}};
      }
      if (auto r = write_output_samples(writer, converted, job.output_format, pcm16, *job.metrics); !r) return r;
    }

    if (stopping) break;
    if (m == 0 && !moved) std::this_thread::sleep_for(SINK_IDLE_SLEEP);
  }

  if (auto r = job.converter.finish(converted); !r) return Err{WavOutputError::Converter{std::move(r).error()}};
  if (auto r = write_output_samples(writer, converted, job.output_format, pcm16, *job.metrics); !r) return r;
  // Samples of routes that were ahead of the slowest one have no partner.
  for (SampleQueue& queue : queues) queue.clear();

  const metrics::Instant start = metrics::Clock::now();
  auto finalized = writer.finalize();
  job.metrics->finalize.record(metrics::elapsed_us(start));
  if (!finalized) return Err{WavOutputError::Writer{std::move(finalized).error()}};
  return Ok{};
}

void writer_thread(WriterJob job, std::optional<WavThreadResult>* slot) noexcept {
  try {
    Result<void, WavOutputError> outcome = Ok{};
    try {
      outcome = run_writer_loop(job);
    } catch (...) {
      // The consumers live outside the loop, so they survive its failure.
      outcome = Err{WavOutputError::ThreadFailed{}};
    }
    *slot = WavThreadResult{std::move(job.consumers), std::move(outcome)};
  } catch (...) {
    // Nothing could be handed back; the stop sees an empty slot.
  }
}

}  // namespace

std::string WavOutputError::message() const {
  if (const auto* e = std::get_if<UnsupportedChannels>(&payload_)) {
    return "unsupported output channels for wav sink: " + std::to_string(e->channels);
  }
  if (const auto* e = std::get_if<Converter>(&payload_)) return "converter error: " + e->error.message();
  if (const auto* e = std::get_if<Io>(&payload_)) return "wav io error: " + e->description;
  if (const auto* e = std::get_if<Writer>(&payload_)) return "wav writer error: " + e->description;
  if (std::holds_alternative<ThreadFailed>(payload_)) return "wav writer thread panicked";
  return "wav writer already stopped";
}

WavSinkMetricsSnapshot snapshot(const WavSinkMetrics& metrics) {
  WavSinkMetricsSnapshot out;
  out.write_calls = metrics.write_calls.load(std::memory_order_relaxed);
  out.samples_written = metrics.samples_written.load(std::memory_order_relaxed);
  out.frames_written = metrics.frames_written.load(std::memory_order_relaxed);
  out.write = metrics.write.snapshot();
  out.finalize = metrics.finalize.snapshot();
  return out;
}

Result<void, WavOutputError> validate_config(const WavOutputConfig& config) {
  if (config.channels != 1 && config.channels != 2) {
    return Err{WavOutputError::UnsupportedChannels{config.channels}};
  }
  auto built = MasterFormatConverter::create(MASTER_FORMAT, converter_output(config));
  if (!built) return Err{WavOutputError::Converter{std::move(built).error()}};
  return Ok{};
}

Result<void, WavOutputError> write_output_samples(WavWriter& writer, std::span<const float> samples,
                                                  AudioFormat output_format, std::vector<std::int16_t>& pcm16,
                                                  WavSinkMetrics& metrics) {
  if (samples.empty()) return Ok{};
  const metrics::Instant start = metrics::Clock::now();
  Result<void, std::string> written = Ok{};
  if (output_format.sample_format == SampleFormat::I16) {
    to_pcm16(samples, pcm16);
    written = writer.write_i16(pcm16);
  } else {
    written = writer.write_f32(samples);
  }
  if (!written) return Err{WavOutputError::Writer{std::move(written).error()}};
  metrics.write_calls.fetch_add(1, std::memory_order_relaxed);
  metrics.samples_written.fetch_add(samples.size(), std::memory_order_relaxed);
  metrics.frames_written.fetch_add(samples.size() / output_format.channels, std::memory_order_relaxed);
  metrics.write.record(metrics::elapsed_us(start));
  return Ok{};
}

Result<WavFileOutput, WavFailure> WavFileOutput::try_spawn_file_mix_with_config(int fd,
                                                                              std::vector<RouteConsumer> consumers,
                                                                              const WavOutputConfig& config) {
  return try_spawn_mix_with_config(BufferedFile(fd), std::move(consumers), config);
}

Result<WavFileOutput, WavFailure> WavFileOutput::try_spawn_mix_with_config(BufferedFile file,
                                                                         std::vector<RouteConsumer> consumers,
                                                                         const WavOutputConfig& config) {
  // Every early return releases `file`, which closes the descriptor.
  if (consumers.empty()) {
    return Err{WavFailure{WavOutputError::Io{"wav sink requires at least one route consumer"}, std::move(consumers)}};
  }
  if (auto valid = validate_config(config); !valid) {
    return Err{WavFailure{std::move(valid).error(), std::move(consumers)}};
  }
  const bool is_float = config.sample_format == SampleFormat::F32;
  const WavFormat wav_format{config.channels, config.sample_rate, static_cast<std::uint16_t>(is_float ? 32 : 16),
                     is_float ? WavSampleKind::Float : WavSampleKind::Int};
  auto built = MasterFormatConverter::create(MASTER_FORMAT, converter_output(config));
  if (!built) {
    return Err{WavFailure{WavOutputError::Converter{std::move(built).error()}, std::move(consumers)}};
  }

  auto stop_flag = std::make_shared<std::atomic<bool>>(false);
  auto metrics = std::make_shared<WavSinkMetrics>();
  auto handle = std::make_unique<WriterThread>();
  handle->result = std::make_unique<std::optional<WavThreadResult>>();
  WriterJob job{std::move(consumers),
                std::move(file),
                std::move(built).value(),
                MASTER_FORMAT.channels,
                {config.sample_rate, config.channels, config.sample_format},
                wav_format,
                stop_flag,
                metrics,
                config.mix_gain};
  try {
    handle->thread = std::thread(&writer_thread, std::move(job), handle->result.get());
  } catch (const std::system_error& e) {
    throw std::system_error(e.code(), "failed to spawn thread");
  }
  return WavFileOutput(std::move(stop_flag), std::move(metrics), std::move(handle));
}

WavFileOutput::WavFileOutput(std::shared_ptr<std::atomic<bool>> stop_flag, std::shared_ptr<WavSinkMetrics> metrics,
                             std::unique_ptr<WriterThread> thread)
    : stop_flag_(std::move(stop_flag)), metrics_(std::move(metrics)), thread_(std::move(thread)) {}

WavFileOutput& WavFileOutput::operator=(WavFileOutput&& other) noexcept {
  if (this != &other) {
    if (thread_) (void)stop_with_consumers();
    stop_flag_ = std::move(other.stop_flag_);
    metrics_ = std::move(other.metrics_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

WavFileOutput::~WavFileOutput() {
  if (thread_) (void)stop_with_consumers();
}

Result<std::vector<RouteConsumer>, WavFailure> WavFileOutput::stop_with_consumers() {
  if (stop_flag_) stop_flag_->store(true, std::memory_order_release);
  if (!thread_) return Err{WavFailure{WavOutputError::AlreadyStopped{}, {}}};
  const std::unique_ptr<WriterThread> handle = std::move(thread_);
  handle->thread.join();
  if (!handle->result->has_value()) return Err{WavFailure{WavOutputError::ThreadFailed{}, {}}};
  WavThreadResult& result = **handle->result;
  if (result.outcome.ok()) return std::move(result.consumers);
  return Err{WavFailure{std::move(result.outcome).error(), std::move(result.consumers)}};
}

WavSinkMetricsSnapshot WavFileOutput::stats() const { return metrics_ ? snapshot(*metrics_) : WavSinkMetricsSnapshot{}; }

}  // namespace core_engine::outputs::wav_file
