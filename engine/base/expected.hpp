// A value or an error, returned up the call chain instead of throwing.
//
// Every failure travels as a value, internal failures and exhausted memory
// included: nothing in the module throws. [[nodiscard]] makes an ignored
// failure a warning.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace tessaly {

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Expected(E error) requires(!std::is_same_v<T, E>)
      : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Unchecked, like the dereference of an optional: test ok() first.
  T& value() & noexcept { return *std::get_if<0>(&state_); }
  const T& value() const& noexcept { return *std::get_if<0>(&state_); }
  T&& value() && noexcept { return std::move(*std::get_if<0>(&state_)); }
  E& error() & noexcept { return *std::get_if<1>(&state_); }
  const E& error() const& noexcept { return *std::get_if<1>(&state_); }
  E&& error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  // User-provided: `return {};` must not zero the room of an error first.
  Expected() noexcept {}
  Expected(E error) : error_(std::move(error)) {}

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  E& error() & noexcept { return *error_; }
  const E& error() const& noexcept { return *error_; }
  E&& error() && noexcept { return *std::move(error_); }

 private:
  std::optional<E> error_;
};

}  // namespace tessaly

#define TESSALY_CONCAT_(a, b) a##b
#define TESSALY_CONCAT(a, b) TESSALY_CONCAT_(a, b)

// Return the error of `expr` from the enclosing function, or go on.
#define TRY(expr)                                  \
  do {                                             \
    auto&& tessaly_try_ = (expr);                  \
    if (!tessaly_try_.ok())                        \
      return std::move(tessaly_try_).error();      \
  } while (0)

// `lhs = value of expr`, or return its error from the enclosing function.
#define TRY_ASSIGN(lhs, expr) TRY_ASSIGN_(TESSALY_CONCAT(tessaly_try_, __LINE__), lhs, expr)
#define TRY_ASSIGN_(tmp, lhs, expr)       \
  auto tmp = (expr);                      \
  if (!tmp.ok()) return std::move(tmp).error(); \
  lhs = std::move(tmp).value()
