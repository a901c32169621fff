#include "outputs/asr_sink.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "converter.hpp"
#include "engine/controller.hpp"
#include "engine/ring.hpp"
#include "format.hpp"
#include "outputs/pcm16.hpp"
#include "sources/synthetic.hpp"
#include "test_support.hpp"

namespace {

using core_engine::converter::InputConversionError;
using core_engine::converter::MasterFormatConverter;
using core_engine::engine::AudioEngineController;
using core_engine::engine::make_route_ring;
using core_engine::engine::RouteConsumer;
using core_engine::engine::RouteProducer;
using core_engine::format::AudioFormat;
using core_engine::format::MASTER_FORMAT;
using core_engine::format::SampleFormat;
using core_engine::outputs::to_pcm16;
using core_engine::sources::synthetic::SyntheticSource;
using core_engine::sources::synthetic::SyntheticSourceConfig;
using namespace core_engine::outputs::asr_sink;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t NO_HOLD = std::numeric_limits<std::size_t>::max();

// Generous: the suite also runs under ThreadSanitizer on loaded machines.
template <typename Pred>
bool wait_until(Pred done, std::chrono::milliseconds limit = 20s) {
  const auto deadline = SteadyClock::now() + limit;
  while (!done()) {
    if (SteadyClock::now() > deadline) return done();
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// ---------------------------------------------------------------------------
// A callback that keeps a copy of every chunk.

struct RecordedChunk {
  std::string id;
  std::uint64_t frames = 0;
  bool is_i16 = false;
  std::vector<float> f32;
  std::vector<std::int16_t> i16;
  std::uintptr_t address = 0;
  std::thread::id thread;
  SteadyClock::time_point started;
};

// Shared by a test and the Recorder its sink owns.
struct Recording {
  // Set before the sink starts.
  std::chrono::milliseconds delay{0};
  bool throw_on_chunk = false;

  std::mutex mutex;
  std::vector<RecordedChunk> chunks;
  std::atomic<std::size_t> count{0};
  std::thread::id released_on;  // published by `released`
  std::atomic<bool> released{false};

  std::vector<RecordedChunk> copy() {
    const std::lock_guard lock(mutex);
    return chunks;
  }
};

class Recorder final : public AsrSinkCallback {
 public:
  explicit Recorder(std::shared_ptr<Recording> recording) : recording_(std::move(recording)) {}
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder() override {
    recording_->released_on = std::this_thread::get_id();
    recording_->released.store(true);
  }

  void on_chunk(const AsrChunk& chunk) override {
    RecordedChunk copy;
    copy.started = SteadyClock::now();
    copy.id = std::string(chunk.input_id);
    copy.frames = chunk.frames;
    copy.thread = std::this_thread::get_id();
    if (const auto* f = std::get_if<std::span<const float>>(&chunk.samples)) {
      copy.f32.assign(f->begin(), f->end());
      copy.address = reinterpret_cast<std::uintptr_t>(f->data());
    } else {
      const auto& i = std::get<std::span<const std::int16_t>>(chunk.samples);
      copy.is_i16 = true;
      copy.i16.assign(i.begin(), i.end());
      copy.address = reinterpret_cast<std::uintptr_t>(i.data());
    }
    {
      const std::lock_guard lock(recording_->mutex);
      recording_->chunks.push_back(std::move(copy));
    }
    recording_->count.fetch_add(1);
    if (recording_->throw_on_chunk) throw std::runtime_error("callback failed");
    if (recording_->delay.count() != 0) std::this_thread::sleep_for(recording_->delay);
  }

 private:
  std::shared_ptr<Recording> recording_;
};

std::unique_ptr<AsrSinkCallback> recorder(const std::shared_ptr<Recording>& recording) {
  return std::make_unique<Recorder>(recording);
}

// ---------------------------------------------------------------------------
// A stream fed by a synthetic source on its own thread. Its only processor
// keeps a copy of what passes and can hold the source before a given buffer,
// so that a test knows exactly what has reached the ring.

struct Gate {
  std::atomic<std::size_t> allowed{NO_HOLD};  // buffers with a lower index pass
  std::atomic<std::size_t> waiting_at{NO_HOLD};
  std::atomic<std::size_t> passed{0};
  std::mutex mutex;
  std::vector<float> produced;
};

class Feed {
 public:
  Feed(AudioEngineController& controller, const std::string& stream, const std::string& route,
       SyntheticSourceConfig config, std::size_t hold_before = NO_HOLD)
      : gate_(std::make_shared<Gate>()), callbacks_(config.callback_count) {
    gate_->allowed.store(hold_before);
    auto pipeline = controller.create_stream(stream, 32, 16);
    EXPECT_TRUE(pipeline.ok());
    auto gate = std::make_unique<test_support::LambdaProcessor>(
        "gate", [g = gate_, index = std::size_t{0}](std::span<float> samples) mutable {
          const std::size_t mine = index++;
          // Bounded, so that a failed test cannot hang on it.
          const auto deadline = SteadyClock::now() + 30s;
          while (mine >= g->allowed.load() && SteadyClock::now() < deadline) {
            g->waiting_at.store(mine);
            std::this_thread::sleep_for(100us);
          }
          {
            const std::lock_guard lock(g->mutex);
            g->produced.insert(g->produced.end(), samples.begin(), samples.end());
          }
          g->passed.fetch_add(1);
        });
    EXPECT_TRUE(controller.add_processor(stream, std::move(gate)).ok());
    EXPECT_TRUE(controller.route(stream, route).ok());
    consumer_ = controller.take_output_consumer(route);
    EXPECT_TRUE(consumer_.has_value());
    auto source = SyntheticSource::create(std::move(pipeline).value(), config);
    EXPECT_TRUE(source.ok());
    source_.emplace(std::move(source).value());
    EXPECT_TRUE(source_->start().ok());
  }
  Feed(const Feed&) = delete;
  Feed& operator=(const Feed&) = delete;
  // Opens the gate before the source is joined.
  ~Feed() { gate_->allowed.store(NO_HOLD); }

  RouteConsumer take_consumer() { return std::move(consumer_).value(); }

  // True once the source waits before buffer `index`: all earlier buffers are
  // in the ring.
  bool held_before(std::size_t index) {
    return wait_until([&] { return gate_->waiting_at.load() == index; });
  }
  void hold_before(std::size_t index) { gate_->allowed.store(index); }

  // Lets the source deliver everything and joins it.
  bool finish() {
    gate_->allowed.store(NO_HOLD);
    const bool done = wait_until([&] { return gate_->passed.load() == callbacks_; });
    EXPECT_TRUE(source_->stop().ok());
    return done;
  }

  std::vector<float> produced() {
    const std::lock_guard lock(gate_->mutex);
    return gate_->produced;
  }

 private:
  std::shared_ptr<Gate> gate_;
  std::size_t callbacks_;
  std::optional<RouteConsumer> consumer_;
  std::optional<SyntheticSource> source_;
};

// Big enough rings that no test loses a sample to a full ring.
AudioEngineController make_controller() { return AudioEngineController(32, std::size_t{1} << 20); }

std::vector<float> convert_all(std::span<const float> master, const AsrSinkConfig& config) {
  auto converter =
      MasterFormatConverter::create(MASTER_FORMAT, AudioFormat{config.sample_rate, config.channels, SampleFormat::F32});
  EXPECT_TRUE(converter.ok());
  std::vector<float> out;
  EXPECT_TRUE(converter.value().convert(master, out).ok());
  return out;
}

std::vector<float> slice(const std::vector<float>& values, std::size_t start, std::size_t count) {
  EXPECT_LE(start + count, values.size());
  return {values.begin() + static_cast<std::ptrdiff_t>(start),
          values.begin() + static_cast<std::ptrdiff_t>(std::min(start + count, values.size()))};
}

AsrSink spawn(std::vector<AsrSinkInput> inputs, const AsrSinkConfig& config,
              const std::shared_ptr<Recording>& recording) {
  auto spawned = AsrSink::try_spawn(std::move(inputs), config, recorder(recording));
  if (!spawned.ok()) ADD_FAILURE() << spawned.error().error.message();
  return std::move(spawned).value();
}

AsrInputMetricsSnapshot stats_of(const AsrSink& sink, const std::string& id) {
  const auto stats = sink.stats();
  const auto found = stats.find(id);
  if (found == stats.end()) {
    ADD_FAILURE() << "no stats for " << id;
    return {};
  }
  return found->second;
}

std::vector<AsrSinkInput> stop_ok(AsrSink& sink) {
  auto stopped = sink.stop();
  if (!stopped.ok()) {
    ADD_FAILURE() << stopped.error().message();
    return {};
  }
  return std::move(stopped).value();
}

const AsrSinkConfig MONO_16K_I16{.chunk_frames = 320, .sample_rate = 16000, .channels = 1,
                                 .sample_format = SampleFormat::I16};

AsrSinkConfig stereo_48k_f32(std::uint64_t chunk_frames) {
  return {.chunk_frames = chunk_frames, .sample_rate = 48000, .channels = 2, .sample_format = SampleFormat::F32};
}

// ---------------------------------------------------------------------------
// Errors and validation.

TEST(AsrSinkError, EveryKindHasItsText) {
  const InputConversionError conversion = InputConversionError::UnsupportedChannelConversion{2, 3};
  const std::vector<std::pair<AsrSinkError, std::string>> cases = {
      {AsrSinkError::NoInputs{}, "asr sink requires at least one input"},
      {AsrSinkError::ZeroChunkFrames{}, "chunk_frames must be greater than zero"},
      {AsrSinkError::UnsupportedChannels{3}, "unsupported output channels for asr sink: 3"},
      {AsrSinkError::UnsupportedChannels{65535}, "unsupported output channels for asr sink: 65535"},
      {AsrSinkError::Converter{conversion}, "converter error: " + conversion.message()},
      {AsrSinkError::ThreadFailed{}, "asr sink thread panicked"},
      {AsrSinkError::AlreadyStopped{}, "asr sink already stopped"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
  EXPECT_EQ(AsrSinkError(AsrSinkError::Converter{conversion}).message(),
            "converter error: unsupported channel conversion: 2 -> 3");
}

InputConversionError converter_refusal(std::uint32_t rate, std::uint16_t channels) {
  auto built = MasterFormatConverter::create(MASTER_FORMAT, AudioFormat{rate, channels, SampleFormat::F32});
  EXPECT_FALSE(built.ok());
  return std::move(built).error();
}

struct RefusedCase {
  std::string name;
  AsrSinkConfig config;
  AsrSinkError error;
  std::string text;
};

std::vector<RefusedCase> refused_cases() {
  const InputConversionError zero_rate = converter_refusal(0, 1);
  return {
      {"zero chunk frames", {.chunk_frames = 0}, AsrSinkError::ZeroChunkFrames{},
       "chunk_frames must be greater than zero"},
      {"no channels", {.channels = 0}, AsrSinkError::UnsupportedChannels{0},
       "unsupported output channels for asr sink: 0"},
      {"three channels", {.channels = 3}, AsrSinkError::UnsupportedChannels{3},
       "unsupported output channels for asr sink: 3"},
      {"zero rate", {.sample_rate = 0}, AsrSinkError::Converter{zero_rate}, "converter error: " + zero_rate.message()},
      {"zero chunk frames before channels", {.chunk_frames = 0, .sample_rate = 0, .channels = 3},
       AsrSinkError::ZeroChunkFrames{}, "chunk_frames must be greater than zero"},
      {"channels before the converter", {.sample_rate = 0, .channels = 3}, AsrSinkError::UnsupportedChannels{3},
       "unsupported output channels for asr sink: 3"},
  };
}

TEST(AsrSinkValidation, RefusesBadConfigurationsInOrder) {
  for (const auto& c : refused_cases()) {
    SCOPED_TRACE(c.name);
    const auto checked = AsrSink::validate_config(c.config);
    ASSERT_FALSE(checked.ok());
    EXPECT_EQ(checked.error(), c.error);
    EXPECT_EQ(checked.error().message(), c.text);
  }
  // The rate-0 text is the converter's own, wrapped.
  EXPECT_EQ(AsrSink::validate_config({.sample_rate = 0}).error().kind(), AsrSinkErrorKind::Converter);
  EXPECT_NE(converter_refusal(0, 1).message(), "");
}

TEST(AsrSinkValidation, AcceptsSupportedConfigurations) {
  const std::vector<AsrSinkConfig> cases = {
      MONO_16K_I16,
      stereo_48k_f32(1),
      {.chunk_frames = 441, .sample_rate = 44100, .channels = 2, .sample_format = SampleFormat::I16},
      {.chunk_frames = 160, .sample_rate = 8000, .channels = 1, .sample_format = SampleFormat::F32},
      {.chunk_frames = std::numeric_limits<std::uint64_t>::max(), .sample_rate = 48000, .channels = 1},
  };
  for (const auto& config : cases) {
    const auto checked = AsrSink::validate_config(config);
    EXPECT_TRUE(checked.ok()) << config.sample_rate << "/" << config.channels << ": "
                              << (checked.ok() ? "" : checked.error().message());
  }
}

TEST(AsrSinkSpawn, RefusedConfigurationReturnsTheInputsAndReleasesTheCallback) {
  for (const auto& c : refused_cases()) {
    SCOPED_TRACE(c.name);
    auto [producer_b, consumer_b] = make_route_ring(64);
    auto [producer_a, consumer_a] = make_route_ring(64);
    std::vector<AsrSinkInput> inputs;
    inputs.push_back({"b", std::move(consumer_b)});
    inputs.push_back({"a", std::move(consumer_a)});
    auto recording = std::make_shared<Recording>();

    auto spawned = AsrSink::try_spawn(std::move(inputs), c.config, recorder(recording));

    ASSERT_FALSE(spawned.ok());
    EXPECT_EQ(spawned.error().error, c.error);
    EXPECT_EQ(spawned.error().error.message(), c.text);
    EXPECT_TRUE(recording->released.load());
    EXPECT_EQ(recording->released_on, std::this_thread::get_id());
    auto returned = std::move(spawned).error().inputs;
    ASSERT_EQ(returned.size(), 2U);
    EXPECT_EQ(returned[0].id, "b");
    EXPECT_EQ(returned[1].id, "a");
    // Still the reading ends of the same rings.
    const std::vector<float> to_b{1.0F, 2.0F};
    const std::vector<float> to_a{3.0F, 4.0F, 5.0F};
    producer_b.write(to_b);
    producer_a.write(to_a);
    EXPECT_EQ(test_support::drain(returned[0].consumer), to_b);
    EXPECT_EQ(test_support::drain(returned[1].consumer), to_a);
  }
}

TEST(AsrSinkSpawn, NoInputsIsRefusedBeforeTheConfiguration) {
  for (const AsrSinkConfig& config : {MONO_16K_I16, AsrSinkConfig{.chunk_frames = 0, .channels = 3}}) {
    auto recording = std::make_shared<Recording>();
    auto spawned = AsrSink::try_spawn({}, config, recorder(recording));
    ASSERT_FALSE(spawned.ok());
    EXPECT_EQ(spawned.error().error, AsrSinkError(AsrSinkError::NoInputs{}));
    EXPECT_EQ(spawned.error().error.message(), "asr sink requires at least one input");
    EXPECT_TRUE(spawned.error().inputs.empty());
    EXPECT_TRUE(recording->released.load());
  }
}

// ---------------------------------------------------------------------------
// One input's pass, driven directly over a ring.

struct DirectInput {
  explicit DirectInput(const AsrSinkConfig& config, std::size_t ring_capacity = 1 << 16)
      : metrics(std::make_shared<AsrInputMetrics>()) {
    auto [p, c] = make_route_ring(ring_capacity);
    producer = std::move(p);
    state.emplace(AsrSinkInput{"in", std::move(c)}, config, metrics);
  }

  bool poll() {
    auto polled = state->poll(callback);
    EXPECT_TRUE(polled.ok());
    return polled.ok() && polled.value();
  }

  std::shared_ptr<Recording> recording = std::make_shared<Recording>();
  Recorder callback{recording};
  std::shared_ptr<AsrInputMetrics> metrics;
  RouteProducer producer;
  std::optional<InputState> state;
};

TEST(AsrInputState, AnEmptyRingMakesAnIdlePass) {
  DirectInput input(MONO_16K_I16);
  EXPECT_FALSE(input.poll());
  EXPECT_FALSE(input.poll());
  const auto figures = snapshot(*input.metrics);
  EXPECT_EQ(figures.poll.count, 0U);
  EXPECT_EQ(figures.callback.count, 0U);
  EXPECT_EQ(figures.chunks_emitted, 0U);
  EXPECT_EQ(figures.pending_frames, 0U);
}

TEST(AsrInputState, TakesOnlyWholeMasterFrames) {
  DirectInput input(stereo_48k_f32(1));
  const std::vector<float> three{0.1F, 0.2F, 0.3F};
  input.producer.write(three);
  EXPECT_TRUE(input.poll());
  // The odd sample waits in the ring for its pair.
  EXPECT_FALSE(input.poll());
  const std::vector<float> fourth{0.4F};
  input.producer.write(fourth);
  EXPECT_TRUE(input.poll());

  const auto chunks = input.recording->copy();
  ASSERT_EQ(chunks.size(), 2U);
  EXPECT_EQ(chunks[0].f32, (std::vector<float>{0.1F, 0.2F}));
  EXPECT_EQ(chunks[1].f32, (std::vector<float>{0.3F, 0.4F}));
  for (const auto& chunk : chunks) {
    EXPECT_EQ(chunk.id, "in");
    EXPECT_EQ(chunk.frames, 1U);
    EXPECT_FALSE(chunk.is_i16);
  }
  const auto figures = snapshot(*input.metrics);
  EXPECT_EQ(figures.poll.count, 2U);  // active passes only
  EXPECT_EQ(figures.callback.count, 2U);
  EXPECT_EQ(figures.chunks_emitted, 2U);
  EXPECT_EQ(figures.frames_emitted, 2U);
}

struct WriteCase {
  std::string name;
  AsrSinkConfig config;
  std::vector<std::size_t> writes;  // master frames per write, one poll after each
};

TEST(AsrInputState, ChunksAreExactWhateverTheWriteSizes) {
  const std::vector<WriteCase> cases = {
      {"one chunk per write", stereo_48k_f32(7), {7, 7, 7}},
      {"many chunks in one write", stereo_48k_f32(7), {70, 1, 6}},
      {"chunks straddling writes", stereo_48k_f32(7), {3, 5, 2, 11, 1, 1, 1, 1, 9, 20}},
      {"less than a chunk", stereo_48k_f32(64), {10, 20, 30}},
      {"mono averages the channels", {.chunk_frames = 5, .sample_rate = 48000, .channels = 1,
                                      .sample_format = SampleFormat::F32}, {4, 4, 9, 1, 30}},
      {"mono i16", {.chunk_frames = 5, .sample_rate = 48000, .channels = 1, .sample_format = SampleFormat::I16},
       {4, 4, 9, 1, 30}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DirectInput input(c.config);
    std::vector<float> written;
    float value = 0.0F;
    const std::size_t chunk_samples = c.config.chunk_frames * c.config.channels;
    for (const std::size_t frames : c.writes) {
      std::vector<float> block;
      for (std::size_t f = 0; f < frames; ++f) {
        // Distinct channels so that a swap or a mix-up shows.
        block.push_back(value);
        block.push_back(-value * 0.5F);
        value += 1.0F / 256.0F;
      }
      ASSERT_EQ(input.producer.write(block), block.size());
      written.insert(written.end(), block.begin(), block.end());
      EXPECT_TRUE(input.poll());

      const std::vector<float> expected = convert_all(written, c.config);
      const std::size_t full = expected.size() / chunk_samples;
      const auto figures = snapshot(*input.metrics);
      EXPECT_EQ(figures.chunks_emitted, full);
      EXPECT_EQ(figures.frames_emitted, full * c.config.chunk_frames);
      EXPECT_EQ(figures.pending_frames, (expected.size() - full * chunk_samples) / c.config.channels);
    }
    const std::vector<float> expected = convert_all(written, c.config);
    const auto chunks = input.recording->copy();
    ASSERT_EQ(chunks.size(), expected.size() / chunk_samples);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      const std::vector<float> want = slice(expected, i * chunk_samples, chunk_samples);
      EXPECT_EQ(chunks[i].frames, c.config.chunk_frames);
      if (c.config.sample_format == SampleFormat::I16) {
        std::vector<std::int16_t> want16;
        to_pcm16(want, want16);
        ASSERT_TRUE(chunks[i].is_i16);
        EXPECT_EQ(chunks[i].i16, want16) << "chunk " << i;
      } else {
        ASSERT_FALSE(chunks[i].is_i16);
        EXPECT_EQ(chunks[i].f32, want) << "chunk " << i;
      }
    }
  }
}

TEST(AsrInputState, I16ClampsScalesAndRoundsHalfAwayFromZero) {
  const std::vector<std::pair<float, std::int16_t>> cases = {
      {0.0F, 0},      {1.0F, 32767},       {-1.0F, -32767},     {3.0F, 32767},  {-3.0F, -32767},
      {0.5F, 16384},  {-0.5F, -16384},     {0.25F, 8192},       {1e-6F, 0},     {-1e-6F, 0},
  };
  AsrSinkConfig config{.chunk_frames = cases.size(), .sample_rate = 48000, .channels = 2,
                       .sample_format = SampleFormat::I16};
  DirectInput input(config);
  std::vector<float> block;
  std::vector<std::int16_t> want;
  for (const auto& [value, pcm] : cases) {
    block.insert(block.end(), {value, value});
    want.insert(want.end(), {pcm, pcm});
  }
  input.producer.write(block);
  EXPECT_TRUE(input.poll());
  const auto chunks = input.recording->copy();
  ASSERT_EQ(chunks.size(), 1U);
  ASSERT_TRUE(chunks[0].is_i16);
  EXPECT_EQ(chunks[0].i16, want);
}

TEST(AsrInputState, ResetDiscardsTheIncompleteChunkAndLeavesTheRing) {
  DirectInput input(stereo_48k_f32(320));
  const std::vector<float> first = test_support::ramp(420 * 2);
  input.producer.write(first);
  EXPECT_TRUE(input.poll());
  EXPECT_EQ(snapshot(*input.metrics).pending_frames, 100U);

  const std::vector<float> waiting = test_support::ramp(6, 5000.0F);
  input.producer.write(waiting);
  input.state->reset();
  EXPECT_EQ(snapshot(*input.metrics).pending_frames, 0U);

  // The 100 discarded frames do not come back: the 220 that follow make no
  // chunk.
  const std::vector<float> second = test_support::ramp(217 * 2, 10000.0F);
  input.producer.write(second);
  EXPECT_TRUE(input.poll());
  EXPECT_EQ(input.recording->count.load(), 1U);
  EXPECT_EQ(snapshot(*input.metrics).pending_frames, 220U);

  // The samples that were in the ring at the reset were kept.
  const std::vector<float> third = test_support::ramp(100 * 2, 20000.0F);
  input.producer.write(third);
  EXPECT_TRUE(input.poll());
  const auto chunks = input.recording->copy();
  ASSERT_EQ(chunks.size(), 2U);
  std::vector<float> want = waiting;
  want.insert(want.end(), second.begin(), second.end());
  want.insert(want.end(), third.begin(), third.begin() + (640 - static_cast<std::ptrdiff_t>(want.size())));
  EXPECT_EQ(chunks[1].f32, want);

  auto handed_back = std::move(*input.state).into_input();
  EXPECT_EQ(handed_back.id, "in");
  const std::vector<float> after{7.0F, 8.0F};
  input.producer.write(after);
  EXPECT_EQ(test_support::drain(handed_back.consumer), after);
}

// ---------------------------------------------------------------------------
// The sink with its worker thread, fed by real sources.

TEST(AsrSink, Mono16kI16ChunksMatchAnIndependentConversion) {
  auto controller = make_controller();
  // A ramp from -1.25 to 1.25, so that clamping is exercised as well.
  Feed feed(controller, "s1", "r1",
            {.frames_per_callback = 480, .callback_count = 100, .start_value = -1.25F, .step_value = 2.5F / 48000.0F});
  std::vector<AsrSinkInput> inputs;
  inputs.push_back({"r1", feed.take_consumer()});
  auto recording = std::make_shared<Recording>();
  auto sink = spawn(std::move(inputs), MONO_16K_I16, recording);
  ASSERT_TRUE(feed.finish());

  const std::vector<float> expected = convert_all(feed.produced(), MONO_16K_I16);
  const std::size_t full = expected.size() / 320;
  ASSERT_GT(full, 40U);
  const std::uint32_t rest = static_cast<std::uint32_t>(expected.size() - full * 320);
  ASSERT_TRUE(wait_until([&] {
    const auto s = stats_of(sink, "r1");
    return s.chunks_emitted == full && s.pending_frames == rest;
  }));
  const auto running = stats_of(sink, "r1");
  EXPECT_EQ(running.frames_emitted, full * 320);
  EXPECT_EQ(running.callback.count, full);
  EXPECT_GE(running.poll.count, 1U);

  auto returned = stop_ok(sink);
  ASSERT_EQ(returned.size(), 1U);
  const auto chunks = recording->copy();
  ASSERT_EQ(chunks.size(), full);
  std::vector<std::int16_t> want;
  for (std::size_t i = 0; i < full; ++i) {
    SCOPED_TRACE(i);
    to_pcm16(slice(expected, i * 320, 320), want);
    EXPECT_EQ(chunks[i].id, "r1");
    EXPECT_EQ(chunks[i].frames, 320U);
    ASSERT_TRUE(chunks[i].is_i16);
    EXPECT_EQ(chunks[i].i16, want);
    // One 16-bit buffer, reused for every chunk.
    EXPECT_EQ(chunks[i].address, chunks[0].address);
    EXPECT_EQ(chunks[i].thread, chunks[0].thread);
  }
  EXPECT_NE(chunks[0].thread, std::this_thread::get_id());
  const auto clamped = std::count(want.begin(), want.end(), std::int16_t{32767});
  EXPECT_GT(clamped, 0);  // the last chunks hold the clamped end of the ramp

  const auto stopped = stats_of(sink, "r1");
  EXPECT_EQ(stopped.pending_frames, 0U);
  EXPECT_EQ(stopped.chunks_emitted, full);
  EXPECT_EQ(stopped.frames_emitted, full * 320);
  EXPECT_TRUE(recording->released.load());
  EXPECT_EQ(recording->released_on, chunks[0].thread);
}

TEST(AsrSink, FirstMono16kChunkWaitsForTheConvertersFirst1024Frames) {
  auto controller = make_controller();
  Feed feed(controller, "s1", "r1",
            {.frames_per_callback = 1, .callback_count = 1100, .start_value = -0.5F, .step_value = 1.0F / 1024.0F},
            1023);
  std::vector<AsrSinkInput> inputs;
  inputs.push_back({"r1", feed.take_consumer()});
  auto recording = std::make_shared<Recording>();
  auto sink = spawn(std::move(inputs), MONO_16K_I16, recording);

  ASSERT_TRUE(feed.held_before(1023));
  ASSERT_TRUE(wait_until([&] { return stats_of(sink, "r1").poll.count >= 1; }));
  std::this_thread::sleep_for(100ms);  // let the sink take everything there is
  EXPECT_TRUE(convert_all(feed.produced(), MONO_16K_I16).empty());
  EXPECT_EQ(recording->count.load(), 0U);
  EXPECT_EQ(stats_of(sink, "r1").pending_frames, 0U);

  feed.hold_before(1024);
  ASSERT_TRUE(feed.held_before(1024));
  const std::vector<float> expected = convert_all(feed.produced(), MONO_16K_I16);
  ASSERT_GE(expected.size(), 320U);
  ASSERT_LT(expected.size(), 640U);
  const auto rest = static_cast<std::uint32_t>(expected.size() - 320);
  ASSERT_TRUE(wait_until([&] {
    const auto s = stats_of(sink, "r1");
    return s.chunks_emitted == 1 && s.pending_frames == rest;
  }));
  const auto chunks = recording->copy();
  ASSERT_EQ(chunks.size(), 1U);
  std::vector<std::int16_t> want;
  to_pcm16(slice(expected, 0, 320), want);
  EXPECT_EQ(chunks[0].i16, want);
  EXPECT_EQ(chunks[0].i16.size(), 320U);

  ASSERT_TRUE(feed.finish());
  EXPECT_EQ(stop_ok(sink).size(), 1U);
}

TEST(AsrSink, Stereo48kF32ChunksAreTheRouteSamplesHandedOverInPlace) {
  auto controller = make_controller();
  // Each source buffer holds eight chunks and reaches the ring in one write,
  // so one pass delivers all eight.
  Feed feed(controller, "s1", "r1",
            {.frames_per_callback = 2048, .callback_count = 4, .start_value = 0.0F, .step_value = 1.0F / 8192.0F,
             .interval = 2ms});
  std::vector<AsrSinkInput> inputs;
  inputs.push_back({"r1", feed.take_consumer()});
  auto recording = std::make_shared<Recording>();
  auto sink = spawn(std::move(inputs), stereo_48k_f32(256), recording);
  ASSERT_TRUE(feed.finish());
  ASSERT_TRUE(wait_until([&] {
    const auto s = stats_of(sink, "r1");
    return s.chunks_emitted == 32 && s.pending_frames == 0;
  }));
  EXPECT_EQ(stop_ok(sink).size(), 1U);

  const std::vector<float> produced = feed.produced();
  ASSERT_EQ(produced.size(), 4U * 2048 * 2);
  const auto chunks = recording->copy();
  ASSERT_EQ(chunks.size(), 32U);
  constexpr std::size_t chunk_samples = 512;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_FALSE(chunks[i].is_i16);
    EXPECT_EQ(chunks[i].frames, 256U);
    EXPECT_EQ(chunks[i].f32, slice(produced, i * chunk_samples, chunk_samples));
    // Consecutive chunks of one pass are consecutive runs of one buffer: no
    // chunk was copied out on its own.
    const std::size_t first_of_pass = i / 8 * 8;
    EXPECT_EQ(chunks[i].address - chunks[first_of_pass].address, (i - first_of_pass) * chunk_samples * sizeof(float));
  }
  EXPECT_EQ(stats_of(sink, "r1").frames_emitted, 32U * 256);
}

TEST(AsrSink, InputsSharingAnIdBothDeliverAndStatsKeepTheLaterOne) {
  auto controller = make_controller();
  Feed earlier(controller, "s1", "r1",
               {.frames_per_callback = 256, .callback_count = 3, .start_value = 1000.0F, .step_value = 1.0F});
  Feed later(controller, "s2", "r2",
             {.frames_per_callback = 256, .callback_count = 5, .start_value = -1000.0F, .step_value = -1.0F});
  std::vector<AsrSinkInput> inputs;
  inputs.push_back({"dup", earlier.take_consumer()});
  inputs.push_back({"dup", later.take_consumer()});
  auto recording = std::make_shared<Recording>();
  auto sink = spawn(std::move(inputs), stereo_48k_f32(128), recording);
  ASSERT_TRUE(earlier.finish());
  ASSERT_TRUE(later.finish());
  ASSERT_TRUE(wait_until([&] { return recording->count.load() == 16; }));
  // Every chunk has been handed over, so the stop loses none of them.
  auto returned = stop_ok(sink);
  ASSERT_EQ(returned.size(), 2U);
  EXPECT_EQ(returned[0].id, "dup");
  EXPECT_EQ(returned[1].id, "dup");

  const auto stats = sink.stats();
  ASSERT_EQ(stats.size(), 1U);
  EXPECT_EQ(stats.begin()->first, "dup");
  EXPECT_EQ(stats.begin()->second.chunks_emitted, 10U);
  EXPECT_EQ(stats.begin()->second.frames_emitted, 10U * 128);
  EXPECT_EQ(stats.begin()->second.callback.count, 10U);

  std::vector<float> from_earlier;
  std::vector<float> from_later;
  for (const auto& chunk : recording->copy()) {
    EXPECT_EQ(chunk.id, "dup");
    auto& into = chunk.f32.front() > 0.0F ? from_earlier : from_later;
    into.insert(into.end(), chunk.f32.begin(), chunk.f32.end());
  }
  EXPECT_EQ(from_earlier, earlier.produced());
  EXPECT_EQ(from_later, later.produced());
}

TEST(AsrSink, SlowCallbackHoldsBackEveryInputButNotThePollFigures) {
  auto controller = make_controller();
  // All data is in both rings before the sink starts.
  Feed first(controller, "s1", "r1", {.frames_per_callback = 3 * 480, .callback_count = 1, .start_value = 1.0F});
  Feed second(controller, "s2", "r2", {.frames_per_callback = 3 * 480, .callback_count = 1, .start_value = -1.0F});
  ASSERT_TRUE(first.finish());
  ASSERT_TRUE(second.finish());
  std::vector<AsrSinkInput> inputs;
  inputs.push_back({"r1", first.take_consumer()});
  inputs.push_back({"r2", second.take_consumer()});
  auto recording = std::make_shared<Recording>();
  recording->delay = 20ms;
  auto sink = spawn(std::move(inputs), stereo_48k_f32(480), recording);
  ASSERT_TRUE(wait_until([&] { return recording->count.load() == 6; }));
  ASSERT_TRUE(wait_until([&] { return stats_of(sink, "r2").callback.count == 3; }));
  EXPECT_EQ(stop_ok(sink).size(), 2U);

  const auto chunks = recording->copy();
  ASSERT_EQ(chunks.size(), 6U);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(chunks[i].id, "r1");
  for (std::size_t i = 3; i < 6; ++i) EXPECT_EQ(chunks[i].id, "r2");
  // One call at a time: each starts only after the previous one slept.
  for (std::size_t i = 1; i < chunks.size(); ++i) {
    EXPECT_GE(chunks[i].started - chunks[i - 1].started, 20ms) << i;
    EXPECT_EQ(chunks[i].thread, chunks[0].thread);
  }
  // r2's samples waited in its ring while r1's three chunks were handled.
  EXPECT_GE(chunks[3].started - chunks[0].started, 60ms);

  for (const std::string id : {"r1", "r2"}) {
    SCOPED_TRACE(id);
    const auto s = stats_of(sink, id);
    EXPECT_EQ(s.callback.count, 3U);
    EXPECT_GE(s.callback.max_us, 20'000U);
    ASSERT_GE(s.poll.count, 1U);
    // The pass that delivered three chunks spent 60 ms in them.
    EXPECT_LT(s.poll.max_us, 20'000U);
    EXPECT_LT(s.poll.p99_us, 20'000U);
  }
}

TEST(AsrSink, StopDiscardsAnIncompleteChunkAndHandsBackAWorkingConsumer) {
  auto controller = make_controller();
  Feed feed(controller, "s1", "r1", {.frames_per_callback = 420, .callback_count = 2, .start_value = 0.0F}, 1);
  std::vector<AsrSinkInput> inputs;
  inputs.push_back({"r1", feed.take_consumer()});
  auto recording = std::make_shared<Recording>();
  auto sink = spawn(std::move(inputs), stereo_48k_f32(320), recording);
  ASSERT_TRUE(feed.held_before(1));
  ASSERT_TRUE(wait_until([&] {
    const auto s = stats_of(sink, "r1");
    return s.chunks_emitted == 1 && s.pending_frames == 100;
  }));

  auto returned = stop_ok(sink);
  const auto after = stats_of(sink, "r1");
  EXPECT_EQ(after.pending_frames, 0U);
  EXPECT_EQ(after.chunks_emitted, 1U);
  EXPECT_EQ(after.frames_emitted, 320U);
  EXPECT_EQ(recording->count.load(), 1U);
  EXPECT_TRUE(recording->released.load());

  // The second buffer reaches the ring after the stop and is read through the
  // consumer the sink gave back.
  ASSERT_TRUE(feed.finish());
  ASSERT_EQ(returned.size(), 1U);
  EXPECT_EQ(returned[0].id, "r1");
  const std::vector<float> produced = feed.produced();
  EXPECT_EQ(test_support::drain(returned[0].consumer), slice(produced, 840, 840));
  EXPECT_EQ(recording->copy().at(0).f32, slice(produced, 0, 640));
}

TEST(AsrSink, SecondStopReportsAlreadyStopped) {
  auto controller = make_controller();
  Feed feed(controller, "s1", "r1", {.frames_per_callback = 480, .callback_count = 2});
  std::vector<AsrSinkInput> inputs;
  inputs.push_back({"r1", feed.take_consumer()});
  auto recording = std::make_shared<Recording>();
  auto sink = spawn(std::move(inputs), stereo_48k_f32(480), recording);
  ASSERT_TRUE(feed.finish());
  ASSERT_TRUE(wait_until([&] { return recording->count.load() == 2; }));
  EXPECT_EQ(stop_ok(sink).size(), 1U);

  const auto again = sink.stop();
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().kind(), AsrSinkErrorKind::AlreadyStopped);
  EXPECT_EQ(again.error().message(), "asr sink already stopped");
  // The figures outlive the thread.
  EXPECT_EQ(stats_of(sink, "r1").chunks_emitted, 2U);
}

TEST(AsrSink, StopHandsTheInputsBackInTheirOrder) {
  auto controller = make_controller();
  const std::vector<std::string> ids = {"c", "a", "b"};
  std::vector<std::unique_ptr<Feed>> feeds;
  std::vector<AsrSinkInput> inputs;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    feeds.push_back(std::make_unique<Feed>(
        controller, "s-" + ids[i], "r-" + ids[i],
        SyntheticSourceConfig{.frames_per_callback = 128, .callback_count = 2,
                              .start_value = 100.0F * static_cast<float>(i + 1)},
        1));
    inputs.push_back({ids[i], feeds.back()->take_consumer()});
  }
  auto recording = std::make_shared<Recording>();
  auto sink = spawn(std::move(inputs), stereo_48k_f32(128), recording);
  for (auto& feed : feeds) ASSERT_TRUE(feed->held_before(1));
  ASSERT_TRUE(wait_until([&] { return recording->count.load() == 3; }));

  auto returned = stop_ok(sink);
  ASSERT_EQ(returned.size(), 3U);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(ids[i]);
    EXPECT_EQ(returned[i].id, ids[i]);
    ASSERT_TRUE(feeds[i]->finish());
    // Each consumer still reads its own route.
    EXPECT_EQ(test_support::drain(returned[i].consumer), slice(feeds[i]->produced(), 256, 256));
  }
  EXPECT_EQ(sink.stats().size(), 3U);
}

TEST(AsrSink, ReleasingARunningSinkStopsItAndReleasesTheCallbackOnItsThread) {
  auto controller = make_controller();
  Feed feed(controller, "s1", "r1", {.frames_per_callback = 480, .callback_count = 1});
  auto recording = std::make_shared<Recording>();
  {
    std::vector<AsrSinkInput> inputs;
    inputs.push_back({"r1", feed.take_consumer()});
    auto sink = spawn(std::move(inputs), stereo_48k_f32(480), recording);
    ASSERT_TRUE(wait_until([&] { return recording->count.load() == 1; }));
    EXPECT_FALSE(recording->released.load());
  }
  EXPECT_TRUE(recording->released.load());
  EXPECT_EQ(recording->released_on, recording->copy().at(0).thread);
  EXPECT_NE(recording->released_on, std::this_thread::get_id());
}

TEST(AsrSink, MovesKeepOneRunningSink) {
  auto controller = make_controller();
  Feed feed1(controller, "s1", "r1", {.frames_per_callback = 480, .callback_count = 1});
  Feed feed2(controller, "s2", "r2", {.frames_per_callback = 480, .callback_count = 1});
  auto recording1 = std::make_shared<Recording>();
  auto recording2 = std::make_shared<Recording>();
  std::vector<AsrSinkInput> inputs1;
  inputs1.push_back({"r1", feed1.take_consumer()});
  std::vector<AsrSinkInput> inputs2;
  inputs2.push_back({"r2", feed2.take_consumer()});

  auto original = spawn(std::move(inputs1), stereo_48k_f32(480), recording1);
  AsrSink moved(std::move(original));
  auto replacement = spawn(std::move(inputs2), stereo_48k_f32(480), recording2);
  ASSERT_TRUE(wait_until([&] { return recording1->count.load() == 1 && recording2->count.load() == 1; }));

  // Assigning over a running sink stops it first.
  moved = std::move(replacement);
  EXPECT_TRUE(recording1->released.load());
  EXPECT_FALSE(recording2->released.load());
  ASSERT_EQ(moved.stats().count("r2"), 1U);

  const auto spent = original.stop();
  ASSERT_FALSE(spent.ok());
  EXPECT_EQ(spent.error().kind(), AsrSinkErrorKind::AlreadyStopped);
  EXPECT_TRUE(original.stats().empty());
  auto returned = stop_ok(moved);
  ASSERT_EQ(returned.size(), 1U);
  EXPECT_EQ(returned[0].id, "r2");
}

TEST(AsrSink, ThrowingCallbackEndsTheWorkerAndStopReportsThreadFailed) {
  auto controller = make_controller();
  Feed feed(controller, "s1", "r1", {.frames_per_callback = 480, .callback_count = 4});
  std::vector<AsrSinkInput> inputs;
  inputs.push_back({"r1", feed.take_consumer()});
  auto recording = std::make_shared<Recording>();
  recording->throw_on_chunk = true;
  auto sink = spawn(std::move(inputs), stereo_48k_f32(480), recording);
  ASSERT_TRUE(feed.finish());
  // The worker ends at the first chunk, releasing the callback on its way out.
  ASSERT_TRUE(wait_until([&] { return recording->released.load(); }));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(recording->count.load(), 1U);
  EXPECT_EQ(recording->released_on, recording->copy().at(0).thread);

  const auto stopped = sink.stop();
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error().kind(), AsrSinkErrorKind::ThreadFailed);
  EXPECT_EQ(stopped.error().message(), "asr sink thread panicked");
  EXPECT_EQ(sink.stop().error().kind(), AsrSinkErrorKind::AlreadyStopped);
}

}  // namespace
