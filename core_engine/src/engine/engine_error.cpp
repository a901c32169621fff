#include "engine/engine_error.hpp"

#include <utility>

namespace core_engine::engine {

EngineError EngineError::stream_not_registered(std::string stream_id) {
  return {Kind::StreamNotRegistered, std::move(stream_id), {}, {}};
}
EngineError EngineError::stream_already_exists(std::string stream_id) {
  return {Kind::StreamAlreadyExists, std::move(stream_id), {}, {}};
}
EngineError EngineError::processor_already_exists(std::string stream_id, std::string processor_id) {
  return {Kind::ProcessorAlreadyExists, std::move(stream_id), std::move(processor_id), {}};
}
EngineError EngineError::command_queue_full(std::string stream_id) {
  return {Kind::CommandQueueFull, std::move(stream_id), {}, {}};
}
EngineError EngineError::command_queue_disconnected(std::string stream_id) {
  return {Kind::CommandQueueDisconnected, std::move(stream_id), {}, {}};
}
EngineError EngineError::route_already_exists(std::string route_id) {
  return {Kind::RouteAlreadyExists, {}, {}, std::move(route_id)};
}

std::string EngineError::message() const {
  switch (kind) {
    case Kind::StreamNotRegistered:
      return "stream '" + stream_id + "' is not registered";
    case Kind::StreamAlreadyExists:
      return "stream '" + stream_id + "' already exists";
    case Kind::ProcessorAlreadyExists:
      return "processor '" + processor_id + "' already exists for stream '" + stream_id + "'";
    case Kind::CommandQueueFull:
      return "command queue for stream '" + stream_id + "' is full";
    case Kind::CommandQueueDisconnected:
      return "command queue for stream '" + stream_id + "' is disconnected";
    case Kind::RouteAlreadyExists:
      return "route for output '" + route_id + "' already exists";
  }
  return {};
}

}  // namespace core_engine::engine
