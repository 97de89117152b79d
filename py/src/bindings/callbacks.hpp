#pragma once
// Wrappers that call user code during a solver run. A solver never sees a
// Python error: the first failure is parked in the call's PyErrState, the
// solver gets a neutral value, and the entry point raises the parked error
// once the run is over.

#include <Python.h>

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bindings/error.hpp"
#include "bindings/convert.hpp"
#include "bindings/handle.hpp"

namespace marlune::bindings {

// First-error store, shared by the wrappers of one call. First error wins;
// later ones are dropped.
//
// A call has two stores (the callbacks' and the manifold's, taken in that
// order after the run), joined so that an error in either halts both: once
// anything has failed, no user code of the call runs again (no callback, no
// manifold method, no policy, no projection), and the solver, told through
// its stop predicate, ends at its next iteration boundary. A Ctrl-C inside a
// manifold method must stop the run as promptly as one inside the residual.
class PyErrState {
 public:
  // True once this store or one joined with it holds an error.
  bool halted() const { return *halt_; }
  void set_once(PyErr err) {
    if (!err_) err_.emplace(std::move(err));
    *halt_ = true;
  }
  // Takes the stored error out (nothing when the store is empty).
  std::optional<PyErr> take() {
    std::optional<PyErr> out = std::move(err_);
    err_.reset();
    return out;
  }
  // Makes `other` halt with this store and this store with `other`; both
  // must still be empty.
  void join(PyErrState& other) { other.halt_ = halt_; }

 private:
  std::optional<PyErr> err_;
  std::shared_ptr<bool> halt_ = std::make_shared<bool>(false);
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
  Vec spill_;  // generic-sequence results, reused for the whole run
};

// The residual, Jacobian and projection of one gn or lm call. Outputs are
// always fully written: on any failure (the callable raised, its result does
// not convert or has the wrong length) the error is recorded once and the
// output is zeros (the projection leaves the point unchanged). Once the store
// holds an error, Python is not called again.
class PyLeastSquaresCallbacks {
 public:
  // jacobian, jacobian_vec and project may be null (absent).
  PyLeastSquaresCallbacks(PyRef residual, PyRef jacobian, PyRef jacobian_vec, PyRef project, PyErrStateRef err)
      : residual_(std::move(residual)),
        err_(std::move(err)),
        jacobian_(std::move(jacobian)),
        jacobian_vec_(std::move(jacobian_vec)),
        project_(std::move(project)) {}

  // residual(x0) once, to learn m. Errors are returned, not stored; an empty
  // result is an error. Also sizes the run's buffers for n = len(x0).
  PyResult<std::size_t> infer_residual_dim(std::span<const double> x0);

  void residual_into(std::span<const double> x, std::span<double> out);
  void jacobian_into(std::span<const double> x, std::span<double> out);
  void project_in_place(std::span<double> x);

  const PyErrStateRef& error_store() const { return err_; }

 private:
  PyStatus call_residual(std::span<const double> x, std::span<double> out);
  PyStatus call_jacobian(std::span<const double> x, std::span<double> out);
  PyStatus call_jacobian_vec(std::span<const double> x, std::span<double> out);
  PyStatus call_project(std::span<double> x);

  PyRef residual_;
  PyErrStateRef err_;
  PyRef jacobian_;
  PyRef jacobian_vec_;
  PyRef project_;
  std::size_t m_ = 0;
  // Work buffers, sized once per run: the unit vector handed to
  // jacobian_vec and the column it returns, the projected point (a failed
  // projection must leave x as it was), generic-sequence results.
  Vec unit_;
  Vec column_;
  Vec projected_;
  Vec spill_;
};

}  // namespace marlune::bindings
