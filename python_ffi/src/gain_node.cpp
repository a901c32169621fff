#include "gain_node.hpp"

namespace python_ffi {

void GainProcessorNode::process(std::span<float> samples) {
  const float gain = gain_;
  for (float& sample : samples) sample *= gain;
}

}  // namespace python_ffi
