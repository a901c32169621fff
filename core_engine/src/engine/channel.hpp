// Bounded channel shared by every queue of the system (stream commands, ASR
// chunks, lifecycle completions). try_send and try_receive never lock, never
// wait and never allocate, so real-time threads may use them; the blocking and
// timed receives are for non-real-time receivers. A channel is disconnected
// when its last sender or its receiver goes away.
//
// The slot array is a bounded MPMC queue: every cell carries a sequence number
// saying whose turn it is. Sequences are doubled (2*pos free, 2*pos+1 full) so
// that a capacity of one works too.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "result.hpp"

namespace core_engine::engine {

enum class SendErrorKind : std::uint8_t { Full, Disconnected };

// A refused send gives the value back.
template <typename T>
struct SendError {
  SendErrorKind kind;
  T value;
};

enum class ReceiveError : std::uint8_t { Empty, Timeout, Disconnected };

namespace detail {

template <typename T>
class ChannelState {
 public:
  explicit ChannelState(std::size_t capacity)
      : capacity_(std::max<std::size_t>(capacity, 1)), cells_(std::make_unique<Cell[]>(capacity_)) {
    for (std::size_t i = 0; i < capacity_; ++i) cells_[i].sequence.store(2 * i, std::memory_order_relaxed);
  }
  ChannelState(const ChannelState&) = delete;
  ChannelState& operator=(const ChannelState&) = delete;

  ~ChannelState() {
    while (auto value = dequeue()) {
      value->~T();
    }
  }

  std::size_t capacity() const { return capacity_; }

  // Constructs the value in a free cell; false when every cell is taken.
  bool enqueue(T& value) {
    std::uint64_t pos = enqueue_pos_.load(std::memory_order_relaxed);
    Cell* cell = nullptr;
    for (;;) {
      cell = &cells_[pos % capacity_];
      const std::uint64_t sequence = cell->sequence.load(std::memory_order_acquire);
      const auto diff = static_cast<std::int64_t>(sequence - 2 * pos);
      if (diff == 0) {
        if (enqueue_pos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
      } else if (diff < 0) {
        return false;
      } else {
        pos = enqueue_pos_.load(std::memory_order_relaxed);
      }
    }
    ::new (static_cast<void*>(cell->storage)) T(std::move(value));
    cell->sequence.store(2 * pos + 1, std::memory_order_release);
    return true;
  }

  // Moves the oldest value out into `out`; false when none is ready.
  bool dequeue_into(std::optional<T>& out) {
    T* value = dequeue();
    if (value == nullptr) return false;
    out.emplace(std::move(*value));
    value->~T();
    release_cell();
    return true;
  }

  std::atomic<std::size_t> senders{1};
  std::atomic<bool> receiver_alive{true};
  // Bumped after every send and at disconnection to wake blocked receivers.
  std::atomic<std::uint32_t> signal{0};

 private:
  struct Cell {
    std::atomic<std::uint64_t> sequence{0};
    alignas(T) unsigned char storage[sizeof(T)];
  };

  // Claims the oldest full cell and returns its value; release_cell() must
  // follow once the value has been moved out. Remembers the claimed position.
  T* dequeue() {
    std::uint64_t pos = dequeue_pos_.load(std::memory_order_relaxed);
    for (;;) {
      Cell& cell = cells_[pos % capacity_];
      const std::uint64_t sequence = cell.sequence.load(std::memory_order_acquire);
      const auto diff = static_cast<std::int64_t>(sequence - (2 * pos + 1));
      if (diff == 0) {
        if (dequeue_pos_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
          claimed_ = pos;
          return std::launder(reinterpret_cast<T*>(cell.storage));
        }
      } else if (diff < 0) {
        return nullptr;
      } else {
        pos = dequeue_pos_.load(std::memory_order_relaxed);
      }
    }
  }

  void release_cell() {
    cells_[claimed_ % capacity_].sequence.store(2 * (claimed_ + capacity_), std::memory_order_release);
  }

  const std::size_t capacity_;
  const std::unique_ptr<Cell[]> cells_;
  alignas(64) std::atomic<std::uint64_t> enqueue_pos_{0};
  alignas(64) std::atomic<std::uint64_t> dequeue_pos_{0};
  // Only the single receiver dequeues, so this needs no synchronisation.
  std::uint64_t claimed_ = 0;
};

}  // namespace detail

template <typename T>
class Sender;
template <typename T>
class Receiver;

template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity);

// Sending end; copies share the channel and count as separate senders.
template <typename T>
class Sender {
 public:
  Sender() = default;
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) state_->senders.fetch_add(1, std::memory_order_relaxed);
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() { reset(); }

  // Never blocks, locks or allocates.
  Result<void, SendError<T>> try_send(T value) {
    if (!state_->receiver_alive.load(std::memory_order_acquire)) {
      return Err{SendError<T>{SendErrorKind::Disconnected, std::move(value)}};
    }
    if (!state_->enqueue(value)) return Err{SendError<T>{SendErrorKind::Full, std::move(value)}};
    wake();
    return Ok{};
  }

  bool valid() const { return state_ != nullptr; }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t capacity);
  explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  void wake() {
    state_->signal.fetch_add(1, std::memory_order_release);
    state_->signal.notify_all();
  }

  void reset() {
    if (!state_) return;
    if (state_->senders.fetch_sub(1, std::memory_order_acq_rel) == 1) wake();
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

// Receiving end; there is exactly one.
template <typename T>
class Receiver {
 public:
  Receiver() = default;
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      disconnect();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { disconnect(); }

  // Never blocks, locks or allocates: Empty or Disconnected when nothing is ready.
  Result<T, ReceiveError> try_receive() {
    std::optional<T> out;
    if (state_->dequeue_into(out)) return std::move(*out);
    // Every send happens before its sender's release of the count, so once
    // the count reads zero one more look sees everything ever sent.
    if (state_->senders.load(std::memory_order_acquire) != 0) return Err{ReceiveError::Empty};
    if (state_->dequeue_into(out)) return std::move(*out);
    return Err{ReceiveError::Disconnected};
  }

  // Waits for a value; Disconnected once the channel is empty and senderless.
  Result<T, ReceiveError> receive() {
    for (;;) {
      const std::uint32_t seen = state_->signal.load(std::memory_order_acquire);
      auto result = try_receive();
      if (result.ok() || result.error() == ReceiveError::Disconnected) return result;
      state_->signal.wait(seen, std::memory_order_acquire);
    }
  }

  // Waits until `deadline` at the latest; Timeout when nothing arrived.
  template <typename Clock, typename Duration>
  Result<T, ReceiveError> receive_until(std::chrono::time_point<Clock, Duration> deadline) {
    // There is no timed atomic wait in C++20, so poll with a growing pause:
    // the waits this serves are seconds long, the pause at most a millisecond.
    auto pause = std::chrono::microseconds(20);
    for (;;) {
      auto result = try_receive();
      if (result.ok() || result.error() == ReceiveError::Disconnected) return result;
      const auto now = Clock::now();
      if (now >= deadline) return Err{ReceiveError::Timeout};
      std::this_thread::sleep_for(std::min<typename Clock::duration>(
          std::chrono::duration_cast<typename Clock::duration>(pause), deadline - now));
      pause = std::min(pause * 2, std::chrono::microseconds(1000));
    }
  }

  template <typename Rep, typename Period>
  Result<T, ReceiveError> receive_timeout(std::chrono::duration<Rep, Period> timeout) {
    return receive_until(std::chrono::steady_clock::now() + timeout);
  }

  std::size_t capacity() const { return state_->capacity(); }
  bool valid() const { return state_ != nullptr; }

 private:
  friend std::pair<Sender<T>, Receiver<T>> make_channel<T>(std::size_t capacity);
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}

  void disconnect() {
    if (state_) state_->receiver_alive.store(false, std::memory_order_release);
    state_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> state_;
};

// A channel holding at most `capacity` values (at least one).
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::size_t capacity) {
  auto state = std::make_shared<detail::ChannelState<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(std::move(state))};
}

}  // namespace core_engine::engine
