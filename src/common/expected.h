// A value or an error, for results that cross component interfaces without
// exceptions. A small stand-in for C++23's std::expected.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace qel {

template <class E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return Unexpected<std::decay_t<E>>(std::forward<E>(error));
}

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  template <class U = T>
    requires std::is_constructible_v<T, U&&> && (!std::is_same_v<std::decay_t<U>, Expected>)
  Expected(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
  template <class G>
  Expected(Unexpected<G> error) : state_(std::in_place_index<1>, std::move(error).error()) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { assert(has_value()); return *std::get_if<0>(&state_); }
  const T& value() const& { assert(has_value()); return *std::get_if<0>(&state_); }
  T&& value() && { assert(has_value()); return std::move(*std::get_if<0>(&state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { assert(!has_value()); return *std::get_if<1>(&state_); }
  const E& error() const& { assert(!has_value()); return *std::get_if<1>(&state_); }
  E&& error() && { assert(!has_value()); return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <class G>
  Expected(Unexpected<G> error) : error_(std::move(error).error()) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  void value() const { assert(has_value()); }

  E& error() & { assert(!has_value()); return *error_; }
  const E& error() const& { assert(!has_value()); return *error_; }
  E&& error() && { assert(!has_value()); return std::move(*error_); }

 private:
  std::optional<E> error_;
};

}  // namespace qel
