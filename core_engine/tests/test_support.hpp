// Small helpers shared by the engine's tests.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/controller.hpp"
#include "engine/ring.hpp"
#include "processor.hpp"

namespace test_support {

// A processor that runs a given action over every buffer.
class LambdaProcessor final : public core_engine::processor::AudioProcessor {
 public:
  LambdaProcessor(std::string id, std::function<void(std::span<float>)> action)
      : id_(std::move(id)), action_(std::move(action)) {}
  std::string_view id() const override { return id_; }
  void set_metrics(std::shared_ptr<core_engine::metrics::NodeMetrics> metrics) override { metrics_ = std::move(metrics); }
  void process(std::span<float> samples) override { action_(samples); }

  std::shared_ptr<core_engine::metrics::NodeMetrics> metrics_;

 private:
  std::string id_;
  std::function<void(std::span<float>)> action_;
};

inline std::unique_ptr<core_engine::processor::AudioProcessor> noop(std::string id) {
  return std::make_unique<LambdaProcessor>(std::move(id), [](std::span<float>) {});
}

inline std::vector<float> drain(core_engine::engine::RouteConsumer& consumer) {
  std::vector<float> out(consumer.available());
  out.resize(consumer.read(out));
  return out;
}

inline std::vector<float> ramp(std::size_t values, float start = 0.0F) {
  std::vector<float> out(values);
  for (std::size_t i = 0; i < values; ++i) out[i] = start + static_cast<float>(i);
  return out;
}

}  // namespace test_support
