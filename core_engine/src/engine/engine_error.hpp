// The error of every fallible controller operation.
#pragma once

#include <cstdint>
#include <string>

namespace core_engine::engine {

struct EngineError {
  enum class Kind : std::uint8_t {
    StreamNotRegistered,
    StreamAlreadyExists,
    ProcessorAlreadyExists,
    CommandQueueFull,
    CommandQueueDisconnected,
    RouteAlreadyExists,
  };

  Kind kind;
  std::string stream_id;     // empty for RouteAlreadyExists
  std::string processor_id;  // only for ProcessorAlreadyExists
  std::string route_id;      // only for RouteAlreadyExists

  static EngineError stream_not_registered(std::string stream_id);
  static EngineError stream_already_exists(std::string stream_id);
  static EngineError processor_already_exists(std::string stream_id, std::string processor_id);
  static EngineError command_queue_full(std::string stream_id);
  static EngineError command_queue_disconnected(std::string stream_id);
  static EngineError route_already_exists(std::string route_id);

  std::string message() const;
};

}  // namespace core_engine::engine
