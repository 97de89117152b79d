#pragma once
// Wrappers that call user code during a solver run. A solver never sees a
// Python error: the first failure is parked in the call's PyErrState, the
// solver gets a neutral value, and the entry point raises the parked error
// once the run is over.

#include <Python.h>

#include <memory>
#include <optional>
#include <span>

#include "bindings/error.hpp"
#include "bindings/handle.hpp"

namespace marlune::bindings {

// First-error store, shared by the wrappers of one call. First error wins;
// later ones are dropped.
class PyErrState {
 public:
  bool has_error() const { return err_.has_value(); }
  void set_once(PyErr err) {
    if (!err_) err_.emplace(std::move(err));
  }
  // Takes the stored error out (nothing when the store is empty).
  std::optional<PyErr> take() {
    std::optional<PyErr> out = std::move(err_);
    err_.reset();
    return out;
  }

 private:
  std::optional<PyErr> err_;
};

using PyErrStateRef = std::shared_ptr<PyErrState>;

// The objective and gradient of one gd call.
class PyObjectiveCallbacks {
 public:
  PyObjectiveCallbacks(PyRef f, PyRef grad, PyErrStateRef err)
      : f_(std::move(f)), grad_(std::move(grad)), err_(std::move(err)) {}

  // f(x); +inf once an error is stored (or on this call's failure).
  double value(std::span<const double> x);
  // grad(x) into out (length n); zeros once an error is stored.
  void gradient_into(std::span<const double> x, std::span<double> out);

 private:
  PyResult<double> call_value(std::span<const double> x);
  PyStatus call_gradient(std::span<const double> x, std::span<double> out);

  PyRef f_;
  PyRef grad_;
  PyErrStateRef err_;
};

}  // namespace marlune::bindings
