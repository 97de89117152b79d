#include "bindings/gn.hpp"

#include <memory>
#include <string>
#include <string_view>

#include "bindings/line_search.hpp"
#include "bindings/manifold.hpp"
#include "bindings/validation.hpp"
#include "solvers/gn/gauss_newton.hpp"

namespace marlune::bindings {
namespace {

using solvers::gn::DampingUpdate;
using solvers::gn::GaussNewton;
using solvers::gn::LinearSystem;
using solvers::gn::LineSearchMethod;

PyResult<DampingUpdate> parse_damping_update(const std::optional<std::string>& text) {
  static constexpr std::pair<std::string_view, DampingUpdate> kChoices[] = {{"adaptive", DampingUpdate::adaptive},
                                                                           {"fixed", DampingUpdate::fixed}};
  return parse_choice(text, "adaptive", kChoices, "gn: damping_update must be 'adaptive' or 'fixed', got '");
}

PyResult<LineSearchMethod> parse_line_search_method(const std::optional<std::string>& text) {
  static constexpr std::pair<std::string_view, LineSearchMethod> kChoices[] = {
      {"armijo", LineSearchMethod::armijo},
      {"strict_decrease", LineSearchMethod::strict_decrease},
      {"none", LineSearchMethod::none}};
  return parse_choice(text, "armijo", kChoices,
                      "gn: line_search_method must be 'armijo', 'strict_decrease', or 'none', got '");
}

// How the step length is decided: the built-in policy of line_search_method
// (key absent or True), no line search (False), or a Python policy (any
// other value, None and non-callables included).
enum class StepKind { builtin, none, python };
struct StepChoice {
  StepKind kind;
  PyRef policy;  // the Python policy's object, for StepKind::python
};

PyResult<StepChoice> classify_line_search(PyRef value) {
  if (!value) return StepChoice{StepKind::builtin, PyRef()};
  auto flag = as_bool(value.get());
  if (!flag.ok()) {
    if (auto fatal = keep_fatal(flag.take_error())) return std::move(*fatal);
  } else if (flag.value()) {
    return StepChoice{*flag.value() ? StepKind::builtin : StepKind::none, PyRef()};
  }
  // Not a bool: the failed conversion is not reported.
  return StepChoice{StepKind::python, std::move(value)};
}

const std::initializer_list<std::string_view> kOptionKeys = {
    "lambda",  "lambda_", "step_scale", "max_iters",   "tol_r",        "tol_dx",   "damping_update", "linear_system",
    "line_search_method", "line_search", "ls_beta", "ls_min_step", "ls_max_steps", "c_armijo", "manifold",
    "scaling", "tol_cost", "tol_dx_rel"};

}  // namespace

PyResult<PyRef> gn(LsqArgs args) {
  // Every option is read and checked, in this order, before any user
  // callable runs, so the first wrong option is the one reported.
  if (!args.x0) return x0_missing("gn");
  MARLUNE_TRY(auto differences, take_difference_scheme(args, "gn"));
  MARLUNE_TRY(PyOptions options, PyOptions::from_python("gn", "options", args.options, kOptionKeys));
  MARLUNE_TRY(PyOptions debug, PyOptions::from_python("gn", "debug", args.debug, {"history", "verbose"}));

  MARLUNE_TRY(double lambda, read_lambda(options, "gn"));
  MARLUNE_TRY(double ls_beta, read_checked_f64(options, "ls_beta", 0.5, "gn", validation::finite_open_unit));
  MARLUNE_TRY(double ls_min_step, read_checked_f64(options, "ls_min_step", 1e-8, "gn", [](const std::string& name,
                                                                                          double x) {
                return validation::finite_gt(name, x, 0.0);
              }));
  MARLUNE_TRY(std::optional<std::uint64_t> ls_max_steps_opt, options.usize("ls_max_steps"));
  MARLUNE_TRY(std::uint64_t ls_max_steps,
              checked(validation::nonzero_usize("gn: options.ls_max_steps", ls_max_steps_opt.value_or(20))));
  MARLUNE_TRY(double c_armijo, read_checked_f64(options, "c_armijo", 1e-4, "gn", validation::finite));

  MARLUNE_TRY(std::optional<std::string> damping_text, options.string("damping_update"));
  MARLUNE_TRY(DampingUpdate damping_update, parse_damping_update(damping_text));
  MARLUNE_TRY(std::optional<std::string> system_text, options.string("linear_system"));
  MARLUNE_TRY(LinearSystem linear_system, parse_linear_system(system_text, "gn"));
  MARLUNE_TRY(std::optional<std::string> method_text, options.string("line_search_method"));
  MARLUNE_TRY(LineSearchMethod line_search_method, parse_line_search_method(method_text));

  MARLUNE_TRY(PyRef line_search_value, options.py("line_search"));
  MARLUNE_TRY(StepChoice step_choice, classify_line_search(std::move(line_search_value)));
  MARLUNE_TRY(std::optional<bool> history, debug.boolean("history"));

  MARLUNE_TRY(PyRef manifold_obj, options.py("manifold"));
  MARLUNE_TRY(auto manifold, PyVecManifold::from_python(manifold_obj.get()));
  auto& [space, manifold_err] = manifold;

  MARLUNE_TRY(std::optional<double> step_scale, options.f64("step_scale"));
  MARLUNE_TRY(std::optional<std::uint64_t> max_iters, options.usize("max_iters"));
  MARLUNE_TRY(std::optional<double> tol_r, options.f64("tol_r"));
  MARLUNE_TRY(std::optional<double> tol_dx, options.f64("tol_dx"));
  MARLUNE_TRY(std::optional<bool> verbose, debug.boolean("verbose"));
  // The opt-in settings come after every key of the original set, so a
  // mistake there is still the one reported first.
  MARLUNE_TRY(AccuracyOptions accuracy, read_accuracy_options(options, "gn", args.x0->size()));

  GaussNewton<PyVecManifold> solver{
      .space = std::move(space),
      .lambda = lambda,
      .step_scale = step_scale.value_or(1.0),
      .max_iters = max_iters.value_or(100),
      .tol_r = tol_r.value_or(1e-6),
      .tol_dx = tol_dx.value_or(1e-6),
      .damping_update = damping_update,
      .linear_system = linear_system,
      .line_search_method = line_search_method,
      .ls_beta = ls_beta,
      .ls_min_step = ls_min_step,
      .ls_max_steps = ls_max_steps,
      .c_armijo = c_armijo,
      .scaling = std::move(accuracy.scaling),
      .tol_cost = accuracy.tol_cost,
      .tol_dx_rel = accuracy.tol_dx_rel,
      .verbose = verbose.value_or(false),
      .history = history.value_or(false),
  };

  MARLUNE_TRY(LsqProblem problem, make_problem(args, differences));
  problem.err->join(*manifold_err);  // a failure in either store halts the whole call
  auto residual = problem.residual();
  auto project = problem.project();
  auto stop = problem.stop();

  const auto result = problem.with_jacobian([&](auto& jacobian) {
    if (step_choice.kind == StepKind::builtin) {
      return solver.solve_with_fn_default_line_search(problem.m, std::move(*args.x0), residual, jacobian, project,
                                                      stop);
    }
    if (step_choice.kind == StepKind::none) {
      solvers::common::step_policy::NoLineSearch policy;
      return solver.solve_with_fn(problem.m, std::move(*args.x0), residual, jacobian, project, policy, stop);
    }
    PyLineSearchPolicy policy(std::move(step_choice.policy), problem.err);
    return solver.solve_with_fn(problem.m, std::move(*args.x0), residual, jacobian, project, policy, stop);
  });

  if (auto e = take_run_error(*problem.err, *manifold_err)) return std::move(*e);
  return least_squares_result_to_python(result, /*history_first=*/true);
}

}  // namespace marlune::bindings
