#include "engine/controller.hpp"

#include <algorithm>
#include <utility>

namespace core_engine::engine {

AudioEngineController::AudioEngineController(std::size_t command_capacity, std::size_t ring_capacity)
    : command_capacity_(std::max<std::size_t>(command_capacity, 1)),
      ring_capacity_(std::max<std::size_t>(ring_capacity, 2)) {}

Result<RealTimePipeline, EngineError> AudioEngineController::create_stream(std::string_view stream_id,
                                                                           std::size_t processor_capacity,
                                                                           std::size_t route_capacity) {
  if (command_senders_.contains(stream_id)) return Err{EngineError::stream_already_exists(std::string(stream_id))};
  auto [sender, receiver] = make_channel<PipelineCommand>(command_capacity_);
  auto metrics = std::make_shared<metrics::PipelineMetrics>();
  command_senders_.emplace(stream_id, std::move(sender));
  pipeline_metrics_.emplace(stream_id, metrics);
  processor_metrics_.emplace(stream_id, StringMap<std::shared_ptr<metrics::NodeMetrics>>{});
  return RealTimePipeline(std::move(receiver), std::move(metrics), processor_capacity, route_capacity);
}

Result<void, EngineError> AudioEngineController::remove_stream(std::string_view stream_id) {
  const auto sender = command_senders_.find(stream_id);
  if (sender == command_senders_.end()) return Err{EngineError::stream_not_registered(std::string(stream_id))};
  // Dropping the sender disconnects the pipeline's queue.
  command_senders_.erase(sender);
  if (const auto found = pipeline_metrics_.find(stream_id); found != pipeline_metrics_.end()) {
    pipeline_metrics_.erase(found);
  }
  if (const auto found = processor_metrics_.find(stream_id); found != processor_metrics_.end()) {
    processor_metrics_.erase(found);
  }
  return Ok{};
}

Result<void, EngineError> AudioEngineController::send(std::string_view stream_id, PipelineCommand command) {
  auto sent = command_senders_.find(stream_id)->second.try_send(std::move(command));
  if (sent.ok()) return Ok{};
  // The refused command, and everything it owns, is released here.
  if (sent.error().kind == SendErrorKind::Full) return Err{EngineError::command_queue_full(std::string(stream_id))};
  return Err{EngineError::command_queue_disconnected(std::string(stream_id))};
}

Result<void, EngineError> AudioEngineController::add_processor(std::string_view stream_id,
                                                               std::unique_ptr<processor::AudioProcessor> processor) {
  if (!command_senders_.contains(stream_id)) return Err{EngineError::stream_not_registered(std::string(stream_id))};
  std::string processor_id(processor->id());
  const auto stream_processors = processor_metrics_.find(stream_id);
  if (stream_processors != processor_metrics_.end() && stream_processors->second.contains(processor_id)) {
    return Err{EngineError::processor_already_exists(std::string(stream_id), std::move(processor_id))};
  }
  auto metrics = std::make_shared<metrics::NodeMetrics>();
  processor->set_metrics(metrics);
  auto sent = send(stream_id, AddProcessor{std::move(processor), metrics});
  if (!sent.ok()) return sent;
  if (stream_processors != processor_metrics_.end()) {
    stream_processors->second.emplace(std::move(processor_id), std::move(metrics));
  }
  return Ok{};
}

Result<void, EngineError> AudioEngineController::route(std::string_view stream_id, std::string_view route_id) {
  // A route id whose consumer is here is taken, whatever the stream.
  if (output_consumers_.contains(route_id)) return Err{EngineError::route_already_exists(std::string(route_id))};
  if (!command_senders_.contains(stream_id)) return Err{EngineError::stream_not_registered(std::string(stream_id))};
  auto [producer, consumer] = make_route_ring(ring_capacity_);
  auto sent = send(stream_id, AddRoute{std::string(route_id), std::move(producer)});
  if (!sent.ok()) return sent;
  output_consumers_.emplace(route_id, std::move(consumer));
  return Ok{};
}

bool AudioEngineController::has_output_consumer(std::string_view route_id) const {
  return output_consumers_.contains(route_id);
}

std::optional<RouteConsumer> AudioEngineController::take_output_consumer(std::string_view route_id) {
  const auto found = output_consumers_.find(route_id);
  if (found == output_consumers_.end()) return std::nullopt;
  RouteConsumer consumer = std::move(found->second);
  output_consumers_.erase(found);
  return consumer;
}

Result<void, EngineError> AudioEngineController::restore_output_consumer(std::string_view route_id,
                                                                         RouteConsumer consumer) {
  if (output_consumers_.contains(route_id)) return Err{EngineError::route_already_exists(std::string(route_id))};
  output_consumers_.emplace(route_id, std::move(consumer));
  return Ok{};
}

std::map<std::string, metrics::StreamMetricsSnapshot> AudioEngineController::get_stats() const {
  std::map<std::string, metrics::StreamMetricsSnapshot> stats;
  for (const auto& [stream_id, pipeline] : pipeline_metrics_) {
    metrics::StreamMetricsSnapshot stream = metrics::snapshot(*pipeline);
    if (const auto processors = processor_metrics_.find(stream_id); processors != processor_metrics_.end()) {
      for (const auto& [processor_id, node] : processors->second) {
        stream.processors.emplace(processor_id, metrics::snapshot(*node));
      }
    }
    stats.emplace(stream_id, std::move(stream));
  }
  return stats;
}

}  // namespace core_engine::engine
