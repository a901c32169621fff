#include "engine/pipeline.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace core_engine::engine {

namespace {

std::uint32_t saturate_u32(std::size_t value) {
  return static_cast<std::uint32_t>(std::min<std::size_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

template <typename... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace

RealTimePipeline::RealTimePipeline(Receiver<PipelineCommand> commands,
                                   std::shared_ptr<metrics::PipelineMetrics> metrics,
                                   std::size_t processor_capacity, std::size_t route_capacity)
    : commands_(std::move(commands)), metrics_(std::move(metrics)) {
  processors_.reserve(processor_capacity);
  routes_.reserve(route_capacity);
}

void RealTimePipeline::process_callback(std::span<float> samples) {
  const metrics::Instant started = metrics::Clock::now();
  drain_commands();
  run_processors(samples);
  fan_out(samples);
  metrics_->buffer_size.store(saturate_u32(samples.size()), std::memory_order_relaxed);
  const std::uint32_t total_us = metrics::elapsed_us(started);
  metrics_->total_callback_time_us.store(total_us, std::memory_order_relaxed);
  metrics_->latency.record(total_us);
}

void RealTimePipeline::drain_commands() {
  for (;;) {
    auto command = commands_.try_receive();
    // Disconnected means the controller forgot the stream: keep running with
    // what we have.
    if (!command.ok()) return;
    apply(command.value());
  }
}

void RealTimePipeline::apply(PipelineCommand& command) {
  std::visit(Overloaded{
                 [this](AddProcessor& add) {
                   std::string id(add.processor->id());
                   processors_.push_back(ProcessorSlot{std::move(id), std::move(add.processor), std::move(add.metrics)});
                 },
                 [this](AddRoute& add) { routes_.insert_or_assign(std::move(add.route_id), std::move(add.producer)); },
             },
             command);
}

void RealTimePipeline::run_processors(std::span<float> samples) {
  for (ProcessorSlot& slot : processors_) {
    const metrics::Instant started = metrics::Clock::now();
    slot.processor->process(samples);
    const std::uint32_t us = metrics::elapsed_us(started);
    slot.metrics->processing_time_us.store(us, std::memory_order_relaxed);
    slot.metrics->latency.record(us);
  }
}

void RealTimePipeline::fan_out(std::span<const float> samples) {
  for (auto& route : routes_) {
    const std::size_t written = route.second.write(samples);
    if (written < samples.size()) {
      metrics_->dropped_frames.fetch_add(saturate_u32(samples.size() - written), std::memory_order_relaxed);
    }
  }
}

}  // namespace core_engine::engine
