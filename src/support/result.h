// A value or an error: how failures travel up to the module boundary.
#pragma once

#include <utility>
#include <variant>

namespace quarvex {

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  E& error() & { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }
  const E& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace quarvex
