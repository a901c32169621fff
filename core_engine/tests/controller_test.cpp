#include "engine/controller.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

using core_engine::engine::AudioEngineController;
using core_engine::engine::EngineError;
using Kind = core_engine::engine::EngineError::Kind;
using test_support::drain;
using test_support::noop;
using test_support::ramp;

TEST(EngineError, MessagesFillTheirIdsInOrder) {
  const std::vector<std::pair<EngineError, std::string>> cases = {
      {EngineError::stream_not_registered("mic"), "stream 'mic' is not registered"},
      {EngineError::stream_already_exists("mic"), "stream 'mic' already exists"},
      {EngineError::processor_already_exists("mic", "g1"), "processor 'g1' already exists for stream 'mic'"},
      {EngineError::command_queue_full("mic"), "command queue for stream 'mic' is full"},
      {EngineError::command_queue_disconnected("mic"), "command queue for stream 'mic' is disconnected"},
      {EngineError::route_already_exists("r1"), "route for output 'r1' already exists"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.message(), text);
}

TEST(Controller, CapacitiesHaveFloors) {
  AudioEngineController controller(0, 1);
  EXPECT_EQ(controller.command_capacity(), 1U);
  EXPECT_EQ(controller.ring_capacity(), 2U);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  ASSERT_TRUE(controller.route("s", "r").ok());
  EXPECT_EQ(controller.take_output_consumer("r")->capacity(), 2U);
  EXPECT_EQ(controller.route("s", "other").error().kind, Kind::CommandQueueFull);
}

TEST(Controller, DuplicateStreamIsRefusedAndTheFirstStaysIntact) {
  AudioEngineController controller(32, 4096);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  auto again = controller.create_stream("s", 32, 16);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().message(), "stream 's' already exists");
  ASSERT_TRUE(controller.route("s", "r").ok());
  auto consumer = controller.take_output_consumer("r").value();
  auto buffer = ramp(4);
  pipeline.process_callback(buffer);
  EXPECT_EQ(drain(consumer), buffer);
}

TEST(Controller, UnknownStreamsAreReportedByEveryOperation) {
  AudioEngineController controller(32, 4096);
  EXPECT_EQ(controller.remove_stream("x").error().message(), "stream 'x' is not registered");
  EXPECT_EQ(controller.add_processor("x", noop("p")).error().kind, Kind::StreamNotRegistered);
  EXPECT_EQ(controller.route("x", "r").error().kind, Kind::StreamNotRegistered);
  EXPECT_FALSE(controller.has_output_consumer("r"));
}

TEST(Controller, RouteCheckComesBeforeTheStreamCheck) {
  AudioEngineController controller(32, 4096);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  ASSERT_TRUE(controller.route("s", "r").ok());
  EXPECT_EQ(controller.route("unknown", "r").error().message(), "route for output 'r' already exists");
}

TEST(Controller, ProcessorIdsAreUniquePerStream) {
  AudioEngineController controller(32, 4096);
  auto a = controller.create_stream("a", 32, 16).value();
  auto b = controller.create_stream("b", 32, 16).value();
  ASSERT_TRUE(controller.add_processor("a", noop("g")).ok());
  const auto duplicate = controller.add_processor("a", noop("g"));
  ASSERT_FALSE(duplicate.ok());
  EXPECT_EQ(duplicate.error().message(), "processor 'g' already exists for stream 'a'");
  EXPECT_TRUE(controller.add_processor("b", noop("g")).ok());
  // Registered metrics are visible at once, all zero until the processor runs.
  const auto stats = controller.get_stats();
  EXPECT_EQ(stats.at("a").processors.size(), 1U);
  EXPECT_EQ(stats.at("a").processors.at("g").latency.count, 0U);
}

TEST(Controller, CommandQueueFillsWhileNothingDrainsItAndEmptiesAfterOneCallback) {
  for (const bool use_routes : {false, true}) {
    AudioEngineController controller(32, 4096);
    auto pipeline = controller.create_stream("s", 32, 16).value();
    const auto send = [&](int i) {
      const std::string id = "id" + std::to_string(i);
      return use_routes ? controller.route("s", id) : controller.add_processor("s", noop(id));
    };
    for (int i = 0; i < 32; ++i) ASSERT_TRUE(send(i).ok()) << i;
    const auto full = send(32);
    ASSERT_FALSE(full.ok());
    EXPECT_EQ(full.error().message(), "command queue for stream 's' is full");
    // A refused processor is not registered; a refused route leaves no consumer.
    const auto stats = controller.get_stats();
    EXPECT_EQ(stats.at("s").processors.count("id32"), 0U);
    EXPECT_FALSE(controller.has_output_consumer("id32"));
    std::vector<float> buffer(2);
    pipeline.process_callback(buffer);
    EXPECT_TRUE(send(32).ok());
  }
}

TEST(Controller, DisconnectedQueueIsReportedOnceThePipelineIsGone) {
  AudioEngineController controller(32, 4096);
  { auto pipeline = controller.create_stream("s", 32, 16).value(); }
  EXPECT_EQ(controller.add_processor("s", noop("p")).error().message(),
            "command queue for stream 's' is disconnected");
  EXPECT_EQ(controller.route("s", "r").error().kind, Kind::CommandQueueDisconnected);
  EXPECT_FALSE(controller.has_output_consumer("r"));
}

TEST(Controller, RemovedStreamIsForgottenButItsRoutesRemain) {
  AudioEngineController controller(32, 4096);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  ASSERT_TRUE(controller.route("s", "r").ok());
  ASSERT_TRUE(controller.remove_stream("s").ok());
  EXPECT_EQ(controller.add_processor("s", noop("p")).error().kind, Kind::StreamNotRegistered);
  EXPECT_EQ(controller.route("s", "r2").error().kind, Kind::StreamNotRegistered);
  EXPECT_TRUE(controller.get_stats().empty());
  EXPECT_TRUE(controller.take_output_consumer("r").has_value());
  // The id is free again.
  EXPECT_TRUE(controller.create_stream("s", 32, 16).ok());
}

TEST(Controller, TakenRouteCanBeMadeAgainAndTheOldConsumerCannotReturn) {
  AudioEngineController controller(32, 4096);
  auto pipeline = controller.create_stream("s", 32, 16).value();
  ASSERT_TRUE(controller.route("s", "r1").ok());
  auto taken = controller.take_output_consumer("r1").value();
  EXPECT_FALSE(controller.has_output_consumer("r1"));
  EXPECT_FALSE(controller.take_output_consumer("r1").has_value());
  ASSERT_TRUE(controller.route("s", "r1").ok());
  auto buffer = ramp(4);
  pipeline.process_callback(buffer);
  EXPECT_TRUE(drain(taken).empty());  // the new producer replaced the old one
  const auto restored = controller.restore_output_consumer("r1", std::move(taken));
  ASSERT_FALSE(restored.ok());
  EXPECT_EQ(restored.error().message(), "route for output 'r1' already exists");
  auto current = controller.take_output_consumer("r1").value();
  EXPECT_EQ(drain(current), buffer);
  EXPECT_TRUE(controller.restore_output_consumer("r1", std::move(current)).ok());
  EXPECT_TRUE(controller.has_output_consumer("r1"));
}

TEST(Controller, StatsListEveryStreamWithItsProcessors) {
  AudioEngineController controller(32, 4096);
  auto a = controller.create_stream("a", 32, 16).value();
  auto b = controller.create_stream("b", 32, 16).value();
  ASSERT_TRUE(controller.add_processor("a", noop("g1")).ok());
  ASSERT_TRUE(controller.add_processor("a", noop("g2")).ok());
  std::vector<float> buffer(320);
  a.process_callback(buffer);
  const auto stats = controller.get_stats();
  ASSERT_EQ(stats.size(), 2U);
  EXPECT_EQ(stats.at("a").buffer_size, 320U);
  EXPECT_EQ(stats.at("a").latency.count, 1U);
  EXPECT_EQ(stats.at("a").processors.at("g2").latency.count, 1U);
  EXPECT_TRUE(stats.at("b").processors.empty());
  EXPECT_EQ(stats.at("b").latency.count, 0U);
}

}  // namespace
