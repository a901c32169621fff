// The "gain" processor: multiplies every sample value by a constant factor.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "metrics.hpp"
#include "processor.hpp"

namespace python_ffi {

class GainProcessorNode final : public core_engine::processor::AudioProcessor {
 public:
  GainProcessorNode(std::string id, float gain) : id_(std::move(id)), gain_(gain) {}

  std::string_view id() const override { return id_; }
  void set_metrics(std::shared_ptr<core_engine::metrics::NodeMetrics> metrics) override {
    metrics_ = std::move(metrics);
  }
  // Real-time safe. No clamping: values beyond ±1, NaN and infinities pass on.
  void process(std::span<float> samples) override;

  float gain() const { return gain_; }

 private:
  std::string id_;
  std::shared_ptr<core_engine::metrics::NodeMetrics> metrics_;
  float gain_;
};

}  // namespace python_ffi
