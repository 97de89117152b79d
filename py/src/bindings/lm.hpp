#pragma once
// The body of lm(residual, x0=None, *, jacobian=None, jacobian_vec=None,
// project=None, options=None, debug=None), after the call frame has bound the
// arguments and converted x0.

#include "bindings/least_squares.hpp"

namespace marlune::bindings {

// (x, cost, iterations, r_norm, dx_norm, converged[, history]).
PyResult<PyRef> lm(LsqArgs args);

}  // namespace marlune::bindings
