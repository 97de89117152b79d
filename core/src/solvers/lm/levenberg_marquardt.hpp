#pragma once
// Levenberg-Marquardt for min ½‖r(x)‖² over a space: the damped direction
// dx = -Jᵀ·(J·Jᵀ + λ·I)⁻¹·r (or, on request, the same step through the n by n
// system Jᵀ·J + λ·I, and with λ·D² for scaled parameters), a step policy
// deciding on the step, and multiplicative damping: λ shrinks by lambda_down
// after every success (never below 1e-12) and grows by lambda_up after every
// failure (without bound).
// Unlike Gauss-Newton no record names the termination: iterations, converged
// and dx_norm of the result tell how the run ended.

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
#include "solvers/lm/workspace.hpp"

namespace marlune::solvers::lm {

using common::least_squares::JacobianFn;
using common::least_squares::LeastSquaresResult;
using common::least_squares::ProjectFn;
using common::least_squares::ResidualFn;
using common::trace::SolverTracer;
using manifolds::space::Space;

using LevenbergMarquardtResult = LeastSquaresResult;

template <Space S>
struct LevenbergMarquardt {
  S space;
  double lambda = 1e-3;        // initial damping; the run starts from max(lambda, 1e-12)
  double lambda_up = 10.0;     // growth after a failure; 10 unless > 1
  double lambda_down = 0.5;    // shrink after a success; 0.5 unless in [0, 1)
  double step_scale = 1.0;     // step length offered to the policy, clamped to [0, 1]
  std::uint64_t max_iters = 100;
  double tol_r = 1e-6;
  double tol_dx = 1e-6;
  bool verbose = false;
  bool history = false;
  // Opt-in settings, all off by default: the n by n form for problems with
  // many more residuals than parameters, parameter scaling of the damping
  // (solvers/common/scaling.hpp) and the relative stopping tests
  // (RelativeTests in solvers/common/least_squares_run.hpp).
  LinearSystem linear_system = LinearSystem::left_jjt;
  common::least_squares::Scaling scaling{};
  double tol_cost = 0.0;
  double tol_dx_rel = 0.0;

  // Runs with the given policy. Direction diagnostics (and with them the
  // fallback to steepest descent) are computed exactly when the policy asks
  // for the slope. `stop` is asked at every iteration boundary.
  template <ResidualFn R, JacobianFn Jf, ProjectFn P, common::step_policy::LineSearchPolicy Policy,
            common::StopPredicate Stop = common::NeverStop>
  LevenbergMarquardtResult solve_with_fn(std::size_t m, Vec x0, R&& residual, Jf&& jacobian, P&& project,
                                         Policy& policy, Stop&& stop = {}) {
    const std::size_t n = x0.size();
    MARLUNE_ASSERT(m > 0 && n > 0);
    MARLUNE_ASSERT(scaling.kind != common::least_squares::ScalingKind::fixed || scaling.sizes.size() == n);
    constexpr bool wants_slope = common::step_policy::wants_slope_v<Policy>;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const common::least_squares::RelativeTests tests{.tol_cost = tol_cost, .tol_dx_rel = tol_dx_rel};

    // NaN fails both tests and takes the default.
    const double up = lambda_up > 1.0 ? lambda_up : 10.0;
    const double down = lambda_down >= 0.0 && lambda_down < 1.0 ? lambda_down : 0.5;

    LmWorkspace ws = LmWorkspace::create(m, n, linear_system, scaling.active());
    SolverTracer tracer("lm", history, verbose);
    common::least_squares::LeastSquaresRun run(space, ws, std::move(x0), m, linear_system, scaling, residual, project);
    auto evaluate_trial = [&run](double alpha) { return run.evaluate_trial(alpha); };

    run.evaluate_start();
    run.trace(tracer, 0, "initial");
    auto finish = [&](std::uint64_t k, double dx_norm, bool converged) {
      return run.finish(k, dx_norm, converged, tracer, history);
    };
    if (max_iters == 0) return finish(0, nan, false);

    common::damping::MultiplicativeDamping damping(lambda, up, down);
    const double alpha0 = common::least_squares::clamp_step_scale(step_scale);
    double last_dx_norm = nan;  // of the latest successful direction step
    // The cost before the step accepted in the previous iteration, if any.
    std::optional<double> cost_before_step;

    for (std::uint64_t k = 0;;) {
      if (stop()) return finish(k, nan, false);
      if (run.r_norm() <= tol_r) return finish(k, 0.0, true);
      if (cost_before_step && tests.cost_stalled(*cost_before_step, run.cost())) return finish(k, last_dx_norm, true);
      cost_before_step.reset();

      const auto step = run.compute_direction(jacobian, damping.lambda(), wants_slope);
      if (!step.solved) {
        damping.failed();
        run.trace(tracer, k, "linear_solve_failed", std::nullopt, std::nullopt, damping.lambda());
      } else {
        const double dx_norm = step.dx_norm;
        last_dx_norm = dx_norm;
        if (step.diagnostics && step.diagnostics->fallback) {
          run.trace(tracer, k, "fallback_to_steepest_descent", std::nullopt, std::nullopt, std::nullopt,
                    step.diagnostics->dphi0);
        }
        if (dx_norm <= tol_dx || run.step_small(tests)) return finish(k, dx_norm, true);
        if (alpha0 == 0.0) return finish(k, dx_norm, false);

        const auto found = policy.search(step.context(k, alpha0, run.cost(), damping.lambda()), evaluate_trial);
        std::string_view note = "rejected";
        if (found.accepted) {
          if (const std::optional<double> c = run.evaluate_trial(found.alpha)) {
            cost_before_step = run.cost();
            run.commit(*c);
            damping.accepted();
            note = "accepted";
          } else {
            damping.failed();
            note = "accepted_step_invalid";
          }
        } else {
          damping.failed();
        }
        run.trace(tracer, k, note, dx_norm, found.alpha, damping.lambda());
      }
      ++k;
      if (k == max_iters) return finish(k, last_dx_norm, false);
    }
  }
};

}  // namespace marlune::solvers::lm
