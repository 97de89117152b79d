#pragma once
// Range checks applied to option values after they are read. Each check takes
// the complete text that starts its message (such as "gn: options.ls_beta")
// and the value; it returns the value unchanged, or the full message that the
// Python layer raises as ValueError. Pure C++: no Python header, so the checks
// can be unit-tested on their own.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace marlune::bindings::validation {

// Either a value that passed its check or the message explaining why it did
// not; exactly one of the two is present.
template <class T>
class Checked {
 public:
  static Checked pass(T value) { return Checked(std::move(value), {}); }
  static Checked fail(std::string message) { return Checked(std::nullopt, std::move(message)); }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // Only meaningful when ok().
  const T& value() const { return *value_; }
  // Empty when ok().
  const std::string& error() const { return error_; }

 private:
  Checked(std::optional<T> value, std::string error) : value_(std::move(value)), error_(std::move(error)) {}

  std::optional<T> value_;
  std::string error_;
};

// n != 0; message "<name> must be > 0".
Checked<std::uint64_t> nonzero_usize(std::string_view name, std::uint64_t n);
// finite and 0 < x < 1.
Checked<double> finite_open_unit(std::string_view name, double x);
// finite and x >= 0 (-0.0 passes).
Checked<double> finite_nonnegative(std::string_view name, double x);
// finite and 0 < x <= 1 (both zeros fail).
Checked<double> finite_open_closed_unit(std::string_view name, double x);
// neither infinite nor NaN.
Checked<double> finite(std::string_view name, double x);
// finite and x > lower.
Checked<double> finite_gt(std::string_view name, double x, double lower);

}  // namespace marlune::bindings::validation
