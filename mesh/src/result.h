// Result types: a value or an error, never an exception across an interface.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vrell {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
  return {std::forward<E>(e)};
}

// A small stand-in for std::expected (C++23), enough for this code base.
template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(const T& v) : v_(std::in_place_index<0>, v) {}
  Expected(T&& v) : v_(std::in_place_index<0>, std::move(v)) {}
  template <class G>
  Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // REQUIRES: has_value()
  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // REQUIRES: !has_value()
  E& error() & { return *std::get_if<1>(&v_); }
  const E& error() const& { return *std::get_if<1>(&v_); }
  E&& error() && { return std::move(*std::get_if<1>(&v_)); }

  template <class U>
  T value_or(U&& fallback) const& {
    return has_value() ? value() : static_cast<T>(std::forward<U>(fallback));
  }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  Expected() = default;
  template <class G>
  Expected(Unexpected<G> u) : e_(std::move(u.error)) {}

  bool has_value() const noexcept { return !e_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  E& error() & { return *e_; }
  const E& error() const& { return *e_; }
  E&& error() && { return std::move(*e_); }

 private:
  std::optional<E> e_;
};

}  // namespace vrell
