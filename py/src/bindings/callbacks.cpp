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
  if (err_->halted()) return kNeutral;
  PyResult<double> v = call_value(x);
  if (v.ok()) return v.value();
  err_->set_once(v.take_error());
  return kNeutral;
}

PyStatus PyObjectiveCallbacks::call_gradient(std::span<const double> x, std::span<double> out) {
  MARLUNE_TRY(PyRef arg, vec_to_list(x));
  PyRef result = PyRef::steal(call1(grad_.get(), arg.get()));
  if (!result) return PyErr::fetch();
  MARLUNE_TRY(std::size_t k, extract_vec1_into(result.get(), out, spill_));
  if (k != out.size()) {
    return PyErr::value_error("gradient length mismatch: expected " + std::to_string(out.size()) +
                              ", got " + std::to_string(k));
  }
  return ok();  // entries are not checked for finiteness: the solver sees them as they are
}

void PyObjectiveCallbacks::gradient_into(std::span<const double> x, std::span<double> out) {
  if (!err_->halted()) {
    PyStatus status = call_gradient(x, out);
    if (status.ok()) return;
    err_->set_once(status.take_error());
  }
  std::fill(out.begin(), out.end(), 0.0);
}

namespace {

PyErr length_mismatch(const char* what, std::size_t expected, std::size_t got) {
  return PyErr::value_error(std::string(what) + " length mismatch: expected " + std::to_string(expected) +
                            ", got " + std::to_string(got));
}

PyErr jacobian_size_mismatch() { return PyErr::value_error("jacobian size mismatch"); }

void zero(std::span<double> out) { std::fill(out.begin(), out.end(), 0.0); }

}  // namespace

PyResult<std::size_t> PyLeastSquaresCallbacks::infer_residual_dim(std::span<const double> x0) {
  MARLUNE_TRY(PyRef arg, vec_to_list(x0));
  PyRef result = PyRef::steal(call1(residual_.get(), arg.get()));
  if (!result) return PyErr::fetch();
  MARLUNE_TRY(Vec r, extract_vec1(result.get()));
  if (r.empty()) return PyErr::value_error("residual(x0) returned empty list; cannot infer residual dimension m");
  m_ = r.size();
  const std::size_t n = x0.size();
  // The work buffers of the run, allocated once here rather than per call.
  if (!jacobian_ && jacobian_vec_) {
    unit_.assign(n, 0.0);
    column_.assign(m_, 0.0);
  }
  if (project_) projected_.assign(n, 0.0);
  return m_;
}

PyStatus PyLeastSquaresCallbacks::call_residual(std::span<const double> x, std::span<double> out) {
  MARLUNE_TRY(PyRef arg, vec_to_list(x));
  PyRef result = PyRef::steal(call1(residual_.get(), arg.get()));
  if (!result) return PyErr::fetch();
  MARLUNE_TRY(std::size_t k, extract_vec1_into(result.get(), out, spill_));
  if (k != out.size()) return length_mismatch("residual", out.size(), k);
  return ok();  // not checked for finiteness
}

void PyLeastSquaresCallbacks::residual_into(std::span<const double> x, std::span<double> out) {
  if (!err_->halted()) {
    PyStatus status = call_residual(x, out);
    if (status.ok()) return;
    err_->set_once(status.take_error());
  }
  zero(out);
}

PyStatus PyLeastSquaresCallbacks::call_jacobian(std::span<const double> x, std::span<double> out) {
  MARLUNE_TRY(PyRef arg, vec_to_list(x));
  PyRef result = PyRef::steal(call1(jacobian_.get(), arg.get()));
  if (!result) return PyErr::fetch();
  // A 2-D float64 array is read in its own row-major order; only the
  // element count is checked, so any shape holding m·n values is taken.
  MARLUNE_TRY(std::optional<Float64Array> array, Float64Array::from(result.get()));
  if (array && array->ndim() == 2) {
    if (array->size() != out.size()) return jacobian_size_mismatch();
    array->copy_to(out);
    return ok();
  }
  // Anything else must be a flat sequence of numbers: a list of rows fails
  // in the conversion, since a row is not a number.
  MARLUNE_TRY(std::size_t k, extract_vec1_into(result.get(), out, spill_));
  if (k != out.size()) return jacobian_size_mismatch();
  return ok();
}

PyStatus PyLeastSquaresCallbacks::call_jacobian_vec(std::span<const double> x, std::span<double> out) {
  const std::size_t n = x.size();
  if (n == 0 || out.size() % n != 0) return jacobian_size_mismatch();
  const std::size_t m = out.size() / n;
  unit_.resize(n, 0.0);  // sized once per run by infer_residual_dim
  column_.resize(m, 0.0);
  // Column j is J·e_j. Columns go straight into `out`; a failure part-way
  // zeroes it in the caller, so no partly filled Jacobian is ever seen.
  for (std::size_t j = 0; j < n; ++j) {
    unit_[j] = 1.0;
    PyResult<PyRef> x_list = vec_to_list(x);
    PyResult<PyRef> e_list = vec_to_list(unit_);
    unit_[j] = 0.0;
    if (!x_list.ok()) return x_list.take_error();
    if (!e_list.ok()) return e_list.take_error();
    PyObject* args[3] = {nullptr, x_list.value().get(), e_list.value().get()};
    PyRef result = PyRef::steal(
        PyObject_Vectorcall(jacobian_vec_.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return PyErr::fetch();
    MARLUNE_TRY(std::size_t k, extract_vec1_into(result.get(), column_, spill_));
    if (k != m) return length_mismatch("jacobian_vec", m, k);
    for (std::size_t i = 0; i < m; ++i) out[i * n + j] = column_[i];
  }
  return ok();
}

void PyLeastSquaresCallbacks::jacobian_into(std::span<const double> x, std::span<double> out) {
  if (!err_->halted()) {
    PyStatus status = jacobian_         ? call_jacobian(x, out)
                      : jacobian_vec_   ? call_jacobian_vec(x, out)
                                        : PyStatus(PyErr::value_error("jacobian or jacobian_vec must be provided"));
    if (status.ok()) return;
    err_->set_once(status.take_error());
  }
  zero(out);
}

PyStatus PyLeastSquaresCallbacks::call_project(std::span<double> x) {
  MARLUNE_TRY(PyRef arg, vec_to_list(x));
  PyRef result = PyRef::steal(call1(project_.get(), arg.get()));
  if (!result) return PyErr::fetch();
  projected_.resize(x.size(), 0.0);  // sized once per run by infer_residual_dim
  MARLUNE_TRY(std::size_t k, extract_vec1_into(result.get(), projected_, spill_));
  if (k != x.size()) return length_mismatch("project", x.size(), k);
  std::copy(projected_.begin(), projected_.end(), x.begin());
  return ok();
}

void PyLeastSquaresCallbacks::project_in_place(std::span<double> x) {
  if (!project_ || err_->halted()) return;
  PyStatus status = call_project(x);
  if (!status.ok()) err_->set_once(status.take_error());  // x is left as it was
}

}  // namespace marlune::bindings
