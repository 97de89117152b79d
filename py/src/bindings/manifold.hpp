#pragma once
// PyVecManifold: the space every solver of this module runs in. Euclidean
// unless the caller's manifold object supplies Python operations; after any
// failure of those, the Euclidean operation stands in for the rest of the
// run and the error is raised when the run is over.

#include <Python.h>

#include <span>
#include <utility>

#include "bindings/callbacks.hpp"
#include "bindings/error.hpp"
#include "bindings/handle.hpp"
#include "manifolds/space.hpp"

namespace marlune::bindings {

class PyVecManifold {
 public:
  using Vec = manifolds::space::Vec;

  // Builds the space from the `manifold` option (null when absent) and hands
  // back a second handle to the manifold's own error store, which is
  // separate from the store of the user callbacks.
  static PyResult<std::pair<PyVecManifold, PyErrStateRef>> from_python(PyObject* obj);

  void scale_into(Vec& out, std::span<const double> v, double alpha) {
    manifolds::space::euclidean_scale_into(out, v, alpha);
  }
  void retract_into(Vec& out, std::span<const double> x, std::span<const double> d, double alpha,
                    Vec& /*scratch*/) {
    manifolds::space::euclidean_retract_into(out, x, d, alpha);
  }
  double tangent_norm(std::span<const double> v) { return manifolds::space::euclidean_norm(v); }

 private:
  explicit PyVecManifold(PyErrStateRef err) : err_(std::move(err)) {}

  PyErrStateRef err_;
  // Python operations of the manifold object; absent means Euclidean.
  PyRef retract_;
  PyRef tangent_norm_;
  PyRef scale_;
  PyRef add_;
  PyRef difference_;
};

static_assert(manifolds::space::Space<PyVecManifold>);

}  // namespace marlune::bindings
