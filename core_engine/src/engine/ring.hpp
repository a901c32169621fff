// Lock-free single-producer single-consumer ring of f32 sample values that
// carries one route from a pipeline to a sink. Indices run freely (a 64-bit
// position never wraps in practice), so fill level is a subtraction; each side
// caches the other's index to keep the shared cache lines quiet.
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>

namespace core_engine::engine {

inline constexpr std::size_t CACHE_LINE = 64;

namespace detail {

struct RingStorage {
  explicit RingStorage(std::size_t capacity_values)
      : capacity(capacity_values), data(std::make_unique<float[]>(capacity_values)) {}

  const std::size_t capacity;
  const std::unique_ptr<float[]> data;
  alignas(CACHE_LINE) std::atomic<std::uint64_t> write_pos{0};
  alignas(CACHE_LINE) std::atomic<std::uint64_t> read_pos{0};
};

}  // namespace detail

class RouteProducer;
class RouteConsumer;

// Creates a ring of `capacity` values (at least 1) and returns its two ends.
std::pair<RouteProducer, RouteConsumer> make_route_ring(std::size_t capacity);

// The writing end. Movable between threads, used by one thread at a time.
class RouteProducer {
 public:
  RouteProducer() = default;
  // One end, one holder: copies would let two threads share a side.
  RouteProducer(const RouteProducer&) = delete;
  RouteProducer& operator=(const RouteProducer&) = delete;
  RouteProducer(RouteProducer&&) noexcept = default;
  RouteProducer& operator=(RouteProducer&&) noexcept = default;

  // Real-time safe: copies as many leading values as there is room for, in at
  // most two pieces, and publishes them. Returns how many were written.
  std::size_t write(std::span<const float> values) {
    detail::RingStorage& ring = *ring_;
    const std::uint64_t write_pos = ring.write_pos.load(std::memory_order_relaxed);
    std::size_t vacant = ring.capacity - static_cast<std::size_t>(write_pos - cached_read_pos_);
    if (vacant < values.size()) {
      cached_read_pos_ = ring.read_pos.load(std::memory_order_acquire);
      vacant = ring.capacity - static_cast<std::size_t>(write_pos - cached_read_pos_);
    }
    const std::size_t count = std::min(vacant, values.size());
    if (count == 0) return 0;
    const std::size_t start = static_cast<std::size_t>(write_pos % ring.capacity);
    const std::size_t first = std::min(count, ring.capacity - start);
    std::memcpy(ring.data.get() + start, values.data(), first * sizeof(float));
    std::memcpy(ring.data.get(), values.data() + first, (count - first) * sizeof(float));
    ring.write_pos.store(write_pos + count, std::memory_order_release);
    return count;
  }

  std::size_t capacity() const { return ring_->capacity; }
  bool valid() const { return ring_ != nullptr; }

 private:
  friend std::pair<RouteProducer, RouteConsumer> make_route_ring(std::size_t capacity);
  explicit RouteProducer(std::shared_ptr<detail::RingStorage> ring) : ring_(std::move(ring)) {}

  std::shared_ptr<detail::RingStorage> ring_;
  std::uint64_t cached_read_pos_ = 0;
};

// The reading end. Movable between threads, used by one thread at a time.
class RouteConsumer {
 public:
  RouteConsumer() = default;
  // One end, one holder: copies would let two threads share a side.
  RouteConsumer(const RouteConsumer&) = delete;
  RouteConsumer& operator=(const RouteConsumer&) = delete;
  RouteConsumer(RouteConsumer&&) noexcept = default;
  RouteConsumer& operator=(RouteConsumer&&) noexcept = default;

  // Values written and not yet read.
  std::size_t available() {
    cached_write_pos_ = ring_->write_pos.load(std::memory_order_acquire);
    return static_cast<std::size_t>(cached_write_pos_ - ring_->read_pos.load(std::memory_order_relaxed));
  }

  // Copies up to out.size() values in write order and frees their room.
  std::size_t read(std::span<float> out) {
    detail::RingStorage& ring = *ring_;
    const std::uint64_t read_pos = ring.read_pos.load(std::memory_order_relaxed);
    std::size_t filled = static_cast<std::size_t>(cached_write_pos_ - read_pos);
    if (filled < out.size()) {
      cached_write_pos_ = ring.write_pos.load(std::memory_order_acquire);
      filled = static_cast<std::size_t>(cached_write_pos_ - read_pos);
    }
    const std::size_t count = std::min(filled, out.size());
    if (count == 0) return 0;
    const std::size_t start = static_cast<std::size_t>(read_pos % ring.capacity);
    const std::size_t first = std::min(count, ring.capacity - start);
    std::memcpy(out.data(), ring.data.get() + start, first * sizeof(float));
    std::memcpy(out.data() + first, ring.data.get(), (count - first) * sizeof(float));
    ring.read_pos.store(read_pos + count, std::memory_order_release);
    return count;
  }

  std::size_t capacity() const { return ring_->capacity; }
  bool valid() const { return ring_ != nullptr; }

 private:
  friend std::pair<RouteProducer, RouteConsumer> make_route_ring(std::size_t capacity);
  explicit RouteConsumer(std::shared_ptr<detail::RingStorage> ring) : ring_(std::move(ring)) {}

  std::shared_ptr<detail::RingStorage> ring_;
  std::uint64_t cached_write_pos_ = 0;
};

inline std::pair<RouteProducer, RouteConsumer> make_route_ring(std::size_t capacity) {
  auto ring = std::make_shared<detail::RingStorage>(std::max<std::size_t>(capacity, 1));
  return {RouteProducer(ring), RouteConsumer(ring)};
}

}  // namespace core_engine::engine
