#include "bindings/validation.hpp"

#include <cmath>

#include "text/number_format.hpp"

namespace marlune::bindings::validation {
namespace {

// Every check spells its condition so that a NaN fails it: NaN compares false
// with everything, and std::isfinite rejects it as well.
Checked<double> check(bool passes, double x, std::string_view name, std::string_view requirement) {
  if (passes) return Checked<double>::pass(x);
  std::string message(name);
  message += requirement;
  message += ", got ";
  message += text::shortest_decimal(x);
  return Checked<double>::fail(std::move(message));
}

}  // namespace

Checked<std::uint64_t> nonzero_usize(std::string_view name, std::uint64_t n) {
  if (n != 0) return Checked<std::uint64_t>::pass(n);
  std::string message(name);
  message += " must be > 0";
  return Checked<std::uint64_t>::fail(std::move(message));
}

Checked<double> finite_open_unit(std::string_view name, double x) {
  return check(std::isfinite(x) && x > 0.0 && x < 1.0, x, name, " must be finite and in (0,1)");
}

Checked<double> finite_nonnegative(std::string_view name, double x) {
  return check(std::isfinite(x) && x >= 0.0, x, name, " must be finite and >= 0");
}

Checked<double> finite_open_closed_unit(std::string_view name, double x) {
  return check(std::isfinite(x) && x > 0.0 && x <= 1.0, x, name, " must be finite and in (0,1]");
}

Checked<double> finite(std::string_view name, double x) {
  return check(std::isfinite(x), x, name, " must be finite");
}

Checked<double> finite_gt(std::string_view name, double x, double lower) {
  if (std::isfinite(x) && x > lower) return Checked<double>::pass(x);
  return check(false, x, name, " must be finite and > " + text::shortest_decimal(lower));
}

}  // namespace marlune::bindings::validation
