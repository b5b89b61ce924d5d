// A value or an error value. The core reports every failure this way and
// never throws; the Python layer turns the error into an exception.
#pragma once

#include <utility>
#include <variant>

namespace kelvra {

template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <class T, class E>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

}  // namespace kelvra
