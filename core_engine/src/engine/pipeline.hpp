// The per-stream processing chain run inside a source's audio callback.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "engine/channel.hpp"
#include "engine/ring.hpp"
#include "metrics.hpp"
#include "processor.hpp"
#include "seeded_hash.hpp"

namespace core_engine::engine {

struct AddProcessor {
  std::unique_ptr<processor::AudioProcessor> processor;
  std::shared_ptr<metrics::NodeMetrics> metrics;
};

struct AddRoute {
  std::string route_id;
  RouteProducer producer;
};

// Each command owns its payload, so sending it moves the objects to the
// real-time thread.
using PipelineCommand = std::variant<AddProcessor, AddRoute>;

struct ProcessorSlot {
  std::string id;
  std::unique_ptr<processor::AudioProcessor> processor;
  std::shared_ptr<metrics::NodeMetrics> metrics;
};

// Created by the controller, then owned by exactly one source and touched only
// by the thread that delivers that source's audio.
class RealTimePipeline {
 public:
  RealTimePipeline(Receiver<PipelineCommand> commands, std::shared_ptr<metrics::PipelineMetrics> metrics,
                   std::size_t processor_capacity, std::size_t route_capacity);
  RealTimePipeline(RealTimePipeline&&) noexcept = default;
  RealTimePipeline& operator=(RealTimePipeline&&) noexcept = default;

  // Real-time safe: applies pending commands, runs the processors in order,
  // copies the buffer into every route ring and records the metrics. Allocates
  // only while handling a command.
  void process_callback(std::span<float> samples);

 private:
  void drain_commands();
  void apply(PipelineCommand& command);
  void run_processors(std::span<float> samples);
  void fan_out(std::span<const float> samples);

  Receiver<PipelineCommand> commands_;
  std::vector<ProcessorSlot> processors_;
  std::unordered_map<std::string, RouteProducer, SeededStringHash, StringEqual> routes_;
  std::shared_ptr<metrics::PipelineMetrics> metrics_;
};

}  // namespace core_engine::engine
