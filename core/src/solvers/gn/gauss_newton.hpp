#pragma once
// Damped Gauss-Newton for min ½‖r(x)‖² over a space. Each iteration takes
// the Jacobian at the current point, solves a damped system for a direction
// (J·Jᵀ + λ·I of order m, or Jᵀ·J + λ·I of order n), lets a step policy pick
// the step length, re-evaluates the accepted trial point and commits it.
// With adaptive damping λ grows tenfold on every failure and halves on every
// success, never below its configured value; with fixed damping λ stays put
// and the first failure ends the run (solvers/common/damping.hpp). With
// parameter scaling the damping term is λ·D² instead of λ·I.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "common/assert.hpp"
#include "solvers/common/damping.hpp"
#include "solvers/common/least_squares_run.hpp"
#include "solvers/common/step_policy.hpp"
#include "solvers/common/stop.hpp"
#include "solvers/gn/line_search.hpp"
#include "solvers/gn/workspace.hpp"

namespace marlune::solvers::gn {

using common::least_squares::JacobianFn;
using common::least_squares::LeastSquaresResult;
using common::least_squares::ProjectFn;
using common::least_squares::ResidualFn;
using common::trace::SolverTracer;
using manifolds::space::Space;

using GaussNewtonResult = LeastSquaresResult;

enum class DampingUpdate { adaptive, fixed };
enum class LineSearchMethod { armijo, strict_decrease, none };

template <Space S>
struct GaussNewton {
  S space;
  double lambda = 1e-3;        // initial damping, and the floor of adaptive damping
  double step_scale = 1.0;     // initial step length, clamped to [0, 1]
  std::uint64_t max_iters = 100;
  double tol_r = 1e-6;         // stop when ‖r‖ <= tol_r
  double tol_dx = 1e-6;        // stop when ‖dx‖ <= tol_dx
  DampingUpdate damping_update = DampingUpdate::adaptive;
  LinearSystem linear_system = LinearSystem::left_jjt;
  LineSearchMethod line_search_method = LineSearchMethod::armijo;
  double ls_beta = 0.5;        // shrink factor of the backtracking policies
  double ls_min_step = 1e-8;   // smallest step of strict-decrease backtracking
  std::uint64_t ls_max_steps = 20;
  double c_armijo = 1e-4;
  // Opt-in accuracy settings, all off by default: parameter scaling of the
  // damping (solvers/common/scaling.hpp) and the relative stopping tests
  // (RelativeTests in solvers/common/least_squares_run.hpp).
  common::least_squares::Scaling scaling{};
  double tol_cost = 0.0;
  double tol_dx_rel = 0.0;
  bool verbose = false;
  bool history = false;

  // Runs with the given policy. `stop` is asked at every iteration boundary
  // (see solvers/common/stop.hpp).
  template <ResidualFn R, JacobianFn Jf, ProjectFn P, common::step_policy::LineSearchPolicy Policy,
            common::StopPredicate Stop = common::NeverStop>
  GaussNewtonResult solve_with_fn(std::size_t m, Vec x0, R&& residual, Jf&& jacobian, P&& project,
                                  Policy& policy, Stop&& stop = {}) {
    return run_with_line_search(m, std::move(x0), residual, jacobian, project, policy, stop);
  }

  // Runs with the built-in policy named by line_search_method.
  template <ResidualFn R, JacobianFn Jf, ProjectFn P, common::StopPredicate Stop = common::NeverStop>
  GaussNewtonResult solve_with_fn_default_line_search(std::size_t m, Vec x0, R&& residual, Jf&& jacobian,
                                                      P&& project, Stop&& stop = {}) {
    // Out-of-range parameters (possible only when the solver is configured
    // directly) fall back to the defaults rather than producing a policy
    // that never terminates or never shrinks.
    const double beta = std::isfinite(ls_beta) && ls_beta >= 0.0 && ls_beta < 1.0 ? ls_beta : 0.5;
    const std::uint64_t steps = ls_max_steps == 0 ? 1 : ls_max_steps;
    switch (line_search_method) {
      case LineSearchMethod::armijo: {
        common::step_policy::ArmijoBacktracking policy{
            .beta = beta, .max_steps = steps, .c1 = std::isfinite(c_armijo) ? c_armijo : 1e-4};
        return run_with_line_search(m, std::move(x0), residual, jacobian, project, policy, stop);
      }
      case LineSearchMethod::strict_decrease: {
        StrictDecreaseBacktracking policy{
            .beta = beta,
            .min_step = std::isfinite(ls_min_step) && ls_min_step > 0.0 ? ls_min_step : 1e-8,
            .max_steps = steps};
        return run_with_line_search(m, std::move(x0), residual, jacobian, project, policy, stop);
      }
      case LineSearchMethod::none:
        break;
    }
    common::step_policy::NoLineSearch policy;
    return run_with_line_search(m, std::move(x0), residual, jacobian, project, policy, stop);
  }

 private:
  template <class R, class Jf, class P, class Policy, class Stop>
  GaussNewtonResult run_with_line_search(std::size_t m, Vec x0, R& residual, Jf& jacobian, P& project,
                                         Policy& policy, Stop& stop) {
    if (damping_update == DampingUpdate::adaptive) {
      common::damping::HalvingDamping damping(lambda);
      return iterate(m, std::move(x0), residual, jacobian, project, policy, stop, damping);
    }
    common::damping::FixedDamping damping(lambda);
    return iterate(m, std::move(x0), residual, jacobian, project, policy, stop, damping);
  }

  template <class R, class Jf, class P, class Policy, class Stop, common::damping::DampingRule Damping>
  GaussNewtonResult iterate(std::size_t m, Vec x0, R& residual, Jf& jacobian, P& project, Policy& policy,
                            Stop& stop, Damping& damping) {
    const std::size_t n = x0.size();
    MARLUNE_ASSERT(m > 0 && n > 0);
    MARLUNE_ASSERT(scaling.kind != common::least_squares::ScalingKind::fixed || scaling.sizes.size() == n);

    constexpr bool wants_slope = common::step_policy::wants_slope_v<Policy>;
    // Strict-decrease backtracking only ever accepts a lower cost, so a tiny
    // direction cannot be mistaken for convergence there; a caller's policy
    // gives no such guarantee and keeps the test.
    const bool test_dx = !(line_search_method == LineSearchMethod::strict_decrease &&
                           !common::step_policy::decides_externally_v<Policy>);
    const common::least_squares::RelativeTests tests{.tol_cost = tol_cost, .tol_dx_rel = tol_dx_rel};

    GaussNewtonWorkspace ws = GaussNewtonWorkspace::create(m, n, linear_system, scaling.active());
    SolverTracer tracer("gn", history, verbose);
    common::least_squares::LeastSquaresRun run(space, ws, std::move(x0), m, linear_system, scaling, residual, project);
    auto evaluate_trial = [&run](double alpha) { return run.evaluate_trial(alpha); };

    const double alpha0 = common::least_squares::clamp_step_scale(step_scale);

    run.evaluate_start();
    run.trace(tracer, 0, "initial");

    // Every ending emits its record and builds the result from the current state.
    auto terminate = [&](std::uint64_t k, std::string_view note, double result_dx_norm, bool converged,
                         std::optional<double> record_dx_norm = std::nullopt,
                         std::optional<double> record_alpha = std::nullopt) {
      run.trace(tracer, k, note, record_dx_norm, record_alpha);
      return run.finish(k, result_dx_norm, converged, tracer, history);
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (max_iters == 0) return terminate(0, "max_iters", nan, false);

    // The cost before, and the direction norm of, the step accepted in the
    // previous iteration: what the relative cost test looks at.
    struct Reduction {
      double cost_before;
      double dx_norm;
    };
    std::optional<Reduction> reduced;

    for (std::uint64_t k = 0;;) {
      if (stop()) return run.finish(k, nan, false, tracer, history);
      if (run.r_norm() <= tol_r) return terminate(k, "converged_r", 0.0, true);
      if (reduced && tests.cost_stalled(reduced->cost_before, run.cost())) {
        return terminate(k, "converged_cost", reduced->dx_norm, true, reduced->dx_norm);
      }
      reduced.reset();

      const auto step = run.compute_direction(jacobian, damping.lambda(), wants_slope);
      if (!step.solved) {
        if (!damping.failed()) return terminate(k, "linear_solve_failed_fixed", 0.0, false);
        run.trace(tracer, k, "linear_solve_failed", std::nullopt, std::nullopt, damping.lambda());
      } else {
        const double dx_norm = step.dx_norm;
        if (test_dx && (dx_norm <= tol_dx || run.step_small(tests))) {
          return terminate(k, "converged_dx", dx_norm, true, dx_norm);
        }
        if (alpha0 == 0.0) return terminate(k, "zero_step_scale", dx_norm, false, dx_norm);

        const auto found = policy.search(step.context(k, alpha0, run.cost(), damping.lambda()), evaluate_trial);
        std::string_view note;
        if (found.accepted) {
          // The policy's own evaluations are not reused: the accepted point
          // is rebuilt and evaluated once more before it is committed.
          if (const std::optional<double> c = run.evaluate_trial(found.alpha)) {
            reduced = Reduction{.cost_before = run.cost(), .dx_norm = dx_norm};
            run.commit(*c);
            damping.accepted();
            note = "accepted";
          } else {
            if (!damping.failed()) return terminate(k, "accepted_step_invalid_fixed", 0.0, false, dx_norm, found.alpha);
            note = "accepted_step_invalid";
          }
        } else {
          if (!damping.failed()) return terminate(k, "rejected_fixed", 0.0, false, dx_norm, found.alpha);
          note = "rejected";
        }
        run.trace(tracer, k, note, dx_norm, found.alpha, damping.lambda());
      }
      ++k;
      if (k == max_iters) return terminate(k, "max_iters", nan, false);
    }
  }
};

}  // namespace marlune::solvers::gn
