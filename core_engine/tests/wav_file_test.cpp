// WavFileOutput end to end: real pipelines fed by synthetic sources on their
// own threads, a writer thread, and every file read back with libsndfile and
// sox (helpers in wav_writer_test.cpp).
#include "outputs/wav_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "converter.hpp"
#include "engine/controller.hpp"
#include "engine/ring.hpp"
#include "format.hpp"
#include "sources/synthetic.hpp"
#include "test_support.hpp"

#include "wav_check.hpp"

namespace {

using core_engine::converter::MasterFormatConverter;
using core_engine::engine::AudioEngineController;
using core_engine::engine::make_route_ring;
using core_engine::engine::RouteConsumer;
using core_engine::engine::RouteProducer;
using core_engine::format::AudioFormat;
using core_engine::format::MASTER_FORMAT;
using core_engine::format::SampleFormat;
using core_engine::outputs::wav_file::validate_config;
using core_engine::outputs::wav_file::WavFileOutput;
using core_engine::outputs::wav_file::WavOutputConfig;
using core_engine::outputs::wav_file::WavOutputErrorKind;
using core_engine::sources::synthetic::SyntheticSource;
using core_engine::sources::synthetic::SyntheticSourceConfig;
using namespace std::chrono_literals;

using wav_check::TempFile;

// Applied to every buffer of a stream before it is routed.
using Shape = std::function<void(std::span<float>)>;

// Streams of an engine, each fed by a synthetic source and routed to a route
// of the same name. The ring is roomy so that a slow writer thread (TSan, a
// loaded machine) never drops samples; the tests check that it did not.
class Rig {
 public:
  void add_stream(const std::string& id, SyntheticSourceConfig config, Shape shape = {}) {
    auto pipeline = controller_.create_stream(id, 32, 16).value();
    auto calls = std::make_shared<std::atomic<std::size_t>>(0);
    auto processor = std::make_unique<test_support::LambdaProcessor>("shape", [shape, calls](std::span<float> s) {
      if (shape) shape(s);
      calls->fetch_add(1);
    });
    ASSERT_TRUE(controller_.add_processor(id, std::move(processor)).ok());
    ASSERT_TRUE(controller_.route(id, id).ok());
    auto& stream = streams_[id];
    stream.config = config;
    stream.shape = std::move(shape);
    stream.calls = calls;
    stream.source.emplace(SyntheticSource::create(std::move(pipeline), config).value());
  }

  RouteConsumer take(const std::string& route) { return controller_.take_output_consumer(route).value(); }

  // Starts the source, waits until it has delivered every buffer and stops it:
  // afterwards all of it is in the ring or already drained.
  void deliver_all(const std::string& id) {
    auto& stream = streams_.at(id);
    ASSERT_TRUE(stream.source->start().ok());
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (stream.calls->load() < stream.config.callback_count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(stream.calls->load(), stream.config.callback_count);
    ASSERT_TRUE(stream.source->stop().ok());
    EXPECT_EQ(controller_.get_stats().at(id).dropped_frames, 0U) << "ring overflow in " << id;
  }

  // What the stream routes, computed as the generator and the shape do.
  std::vector<float> expected(const std::string& id) const {
    const auto& stream = streams_.at(id);
    std::vector<float> out;
    std::vector<float> buffer(stream.config.frames_per_callback * 2);
    float value = stream.config.start_value;
    for (std::size_t c = 0; c < stream.config.callback_count; ++c) {
      for (std::size_t f = 0; f < stream.config.frames_per_callback; ++f) {
        buffer[2 * f] = value;
        buffer[2 * f + 1] = value;
        value += stream.config.step_value;
      }
      if (stream.shape) stream.shape(buffer);
      out.insert(out.end(), buffer.begin(), buffer.end());
    }
    return out;
  }

 private:
  struct Stream {
    SyntheticSourceConfig config;
    Shape shape;
    std::shared_ptr<std::atomic<std::size_t>> calls;
    std::optional<SyntheticSource> source;
  };

  AudioEngineController controller_{32, 1 << 16};
  std::map<std::string, Stream> streams_;
};

SyntheticSourceConfig ramp(std::size_t frames, std::size_t callbacks, float start, float step) {
  return {.frames_per_callback = frames,
          .callback_count = callbacks,
          .start_value = start,
          .step_value = step,
          .interval = 1ms,
          .start_delay = 0ms};
}

// The right channel as a scaled, negated copy of the left, so that channel
// order and mixing are visible.
Shape right_is(float factor) {
  return [factor](std::span<float> s) {
    for (std::size_t i = 0; i + 1 < s.size(); i += 2) s[i + 1] = s[i] * factor;
  };
}

std::vector<std::int16_t> pcm16(const std::vector<float>& samples) {
  std::vector<std::int16_t> out;
  for (float x : samples) {
    const float clamped = std::fmin(std::fmax(x, -1.0F), 1.0F);
    out.push_back(static_cast<std::int16_t>(std::round(clamped * 32767.0F)));
  }
  return out;
}

WavFileOutput spawn(const TempFile& file, std::vector<RouteConsumer> consumers, const WavOutputConfig& config) {
  auto spawned = WavFileOutput::try_spawn_file_mix_with_config(file.open_for_writing(), std::move(consumers), config);
  EXPECT_TRUE(spawned.ok()) << (spawned.ok() ? "" : spawned.error().error.message());
  return std::move(spawned).value();
}

std::vector<RouteConsumer> one(RouteConsumer consumer) {
  std::vector<RouteConsumer> out;
  out.push_back(std::move(consumer));
  return out;
}

TEST(WavFileOutput, OneRouteAtMasterFormatIsWrittenUnchanged) {
  Rig rig;
  rig.add_stream("mic", ramp(160, 100, 0.001F, 1.0F / 4096.0F), right_is(-0.5F));
  TempFile file;
  WavFileOutput output = spawn(file, one(rig.take("mic")), {48000, 2, SampleFormat::F32, 1.0F});
  EXPECT_EQ(output.stats().frames_written, 0U);
  rig.deliver_all("mic");
  auto stopped = output.stop_with_consumers();
  ASSERT_TRUE(stopped.ok()) << stopped.error().error.message();
  EXPECT_EQ(stopped.value().size(), 1U);

  const std::vector<float> expected = rig.expected("mic");
  ASSERT_EQ(expected.size(), 32000U);
  wav_check::expect_wav_f32(file.path(), 2, 48000, expected);

  const auto stats = output.stats();
  EXPECT_EQ(stats.frames_written, 16000U);
  EXPECT_EQ(stats.samples_written, 32000U);
  EXPECT_GE(stats.write_calls, 1U);
  EXPECT_EQ(stats.write.count, stats.write_calls);
  EXPECT_EQ(stats.finalize.count, 1U);
}

TEST(WavFileOutput, MonoOutputIsTheMeanOfLeftAndRight) {
  for (const SampleFormat format : {SampleFormat::F32, SampleFormat::I16}) {
    SCOPED_TRACE(format == SampleFormat::F32 ? "F32" : "I16");
    Rig rig;
    rig.add_stream("s", ramp(160, 40, -0.9F, 1.0F / 8192.0F), right_is(0.25F));
    TempFile file;
    WavFileOutput output = spawn(file, one(rig.take("s")), {48000, 1, format, 1.0F});
    rig.deliver_all("s");
    ASSERT_TRUE(output.stop_with_consumers().ok());

    const std::vector<float> stereo = rig.expected("s");
    std::vector<float> mono;
    for (std::size_t i = 0; i < stereo.size(); i += 2) mono.push_back((stereo[i] + stereo[i + 1]) * 0.5F);
    ASSERT_EQ(mono.size(), 6400U);
    if (format == SampleFormat::F32) {
      wav_check::expect_wav_f32(file.path(), 1, 48000, mono);
    } else {
      wav_check::expect_wav_i16(file.path(), 1, 48000, pcm16(mono));
    }
    EXPECT_EQ(output.stats().frames_written, 6400U);
    EXPECT_EQ(output.stats().samples_written, 6400U);
  }
}

TEST(WavFileOutput, TwoRoutesWaitForTheSlowerOneAndDropUnpartneredSamplesAtTheStop) {
  Rig rig;
  rig.add_stream("a", ramp(160, 30, 0.0F, 1.0F / 65536.0F));
  rig.add_stream("b", ramp(160, 10, 0.5F, -1.0F / 32768.0F), right_is(-1.0F));
  std::vector<RouteConsumer> consumers;
  consumers.push_back(rig.take("a"));
  consumers.push_back(rig.take("b"));
  TempFile file;
  WavFileOutput output = spawn(file, std::move(consumers), {48000, 2, SampleFormat::F32, 0.5F});

  rig.deliver_all("a");
  // Plenty of writer passes: route a waits in its queue, nothing is mixed.
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(output.stats().write_calls, 0U);
  EXPECT_EQ(output.stats().frames_written, 0U);

  rig.deliver_all("b");
  auto stopped = output.stop_with_consumers();
  ASSERT_TRUE(stopped.ok()) << stopped.error().error.message();
  ASSERT_EQ(stopped.value().size(), 2U);
  // Route a's rest was taken from the ring and discarded, not left behind.
  EXPECT_EQ(stopped.value()[0].available(), 0U);
  EXPECT_EQ(stopped.value()[1].available(), 0U);

  const std::vector<float> a = rig.expected("a");
  const std::vector<float> b = rig.expected("b");
  ASSERT_EQ(a.size(), 9600U);
  ASSERT_EQ(b.size(), 3200U);
  std::vector<float> mix;
  for (std::size_t i = 0; i < b.size(); ++i) mix.push_back((0.0F + a[i] + b[i]) * 0.5F);
  wav_check::expect_wav_f32(file.path(), 2, 48000, mix);
  EXPECT_EQ(output.stats().frames_written, 1600U);
}

TEST(WavFileOutput, GainPastFullScaleClampsI16ButNotF32) {
  for (const SampleFormat format : {SampleFormat::I16, SampleFormat::F32}) {
    SCOPED_TRACE(format == SampleFormat::F32 ? "F32" : "I16");
    Rig rig;
    rig.add_stream("s", ramp(100, 20, -0.9F, 0.9F / 1000.0F), right_is(-1.0F));
    TempFile file;
    WavFileOutput output = spawn(file, one(rig.take("s")), {48000, 2, format, 2.0F});
    rig.deliver_all("s");
    ASSERT_TRUE(output.stop_with_consumers().ok());

    std::vector<float> mixed = rig.expected("s");
    for (float& x : mixed) x = (0.0F + x) * 2.0F;
    std::size_t beyond = 0;
    for (float x : mixed) beyond += std::fabs(x) > 1.0F ? 1 : 0;
    ASSERT_GT(beyond, 1000U);
    if (format == SampleFormat::F32) {
      wav_check::expect_wav_f32(file.path(), 2, 48000, mixed);
    } else {
      const std::vector<std::int16_t> ints = pcm16(mixed);
      EXPECT_EQ(ints.front(), -32767);
      EXPECT_EQ(ints[1], 32767);
      wav_check::expect_wav_i16(file.path(), 2, 48000, ints);
    }
  }
}

TEST(WavFileOutput, I16SamplesRoundHalfAwayFromZero) {
  // The ramp counts frames; the shape turns frame k into a fixed pattern.
  static constexpr float IN[5] = {0.5F, -0.5F, -1.0F, 1.5F, -0.25F};
  static constexpr std::int16_t OUT[5] = {16384, -16384, -32767, 32767, -8192};
  Rig rig;
  rig.add_stream("s", ramp(50, 4, 0.0F, 1.0F), [](std::span<float> s) {
    for (std::size_t i = 0; i < s.size(); i += 2) {
      const auto k = static_cast<std::size_t>(s[i]);
      s[i] = IN[k % 5];
      s[i + 1] = IN[(k + 2) % 5];
    }
  });
  TempFile file;
  WavFileOutput output = spawn(file, one(rig.take("s")), {48000, 2, SampleFormat::I16, 1.0F});
  rig.deliver_all("s");
  ASSERT_TRUE(output.stop_with_consumers().ok());
  std::vector<std::int16_t> expected;
  for (std::size_t k = 0; k < 200; ++k) {
    expected.push_back(OUT[k % 5]);
    expected.push_back(OUT[(k + 2) % 5]);
  }
  wav_check::expect_wav_i16(file.path(), 2, 48000, expected);
}

TEST(WavFileOutput, StopWithoutDataLeavesTheHeaderAlone) {
  const std::vector<std::pair<SampleFormat, std::uint32_t>> cases = {{SampleFormat::I16, 36}, {SampleFormat::F32, 60}};
  for (const auto& [format, riff] : cases) {
    SCOPED_TRACE(riff);
    Rig rig;
    rig.add_stream("s", ramp(160, 4, 0.0F, 0.001F));
    TempFile file;
    WavFileOutput output = spawn(file, one(rig.take("s")), {48000, 2, format, 1.0F});
    auto stopped = output.stop_with_consumers();
    ASSERT_TRUE(stopped.ok()) << stopped.error().error.message();
    EXPECT_EQ(stopped.value().size(), 1U);

    const auto bytes = wav_check::file_bytes(file.path());
    EXPECT_EQ(bytes, wav_check::expected_header(format, 2, 48000, 0));
    ASSERT_GE(bytes.size(), 8U);
    EXPECT_EQ(bytes[4] | (bytes[5] << 8) | (bytes[6] << 16) | (bytes[7] << 24), static_cast<int>(riff));
    wav_check::expect_wav_shape(file.path(), format, 2, 48000, 0);
    const auto stats = output.stats();
    EXPECT_EQ(stats.write_calls, 0U);
    EXPECT_EQ(stats.write.count, 0U);
    EXPECT_EQ(stats.finalize.count, 1U);
  }
}

TEST(WavFileOutput, SecondStopIsAlreadyStoppedWithoutConsumers) {
  Rig rig;
  rig.add_stream("s", ramp(160, 5, 0.0F, 0.001F));
  TempFile file;
  WavFileOutput output = spawn(file, one(rig.take("s")), {});
  rig.deliver_all("s");
  ASSERT_TRUE(output.stop_with_consumers().ok());
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto again = output.stop_with_consumers();
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().error.kind(), WavOutputErrorKind::AlreadyStopped);
    EXPECT_EQ(again.error().error.message(), "wav writer already stopped");
    EXPECT_TRUE(again.error().consumers.empty());
  }
  // The metrics outlive the thread.
  EXPECT_EQ(output.stats().frames_written, 800U);
  EXPECT_EQ(output.stats().finalize.count, 1U);
}

// Rings of distinct capacities, to tell the consumers apart.
std::vector<RouteConsumer> tagged_consumers(std::size_t count, std::vector<RouteProducer>& producers) {
  std::vector<RouteConsumer> out;
  for (std::size_t i = 0; i < count; ++i) {
    auto [producer, consumer] = make_route_ring(8U << i);
    producers.push_back(std::move(producer));
    out.push_back(std::move(consumer));
  }
  return out;
}

void expect_tagged(const std::vector<RouteConsumer>& consumers, std::size_t count) {
  ASSERT_EQ(consumers.size(), count);
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_TRUE(consumers[i].valid());
    EXPECT_EQ(consumers[i].capacity(), 8U << i) << "consumer " << i << " out of order";
  }
}

struct ConfigErrorCase {
  const char* name;
  std::size_t consumers;
  WavOutputConfig config;
  WavOutputErrorKind kind;
  std::string message_prefix;
  bool exact;
};

TEST(WavFileOutput, ConfigurationErrorsReturnEveryConsumerAndCloseTheDescriptor) {
  const std::vector<ConfigErrorCase> cases = {
      {"no routes", 0, {}, WavOutputErrorKind::Io, "wav io error: wav sink requires at least one route consumer", true},
      {"channels 0", 3, {48000, 0, SampleFormat::F32, 1.0F}, WavOutputErrorKind::UnsupportedChannels,
       "unsupported output channels for wav sink: 0", true},
      {"channels 3", 2, {48000, 3, SampleFormat::I16, 1.0F}, WavOutputErrorKind::UnsupportedChannels,
       "unsupported output channels for wav sink: 3", true},
      {"rate 0", 1, {0, 2, SampleFormat::F32, 1.0F}, WavOutputErrorKind::Converter,
       "converter error: resampler initialization failed: ", false},
      {"rate beyond the resampler", 3, {48000 * 300, 1, SampleFormat::I16, 1.0F}, WavOutputErrorKind::Converter,
       "converter error: resampler initialization failed: ", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<RouteProducer> producers;
    TempFile file;
    const int fd = file.open_for_writing();
    auto spawned = WavFileOutput::try_spawn_file_mix_with_config(fd, tagged_consumers(c.consumers, producers), c.config);
    ASSERT_FALSE(spawned.ok());
    const auto& failure = spawned.error();
    EXPECT_EQ(failure.error.kind(), c.kind);
    if (c.exact) {
      EXPECT_EQ(failure.error.message(), c.message_prefix);
    } else {
      EXPECT_EQ(failure.error.message().rfind(c.message_prefix, 0), 0U) << failure.error.message();
      EXPECT_GT(failure.error.message().size(), c.message_prefix.size());
    }
    expect_tagged(failure.consumers, c.consumers);
    EXPECT_FALSE(wav_check::descriptor_is_open(fd));
    EXPECT_EQ(wav_check::file_size(file.path()), 0U);

    if (c.consumers > 0) {  // validation says the same, without starting anything
      auto validated = validate_config(c.config);
      ASSERT_FALSE(validated.ok());
      EXPECT_EQ(validated.error(), failure.error);
    }
  }
}

TEST(WavFileOutput, ValidationAcceptsBothSampleFormatsAndResampledRates) {
  const std::vector<WavOutputConfig> valid = {
      {48000, 2, SampleFormat::F32, 1.0F},
      {48000, 1, SampleFormat::I16, 0.0F},
      {16000, 1, SampleFormat::I16, 1.0F},
      {44100, 2, SampleFormat::F32, -3.0F},
      {8000, 2, SampleFormat::I16, 1.0F},
  };
  for (const auto& config : valid) {
    auto validated = validate_config(config);
    EXPECT_TRUE(validated.ok()) << config.sample_rate << " " << config.channels << ": "
                                << (validated.ok() ? "" : validated.error().message());
  }
}

TEST(WavFileOutput, UnwritableDescriptorsEndTheWriterWithAWriterError) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"closed", "wav writer error: Bad file descriptor"},
      {"read-only", "wav writer error: Bad file descriptor"},
      {"full device", "wav writer error: No space left on device"},
  };
  for (const auto& [name, message] : cases) {
    SCOPED_TRACE(name);
    TempFile file;
    int fd = -1;
    if (name == "closed") {
      // A high number that nothing else in the process will be handed.
      const int tmp = file.open_for_writing();
      fd = ::fcntl(tmp, F_DUPFD_CLOEXEC, 900);
      ::close(tmp);
      ::close(fd);
    } else if (name == "read-only") {
      fd = ::open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
    } else {
      fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    }
    ASSERT_GE(fd, 0);
    Rig rig;
    rig.add_stream("a", ramp(160, 20, 0.0F, 0.001F));
    rig.add_stream("b", ramp(160, 20, 0.5F, -0.001F));
    std::vector<RouteConsumer> consumers;
    consumers.push_back(rig.take("a"));
    consumers.push_back(rig.take("b"));
    auto spawned = WavFileOutput::try_spawn_file_mix_with_config(fd, std::move(consumers), {});
    ASSERT_TRUE(spawned.ok()) << "the descriptor is only used on the writer thread";
    WavFileOutput output = std::move(spawned).value();
    rig.deliver_all("a");
    rig.deliver_all("b");

    auto stopped = output.stop_with_consumers();
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().error.kind(), WavOutputErrorKind::Writer);
    EXPECT_EQ(stopped.error().error.message(), message);
    ASSERT_EQ(stopped.error().consumers.size(), 2U);
    for (const auto& consumer : stopped.error().consumers) EXPECT_TRUE(consumer.valid());
    EXPECT_FALSE(wav_check::descriptor_is_open(fd));
    EXPECT_EQ(output.stats().write_calls, 0U);
    EXPECT_EQ(output.stats().finalize.count, 0U) << "the writer ended before finalization";
    EXPECT_EQ(wav_check::file_size(file.path()), 0U);
    EXPECT_EQ(output.stop_with_consumers().error().error.kind(), WavOutputErrorKind::AlreadyStopped);
  }
}

struct ResampleCase {
  std::uint32_t rate;
  std::uint16_t channels;
  SampleFormat format;
  std::size_t frames_per_callback;
  std::size_t callbacks;
  std::uint64_t expected_frames;
};

TEST(WavFileOutput, ResampledOutputHoldsCeilOfTheMixedFramesTimesTheRateRatio) {
  const std::vector<ResampleCase> cases = {
      {16000, 1, SampleFormat::I16, 143, 7, 334},    // ceil(1001 / 3)
      {16000, 2, SampleFormat::F32, 160, 10, 534},   // ceil(1600 / 3)
      {16000, 1, SampleFormat::F32, 1, 1, 1},        // ceil(1 / 3)
      {44100, 2, SampleFormat::I16, 100, 10, 919},   // ceil(1000 * 44100 / 48000)
      {96000, 1, SampleFormat::F32, 480, 3, 2880},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " ch, " << c.frames_per_callback << "x"
                                    << c.callbacks);
    Rig rig;
    rig.add_stream("s", ramp(c.frames_per_callback, c.callbacks, -0.5F, 1.0F / 2048.0F), right_is(0.5F));
    TempFile file;
    WavFileOutput output = spawn(file, one(rig.take("s")), {c.rate, c.channels, c.format, 1.0F});
    rig.deliver_all("s");
    ASSERT_TRUE(output.stop_with_consumers().ok());

    // The same samples through a converter of its own in one call: the
    // writer's per-pass calls must add up to the same output.
    auto converter = MasterFormatConverter::create(MASTER_FORMAT, {c.rate, c.channels, SampleFormat::F32}).value();
    std::vector<float> expected;
    std::vector<float> tail;
    ASSERT_TRUE(converter.convert(rig.expected("s"), expected).ok());
    ASSERT_TRUE(converter.finish(tail).ok());
    expected.insert(expected.end(), tail.begin(), tail.end());
    ASSERT_EQ(expected.size(), c.expected_frames * c.channels);

    if (c.format == SampleFormat::F32) {
      wav_check::expect_wav_f32(file.path(), c.channels, c.rate, expected);
    } else {
      wav_check::expect_wav_i16(file.path(), c.channels, c.rate, pcm16(expected));
    }
    wav_check::expect_wav_shape(file.path(), c.format, c.channels, c.rate, c.expected_frames);
    EXPECT_EQ(output.stats().frames_written, c.expected_frames);
    EXPECT_EQ(output.stats().samples_written, c.expected_frames * c.channels);
  }
}

TEST(WavFileOutput, ReleasingTheOutputStopsItAndFinishesTheFile) {
  Rig rig;
  rig.add_stream("s", ramp(160, 12, 0.25F, -1.0F / 1024.0F), right_is(2.0F));
  TempFile file;
  {
    WavFileOutput output = spawn(file, one(rig.take("s")), {48000, 2, SampleFormat::F32, 1.0F});
    rig.deliver_all("s");
  }
  wav_check::expect_wav_f32(file.path(), 2, 48000, rig.expected("s"));
}

// Consumers come back in order and fully usable: a second recording on the
// same ring picks up exactly where the first one stopped.
TEST(WavFileOutput, ReturnedConsumersCarryOnIntoTheNextRecording) {
  std::vector<RouteProducer> producers;
  std::vector<RouteConsumer> consumers = tagged_consumers(3, producers);
  auto ring = make_route_ring(1 << 14);
  RouteProducer producer = std::move(ring.first);
  consumers.insert(consumers.begin(), std::move(ring.second));  // the one that carries data, first

  // Writes values start, start+1, ... on a thread of its own, in small pieces.
  const auto produce = [&producer](float start, std::size_t count) {
    std::thread writer([&producer, start, count] {
      std::vector<float> piece(64);
      for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(piece.size(), count - done);
        for (std::size_t i = 0; i < n; ++i) piece[i] = (start + static_cast<float>(done + i)) / 8192.0F;
        done += producer.write(std::span(piece).first(n));
        std::this_thread::yield();
      }
    });
    writer.join();
  };

  // The three tagged rings never deliver, so the first recording mixes
  // nothing: the data waits in the first route's queue.
  TempFile first_file;
  WavFileOutput first = spawn(first_file, std::move(consumers), {48000, 2, SampleFormat::F32, 1.0F});
  produce(0.0F, 1000);
  auto back = first.stop_with_consumers();
  ASSERT_TRUE(back.ok());
  ASSERT_EQ(back.value().size(), 4U);
  EXPECT_EQ(back.value()[0].capacity(), std::size_t{1} << 14);
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(back.value()[i].capacity(), 8U << (i - 1));
  wav_check::expect_wav_shape(first_file.path(), SampleFormat::F32, 2, 48000, 0);

  // Only the data route this time; what arrived between the two recordings
  // and afterwards is recorded, from the first value not yet taken.
  produce(1000.0F, 500);
  TempFile second_file;
  WavFileOutput second = spawn(second_file, one(std::move(back.value()[0])), {48000, 2, SampleFormat::F32, 1.0F});
  produce(1500.0F, 700);
  ASSERT_TRUE(second.stop_with_consumers().ok());
  // The first recording took its 1000 values into a queue and dropped them at
  // the stop; the ring resumes at 1000.
  std::vector<float> expected;
  for (std::size_t i = 1000; i < 2200; ++i) expected.push_back(static_cast<float>(i) / 8192.0F);
  wav_check::expect_wav_f32(second_file.path(), 2, 48000, expected);
}

}  // namespace
