#include "sources/synthetic.hpp"

#include <exception>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

namespace core_engine::sources::synthetic {

std::string SyntheticSourceError::message() const {
  switch (kind) {
    case Kind::FramesPerCallbackZero:
      return "frames_per_callback must be greater than zero";
    case Kind::CallbackCountZero:
      return "callback_count must be greater than zero";
    case Kind::AlreadyStarted:
      return "synthetic source already started";
    case Kind::AlreadyStopped:
      return "synthetic source already stopped";
    case Kind::ThreadFailed:
      return "synthetic source thread panicked";
  }
  return {};
}

Result<SyntheticSource, SyntheticSourceError> SyntheticSource::create(engine::RealTimePipeline pipeline,
                                                                      SyntheticSourceConfig config) {
  if (config.frames_per_callback == 0) return Err{SyntheticSourceError{SyntheticSourceError::Kind::FramesPerCallbackZero}};
  if (config.callback_count == 0) return Err{SyntheticSourceError{SyntheticSourceError::Kind::CallbackCountZero}};
  return SyntheticSource(std::move(pipeline), config);
}

SyntheticSource::SyntheticSource(engine::RealTimePipeline pipeline, SyntheticSourceConfig config)
    : pipeline_(std::move(pipeline)), config_(config), shared_(std::make_shared<Shared>()) {}

SyntheticSource::~SyntheticSource() {
  if (!shared_) return;  // moved from
  shared_->stop_requested.store(true);
  if (thread_ && thread_->joinable()) thread_->join();
}

Result<void, SyntheticSourceError> SyntheticSource::start() {
  if (!pipeline_) return Err{SyntheticSourceError{SyntheticSourceError::Kind::AlreadyStarted}};
  engine::RealTimePipeline pipeline = std::move(*pipeline_);
  pipeline_.reset();
  try {
    thread_.emplace(&SyntheticSource::generate, std::move(pipeline), config_, shared_);
  } catch (const std::system_error&) {
    // No thread could be made: the pipeline went with the attempt, so the
    // source is spent, as after a failed run.
    return Err{SyntheticSourceError{SyntheticSourceError::Kind::ThreadFailed}};
  }
  return Ok{};
}

Result<void, SyntheticSourceError> SyntheticSource::stop() {
  shared_->stop_requested.store(true);
  if (!thread_) return Err{SyntheticSourceError{SyntheticSourceError::Kind::AlreadyStopped}};
  thread_->join();
  thread_.reset();
  if (shared_->failed.load()) return Err{SyntheticSourceError{SyntheticSourceError::Kind::ThreadFailed}};
  return Ok{};
}

void SyntheticSource::generate(engine::RealTimePipeline pipeline, SyntheticSourceConfig config,
                               std::shared_ptr<Shared> shared) {
  try {
    const auto stopping = [&shared] { return shared->stop_requested.load(); };
    if (config.start_delay.count() != 0 && !stopping()) std::this_thread::sleep_for(config.start_delay);
    std::vector<float> buffer(config.frames_per_callback * 2, 0.0F);
    float value = config.start_value;
    for (std::size_t callback = 0; callback < config.callback_count; ++callback) {
      if (stopping()) break;
      for (std::size_t frame = 0; frame < config.frames_per_callback; ++frame) {
        buffer[2 * frame] = value;
        buffer[2 * frame + 1] = value;
        value += config.step_value;
      }
      pipeline.process_callback(buffer);
      if (config.interval.count() != 0 && !stopping()) std::this_thread::sleep_for(config.interval);
    }
  } catch (...) {
    shared->failed.store(true);
  }
}

}  // namespace core_engine::sources::synthetic
