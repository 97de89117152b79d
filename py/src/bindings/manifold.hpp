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
  // separate from the store of the user callbacks. Each of "retract",
  // "tangent_norm", "scale", "add" and "difference" is optional; a present
  // one must be callable.
  static PyResult<std::pair<PyVecManifold, PyErrStateRef>> from_python(PyObject* obj);

  // The attribute `name` of obj when present and callable; a null handle
  // when absent (AttributeError); the lookup's error or "manifold.{name}
  // must be callable" otherwise.
  static PyResult<PyRef> get_callable(PyObject* obj, const char* name);

  void scale_into(Vec& out, std::span<const double> v, double alpha);
  void retract_into(Vec& out, std::span<const double> x, std::span<const double> d, double alpha, Vec& scratch);
  double tangent_norm(std::span<const double> v);

 private:
  explicit PyVecManifold(PyErrStateRef err) : err_(std::move(err)) {}

  // True when the Python operation `fn` is to be used: present, and nothing
  // has failed yet in this call (here or in the joined callbacks' store).
  bool python_path(const PyRef& fn) const { return fn && !err_->halted(); }

  PyErrStateRef err_;
  // Python operations of the manifold object; absent means Euclidean. add
  // and difference are held (and checked) but no operation calls them.
  PyRef retract_;
  PyRef tangent_norm_;
  PyRef scale_;
  PyRef add_;
  PyRef difference_;
  Vec spill_;  // generic-sequence results, reused for the whole run
};

static_assert(manifolds::space::Space<PyVecManifold>);

}  // namespace marlune::bindings
