// result.h: `Result<T>`, a value or a one-line failure text. Failures cross module
// boundaries as values; nothing here throws. Used from every thread.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace brask {

struct Failure {
  std::string text;  // one line, no newline
};

inline Failure fail(std::string text) {
  return Failure{std::move(text)};
}

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure.text)) {}

  bool ok() const { return state_.index() == 0; }

  T& operator*() {
    assert(ok());
    return *std::get_if<0>(&state_);
  }
  const T& operator*() const {
    assert(ok());
    return *std::get_if<0>(&state_);
  }
  T* operator->() { return &**this; }
  const T* operator->() const { return &**this; }
  T&& take() && {
    assert(ok());
    return std::move(*std::get_if<0>(&state_));
  }

  const std::string& error() const {
    assert(!ok());
    return *std::get_if<1>(&state_);
  }
  Failure failure() const { return Failure{error()}; }

 private:
  std::variant<T, std::string> state_;
};

// "Nothing, or a text". Default-constructed means success.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure failure) : failed_(true), text_(std::move(failure.text)) {}

  bool ok() const { return !failed_; }
  const std::string& error() const {
    assert(!ok());
    return text_;
  }
  Failure failure() const { return Failure{error()}; }

 private:
  bool failed_ = false;
  std::string text_;
};

}  // namespace brask
