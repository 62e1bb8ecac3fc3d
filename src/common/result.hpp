#pragma once
// Result<T>: a value or an error, in the manner of std::expected (C++23).

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/error.hpp"

namespace quarnel {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  requires std::is_constructible_v<E, G&&> Result(Unexpected<G> failure)
      : state_(std::in_place_index<1>, std::move(failure.error)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}
  // Lets an error of a narrower kind (an Error into a richer error type)
  // pass straight through a `return`.
  template <class G>
  requires(!std::is_same_v<std::remove_cvref_t<G>, E> && !std::is_same_v<std::remove_cvref_t<G>, T> &&
           std::is_constructible_v<E, G&&> && !std::is_constructible_v<T, G&&>) Result(G&& error)
      : state_(std::in_place_index<1>, E(std::forward<G>(error))) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & {
    assert(has_value());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(has_value());
    return std::get<0>(std::move(state_));
  }
  T& operator*() & { return value(); }
  T* operator->() { return &value(); }

  E& error() & {
    assert(!has_value());
    return std::get<1>(state_);
  }
  E&& error() && {
    assert(!has_value());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, E> state_;
};

// A Result that carries no value on success.
struct Ok {};

// Binds `name` to the value of `expr`, or returns its error from the
// enclosing function.
#define QUARNEL_TRY(name, expr)                                  \
  auto name##_result_ = (expr);                                  \
  if (!name##_result_) return std::move(name##_result_).error(); \
  auto&& name = std::move(name##_result_).value()

// Returns the error of `expr` from the enclosing function, if it has one.
#define QUARNEL_CHECK(expr)                            \
  do {                                                 \
    if (auto check_result_ = (expr); !check_result_) { \
      return std::move(check_result_).error();         \
    }                                                  \
  } while (false)

}  // namespace quarnel
