#include "bindings/manifold.hpp"

#include <cmath>
#include <memory>
#include <string>

#include "bindings/convert.hpp"

namespace marlune::bindings {
namespace {

PyErr length_mismatch(const char* op, std::size_t expected, std::size_t got) {
  return PyErr::value_error(std::string("manifold.") + op + " length mismatch: expected " + std::to_string(expected) +
                            ", got " + std::to_string(got));
}

// fn(args...) with every vector passed as a new list and alpha as a float.
template <class... Lists>
PyResult<PyRef> call_with_alpha(PyObject* fn, double alpha, Lists... vectors) {
  PyResult<PyRef> lists[] = {vec_to_list(vectors)...};
  PyRef alpha_obj = PyRef::steal(PyFloat_FromDouble(alpha));
  for (auto& l : lists) {
    if (!l.ok()) return l.take_error();
  }
  if (!alpha_obj) return PyErr::fetch();
  constexpr std::size_t n = sizeof...(Lists);
  PyObject* args[n + 2] = {nullptr};
  for (std::size_t i = 0; i < n; ++i) args[i + 1] = lists[i].value().get();
  args[n + 1] = alpha_obj.get();
  PyRef result = PyRef::steal(PyObject_Vectorcall(fn, args + 1, (n + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) return PyErr::fetch();
  return result;
}

// A vector result of the expected length into `out`. On failure `out` is
// rewritten by the Euclidean fall-back, so it can be read into directly.
PyStatus read_vector(PyObject* result, const char* op, std::size_t n, Vec& out, Vec& spill) {
  out.resize(n);
  MARLUNE_TRY(std::size_t k, extract_vec1_into(result, out, spill));
  if (k != n) return length_mismatch(op, n, k);
  return ok();
}

}  // namespace

PyResult<PyRef> PyVecManifold::get_callable(PyObject* obj, const char* name) {
  // Presence first; AttributeError means absent, any other failure of the
  // lookup is the caller's to see.
  PyObject* probe = nullptr;
  const int present = PyObject_GetOptionalAttrString(obj, name, &probe);
  Py_XDECREF(probe);
  if (present < 0) return PyErr::fetch();
  if (present == 0) return PyRef();
  // Fetched again for use: a property is evaluated a second time here.
  PyRef fn = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (!fn) return PyErr::fetch();
  if (!PyCallable_Check(fn.get())) return PyErr::value_error(std::string("manifold.") + name + " must be callable");
  return fn;
}

PyResult<std::pair<PyVecManifold, PyErrStateRef>> PyVecManifold::from_python(PyObject* obj) {
  auto err = std::make_shared<PyErrState>();
  PyVecManifold manifold(err);
  if (obj != nullptr) {
    MARLUNE_TRY(manifold.retract_, get_callable(obj, "retract"));
    MARLUNE_TRY(manifold.tangent_norm_, get_callable(obj, "tangent_norm"));
    MARLUNE_TRY(manifold.scale_, get_callable(obj, "scale"));
    MARLUNE_TRY(manifold.add_, get_callable(obj, "add"));
    MARLUNE_TRY(manifold.difference_, get_callable(obj, "difference"));
  }
  return std::pair<PyVecManifold, PyErrStateRef>(std::move(manifold), std::move(err));
}

void PyVecManifold::scale_into(Vec& out, std::span<const double> v, double alpha) {
  if (python_path(scale_)) {
    auto result = call_with_alpha(scale_.get(), alpha, v);
    PyStatus status = result.ok() ? read_vector(result.value().get(), "scale", v.size(), out, spill_)
                                  : PyStatus(result.take_error());
    if (status.ok()) return;
    err_->set_once(status.take_error());
  }
  manifolds::space::euclidean_scale_into(out, v, alpha);
}

void PyVecManifold::retract_into(Vec& out, std::span<const double> x, std::span<const double> d, double alpha,
                                 Vec& /*scratch*/) {
  if (python_path(retract_)) {
    auto result = call_with_alpha(retract_.get(), alpha, x, d);
    PyStatus status = result.ok() ? read_vector(result.value().get(), "retract", x.size(), out, spill_)
                                  : PyStatus(result.take_error());
    if (status.ok()) return;
    err_->set_once(status.take_error());
  }
  manifolds::space::euclidean_retract_into(out, x, d, alpha);
}

double PyVecManifold::tangent_norm(std::span<const double> v) {
  if (python_path(tangent_norm_)) {
    auto norm = [&]() -> PyResult<double> {
      MARLUNE_TRY(PyRef arg, vec_to_list(v));
      PyRef result = PyRef::steal(call1(tangent_norm_.get(), arg.get()));
      if (!result) return PyErr::fetch();
      MARLUNE_TRY(double value, to_f64(result.get()));
      // Negative values are taken as they come; only non-finite ones would
      // poison every test the solver makes with the norm.
      if (!std::isfinite(value)) return PyErr::value_error("manifold.tangent_norm returned non-finite value");
      return value;
    }();
    if (norm.ok()) return norm.value();
    err_->set_once(norm.take_error());
  }
  return manifolds::space::euclidean_norm(v);
}

}  // namespace marlune::bindings
