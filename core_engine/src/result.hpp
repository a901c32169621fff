// A small value-or-error type: every fallible operation of the engine returns
// one instead of throwing, so errors can cross threads and real-time paths.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <optional>
#include <variant>

namespace core_engine {

template <typename E>
struct Err {
  E error;
};

template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT(google-explicit-constructor)
  template <typename F, typename = std::enable_if_t<std::is_convertible_v<F, E>>>
  Result(Err<F> err) : storage_(std::in_place_index<1>, E(std::move(err.error))) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return storage_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(storage_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(storage_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(storage_));
  }
  const E& error() const& {
    assert(!ok());
    return std::get<1>(storage_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(storage_));
  }

 private:
  std::variant<T, E> storage_;
};

// Success carries nothing.
struct Ok {};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result(Ok /*unused*/) {}  // NOLINT(google-explicit-constructor)
  template <typename F, typename = std::enable_if_t<std::is_convertible_v<F, E>>>
  Result(Err<F> err) : error_(std::in_place, E(std::move(err.error))) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }

  const E& error() const& {
    assert(!ok());
    return *error_;
  }
  E&& error() && {
    assert(!ok());
    return std::move(*error_);
  }

 private:
  std::optional<E> error_;
};

}  // namespace core_engine
