// The engine's registry and only writer of configuration. It reaches each
// pipeline only through the pipeline's command queue and shared metrics.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "engine/channel.hpp"
#include "engine/engine_error.hpp"
#include "engine/pipeline.hpp"
#include "engine/ring.hpp"
#include "metrics.hpp"
#include "processor.hpp"
#include "result.hpp"
#include "seeded_hash.hpp"

namespace core_engine::engine {

template <typename V>
using StringMap = std::unordered_map<std::string, V, SeededStringHash, StringEqual>;

// Not synchronised: its owner calls it from one thread at a time. Nothing here
// ever waits for a pipeline.
class AudioEngineController {
 public:
  AudioEngineController(std::size_t command_capacity, std::size_t ring_capacity);

  Result<RealTimePipeline, EngineError> create_stream(std::string_view stream_id, std::size_t processor_capacity,
                                                      std::size_t route_capacity);
  Result<void, EngineError> remove_stream(std::string_view stream_id);
  // The processor is consumed whatever the outcome.
  Result<void, EngineError> add_processor(std::string_view stream_id,
                                          std::unique_ptr<processor::AudioProcessor> processor);
  Result<void, EngineError> route(std::string_view stream_id, std::string_view route_id);

  bool has_output_consumer(std::string_view route_id) const;
  std::optional<RouteConsumer> take_output_consumer(std::string_view route_id);
  // The consumer is consumed whatever the outcome.
  Result<void, EngineError> restore_output_consumer(std::string_view route_id, RouteConsumer consumer);

  std::map<std::string, metrics::StreamMetricsSnapshot> get_stats() const;

  std::size_t command_capacity() const { return command_capacity_; }
  std::size_t ring_capacity() const { return ring_capacity_; }

 private:
  Result<void, EngineError> send(std::string_view stream_id, PipelineCommand command);

  StringMap<Sender<PipelineCommand>> command_senders_;
  StringMap<std::shared_ptr<metrics::PipelineMetrics>> pipeline_metrics_;
  StringMap<StringMap<std::shared_ptr<metrics::NodeMetrics>>> processor_metrics_;
  StringMap<RouteConsumer> output_consumers_;
  std::size_t command_capacity_;
  std::size_t ring_capacity_;
};

}  // namespace core_engine::engine
