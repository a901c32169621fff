#pragma once

#include <chrono>

namespace core_engine::outputs {

// How long a sink thread sleeps after a pass that found nothing to do.
inline constexpr std::chrono::microseconds SINK_IDLE_SLEEP{200};

}  // namespace core_engine::outputs
