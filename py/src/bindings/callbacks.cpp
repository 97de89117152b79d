#include "bindings/callbacks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "bindings/convert.hpp"

namespace marlune::bindings {

PyResult<double> PyObjectiveCallbacks::call_value(std::span<const double> x) {
  MARLUNE_TRY(PyRef arg, vec_to_list(x));
  PyRef result = PyRef::steal(call1(f_.get(), arg.get()));
  if (!result) return PyErr::fetch();
  MARLUNE_TRY(double v, to_f64(result.get()));
  if (!std::isfinite(v)) return PyErr::value_error("objective function must return finite float");
  return v;
}

double PyObjectiveCallbacks::value(std::span<const double> x) {
  constexpr double kNeutral = std::numeric_limits<double>::infinity();
  if (err_->has_error()) return kNeutral;
  PyResult<double> v = call_value(x);
  if (v.ok()) return v.value();
  err_->set_once(v.take_error());
  return kNeutral;
}

PyStatus PyObjectiveCallbacks::call_gradient(std::span<const double> x, std::span<double> out) {
  MARLUNE_TRY(PyRef arg, vec_to_list(x));
  PyRef result = PyRef::steal(call1(grad_.get(), arg.get()));
  if (!result) return PyErr::fetch();
  MARLUNE_TRY(Vec g, extract_vec1(result.get()));
  if (g.size() != out.size()) {
    return PyErr::value_error("gradient length mismatch: expected " + std::to_string(out.size()) +
                              ", got " + std::to_string(g.size()));
  }
  // Entries are not checked for finiteness: the solver sees them as they are.
  std::copy(g.begin(), g.end(), out.begin());
  return ok();
}

void PyObjectiveCallbacks::gradient_into(std::span<const double> x, std::span<double> out) {
  if (!err_->has_error()) {
    PyStatus status = call_gradient(x, out);
    if (status.ok()) return;
    err_->set_once(status.take_error());
  }
  std::fill(out.begin(), out.end(), 0.0);
}

}  // namespace marlune::bindings
