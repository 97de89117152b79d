#pragma once
// The body of gd(f, grad, x0, *, options=None, debug=None), after the call
// frame has bound the arguments and converted x0.

#include <Python.h>

#include "bindings/convert.hpp"
#include "bindings/error.hpp"
#include "bindings/handle.hpp"

namespace marlune::bindings {

struct GdArgs {
  PyRef f;
  PyRef grad;
  Vec x0;
  PyObject* options = nullptr;  // borrowed; null when absent or None
  PyObject* debug = nullptr;    // borrowed; null when absent or None
};

// (x, f, converged) or (x, f, converged, history).
PyResult<PyRef> gd(GdArgs args);

}  // namespace marlune::bindings
