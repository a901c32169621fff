// The interface of every in-pipeline processor.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "metrics.hpp"

namespace core_engine::processor {

// Owned by one holder at a time and moved between threads; never used from two
// threads at once. `id` must not change over the object's life.
class AudioProcessor {
 public:
  virtual ~AudioProcessor() = default;

  virtual std::string_view id() const = 0;
  // Called once, on the caller's thread, before the processor is sent.
  virtual void set_metrics(std::shared_ptr<metrics::NodeMetrics> metrics) = 0;
  // Runs on the stream's delivery thread: must not block, lock or allocate.
  // Transforms interleaved master-format values in place.
  virtual void process(std::span<float> samples) = 0;
};

}  // namespace core_engine::processor
