#pragma once
// What the gn and lm entry points share: their arguments, the damping option
// with its alias, the error stores checked after a run, and the conversion of
// a result into the returned tuple.

#include <Python.h>

#include <optional>

#include "bindings/callbacks.hpp"
#include "bindings/convert.hpp"
#include "bindings/error.hpp"
#include "bindings/handle.hpp"
#include "bindings/options.hpp"
#include "solvers/common/least_squares_run.hpp"

namespace marlune::bindings {

struct LsqArgs {
  PyRef residual;
  std::optional<Vec> x0;  // absent when not given or None
  PyRef jacobian;         // the optional callables: null when absent or None (jacobian may be a str)
  PyRef jacobian_vec;
  PyRef project;
  PyObject* options = nullptr;  // borrowed; null when absent or None
  PyObject* debug = nullptr;
};

// The user's problem for one run: the callbacks around a new first-error
// store, and m learned from residual(x0). The accessors give the callables
// the solvers take; they must be taken from the object in its final place.
struct LsqProblem {
  PyErrStateRef err;
  PyLeastSquaresCallbacks callbacks;
  std::size_t m = 0;
  // Set when jacobian was "2-point" or "3-point": the run differences the
  // residual itself instead of calling a Jacobian.
  std::optional<solvers::common::least_squares::DifferenceScheme> differences;

  // run(jacobian) with the Jacobian the solvers take: the caller's callable
  // (or jacobian_vec), or the finite differences.
  template <class Run>
  decltype(auto) with_jacobian(Run&& run) {
    if (differences) {
      solvers::common::least_squares::FiniteDifferences fd(*differences);
      return run(fd);
    }
    auto callable = jacobian();
    return run(callable);
  }

  auto residual() {
    return [this](std::span<const double> x, std::span<double> out) { callbacks.residual_into(x, out); };
  }
  auto jacobian() {
    return [this](std::span<const double> x, std::span<double> out) { callbacks.jacobian_into(x, out); };
  }
  auto project() {
    return [this](std::span<double> x) { callbacks.project_in_place(x); };
  }
  // Ends the run at the next iteration boundary once a callback, the policy
  // or (through the joined store) a manifold method has failed.
  auto stop() {
    return [this] { return err->halted(); };
  }
};

// A str `jacobian` names a difference scheme: "2-point" (forward) or
// "3-point" (central); any other text is "{context}: jacobian must be a
// callable, \"2-point\" or \"3-point\", got '{text}'". Takes the text out of
// args (the callbacks then see no Jacobian callable); nothing for a callable.
PyResult<std::optional<solvers::common::least_squares::DifferenceScheme>> take_difference_scheme(LsqArgs& args,
                                                                                                const char* context);

// Builds the store and the callbacks from the arguments (moved out of
// `args`) and calls residual(x0) once to learn m; that call's errors are
// returned at once. `differences` is the result of take_difference_scheme.
PyResult<LsqProblem> make_problem(LsqArgs& args,
                                  std::optional<solvers::common::least_squares::DifferenceScheme> differences);

// "{context}: x0 must be provided".
PyErr x0_missing(const char* context);

// `lambda` or its alias `lambda_` (never both), default 1e-3, checked as
// finite and >= 0 under the name "{context}: options.lambda" whichever key
// supplied it.
PyResult<double> read_lambda(const PyOptions& options, const char* context);

// An optional float read with its default and range-checked (the default
// included) by `check(name, value)`.
template <class Check>
PyResult<double> read_checked_f64(const PyOptions& options, const char* key, double fallback, const char* context,
                                  Check&& check) {
  MARLUNE_TRY(std::optional<double> value, options.f64(key));
  return checked(check(std::string(context) + ": options." + key, value.value_or(fallback)));
}

// "left_jjt" (the default when absent) or "normal_jtj", compared byte for
// byte; anything else is "{context}: linear_system must be 'left_jjt' or
// 'normal_jtj', got '{text}'".
PyResult<solvers::common::least_squares::LinearSystem> parse_linear_system(const std::optional<std::string>& text,
                                                                          const char* context);

// The opt-in accuracy settings both solvers share, read in this order:
// `scaling` ("none", "marquardt", or one positive finite scale per
// parameter), `tol_cost` and `tol_dx_rel` (finite and >= 0, 0 meaning off).
// n is the number of parameters.
struct AccuracyOptions {
  solvers::common::least_squares::Scaling scaling;
  double tol_cost = 0.0;
  double tol_dx_rel = 0.0;
};
PyResult<AccuracyOptions> read_accuracy_options(const PyOptions& options, const char* context, std::size_t n);

// The callbacks' error first, then the manifold's: the first one found is
// returned, to be raised in place of the result.
std::optional<PyErr> take_run_error(PyErrState& callbacks, PyErrState& manifold);

// (x, cost, iterations, r_norm, dx_norm, converged[, history]). The history
// is converted first when `history_first` (gn), last otherwise (lm); the
// order only decides which conversion failure is reported.
PyResult<PyRef> least_squares_result_to_python(const solvers::common::least_squares::LeastSquaresResult& result,
                                               bool history_first);

}  // namespace marlune::bindings
