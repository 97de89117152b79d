#include "bindings/gd.hpp"

#include <memory>

#include "bindings/callbacks.hpp"
#include "bindings/line_search.hpp"
#include "bindings/manifold.hpp"
#include "bindings/options.hpp"
#include "bindings/trace.hpp"
#include "solvers/gd/gradient_descent.hpp"

namespace marlune::bindings {

using solvers::gd::GradientDescent;
using solvers::gd::OptimizeResult;

namespace {

PyResult<PyRef> result_to_python(const OptimizeResult& result) {
  PyRef history;
  if (result.trace) {
    MARLUNE_TRY(history, trace_records_to_pylist(*result.trace));
  }
  MARLUNE_TRY(PyRef x, vec_to_list(result.x));
  PyRef f = PyRef::steal(PyFloat_FromDouble(result.f));
  if (!f) return PyErr::fetch();
  PyObject* converged = result.converged ? Py_True : Py_False;
  PyObject* tuple = history ? PyTuple_Pack(4, x.get(), f.get(), converged, history.get())
                            : PyTuple_Pack(3, x.get(), f.get(), converged);
  if (tuple == nullptr) return PyErr::fetch();
  return PyRef::steal(tuple);
}

}  // namespace

PyResult<PyRef> gd(GdArgs args) {
  // Every option is read (and every mistake reported) before any user
  // callable runs; the order below decides which mistake is reported first.
  MARLUNE_TRY(PyOptions options,
              PyOptions::from_python("gd", "options", args.options,
                                     {"step_size", "max_iters", "tol_grad", "manifold", "line_search"}));
  MARLUNE_TRY(PyOptions debug, PyOptions::from_python("gd", "debug", args.debug, {"history", "verbose"}));
  MARLUNE_TRY(std::optional<bool> history, debug.boolean("history"));
  MARLUNE_TRY(PyRef manifold_obj, options.py("manifold"));
  MARLUNE_TRY(auto manifold, PyVecManifold::from_python(manifold_obj.get()));
  auto& [space, manifold_err] = manifold;
  MARLUNE_TRY(std::optional<double> step_size, options.f64("step_size"));
  MARLUNE_TRY(std::optional<std::uint64_t> max_iters, options.usize("max_iters"));
  MARLUNE_TRY(std::optional<double> tol_grad, options.f64("tol_grad"));
  MARLUNE_TRY(std::optional<bool> verbose, debug.boolean("verbose"));

  auto err = std::make_shared<PyErrState>();
  err->join(*manifold_err);  // a failure in either store halts the whole call
  PyObjectiveCallbacks callbacks(std::move(args.f), std::move(args.grad), err);
  auto value = [&](std::span<const double> x) { return callbacks.value(x); };
  auto gradient = [&](std::span<const double> x, std::span<double> out) { callbacks.gradient_into(x, out); };

  GradientDescent<PyVecManifold> solver{
      .space = std::move(space),
      .step_size = step_size.value_or(0.001),
      .max_iters = max_iters.value_or(100),
      .tol_grad = tol_grad.value_or(1e-6),
      .verbose = verbose.value_or(false),
      .history = history.value_or(false),
  };

  // Once anything has failed the run ends at the next iteration boundary.
  auto stop = [&] { return err->halted(); };

  MARLUNE_TRY(PyRef line_search, options.py("line_search"));
  OptimizeResult result;
  if (line_search) {
    PyLineSearchPolicy policy(std::move(line_search), err);
    result = solver.minimize_with_fn_and_line_search(std::move(args.x0), value, gradient, policy, stop);
  } else {
    result = solver.minimize_with_fn(std::move(args.x0), value, gradient, stop);
  }

  // The callbacks' error wins over the manifold's, whichever came first.
  if (auto e = err->take()) return std::move(*e);
  if (auto e = manifold_err->take()) return std::move(*e);
  return result_to_python(result);
}

}  // namespace marlune::bindings
