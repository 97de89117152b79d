#include "bindings/lm.hpp"

#include <memory>
#include <string>

#include "bindings/line_search.hpp"
#include "bindings/manifold.hpp"
#include "bindings/validation.hpp"
#include "solvers/lm/levenberg_marquardt.hpp"

namespace marlune::bindings {

PyResult<PyRef> lm(LsqArgs args) {
  // Without x0 nothing else is looked at, not even whether options is a dict.
  if (!args.x0) return x0_missing("lm");
  MARLUNE_TRY(auto differences, take_difference_scheme(args, "lm"));
  MARLUNE_TRY(PyOptions options,
              PyOptions::from_python("lm", "options", args.options,
                                     {"lambda", "lambda_", "lambda_up", "lambda_down", "step_scale", "max_iters",
                                      "tol_r", "tol_dx", "manifold", "line_search", "linear_system", "scaling", "tol_cost",
                                      "tol_dx_rel"}));
  MARLUNE_TRY(PyOptions debug, PyOptions::from_python("lm", "debug", args.debug, {"history", "verbose"}));

  // Read and checked in this order, before any user callable runs.
  MARLUNE_TRY(double lambda, read_lambda(options, "lm"));
  MARLUNE_TRY(double lambda_up, read_checked_f64(options, "lambda_up", 10.0, "lm", [](const std::string& name,
                                                                                     double x) {
                return validation::finite_gt(name, x, 1.0);
              }));
  MARLUNE_TRY(double lambda_down, read_checked_f64(options, "lambda_down", 0.5, "lm", validation::finite_open_unit));
  MARLUNE_TRY(double step_scale,
              read_checked_f64(options, "step_scale", 1.0, "lm", validation::finite_open_closed_unit));
  MARLUNE_TRY(double tol_r, read_checked_f64(options, "tol_r", 1e-6, "lm", validation::finite_nonnegative));
  MARLUNE_TRY(double tol_dx, read_checked_f64(options, "tol_dx", 1e-6, "lm", validation::finite_nonnegative));
  MARLUNE_TRY(std::optional<bool> history, debug.boolean("history"));

  MARLUNE_TRY(PyRef manifold_obj, options.py("manifold"));
  MARLUNE_TRY(auto manifold, PyVecManifold::from_python(manifold_obj.get()));
  auto& [space, manifold_err] = manifold;

  MARLUNE_TRY(std::optional<std::uint64_t> max_iters, options.usize("max_iters"));
  MARLUNE_TRY(std::optional<bool> verbose, debug.boolean("verbose"));
  // The opt-in settings, after every key of the original set (line_search
  // is only looked up later, and its lookup cannot fail on its value).
  MARLUNE_TRY(std::optional<std::string> system_text, options.string("linear_system"));
  MARLUNE_TRY(solvers::common::least_squares::LinearSystem linear_system, parse_linear_system(system_text, "lm"));
  MARLUNE_TRY(AccuracyOptions accuracy, read_accuracy_options(options, "lm", args.x0->size()));

  MARLUNE_TRY(LsqProblem problem, make_problem(args, differences));
  problem.err->join(*manifold_err);  // a failure in either store halts the whole call
  MARLUNE_TRY(PyRef line_search, options.py("line_search"));

  solvers::lm::LevenbergMarquardt<PyVecManifold> solver{
      .space = std::move(space),
      .lambda = lambda,
      .lambda_up = lambda_up,
      .lambda_down = lambda_down,
      .step_scale = step_scale,
      .max_iters = max_iters.value_or(100),
      .tol_r = tol_r,
      .tol_dx = tol_dx,
      .verbose = verbose.value_or(false),
      .history = history.value_or(false),
      .linear_system = linear_system,
      .scaling = std::move(accuracy.scaling),
      .tol_cost = accuracy.tol_cost,
      .tol_dx_rel = accuracy.tol_dx_rel,
  };
  auto residual = problem.residual();
  auto project = problem.project();
  auto stop = problem.stop();

  const auto result = problem.with_jacobian([&](auto& jacobian) {
    if (line_search) {
      PyLineSearchPolicy policy(std::move(line_search), problem.err);
      return solver.solve_with_fn(problem.m, std::move(*args.x0), residual, jacobian, project, policy, stop);
    }
    solvers::common::step_policy::CostDecrease policy;
    return solver.solve_with_fn(problem.m, std::move(*args.x0), residual, jacobian, project, policy, stop);
  });

  if (auto e = take_run_error(*problem.err, *manifold_err)) return std::move(*e);
  return least_squares_result_to_python(result, /*history_first=*/false);
}

}  // namespace marlune::bindings
