#pragma once
// The plumbing that Gauss-Newton and Levenberg-Marquardt share: the buffers
// of a run, the evaluation of the starting point and of trial points, the
// direction step, the commit of an accepted point and the result record. The
// two solvers differ only in their damping rules, their policies and their
// records, which they keep to themselves.
//
// The problem is passed per run as three callables, none of which may fail
// towards the solver (wrappers around user code hand out neutral values and
// report their errors after the run):
//   residual(x, out)   writes the m residuals at x      (span<const double>, span<double>)
//   jacobian(x, out)   writes the m·n Jacobian, row-major (or a
//                      FiniteDifferences, which differences the residual)
//   project(x)         may move a trial point in place  (span<double>)

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/memory.hpp"
#include "manifolds/space.hpp"
#include "numerics/linalg.hpp"
#include "solvers/common/damping.hpp"
#include "solvers/common/finite_differences.hpp"
#include "solvers/common/least_squares.hpp"
#include "solvers/common/scaling.hpp"
#include "solvers/common/step_policy.hpp"
#include "solvers/common/trace.hpp"

namespace marlune::solvers::common::least_squares {

using manifolds::space::Space;
using manifolds::space::Vec;
using trace::SolverTracer;
using trace::TraceRecord;

template <class F>
concept ResidualFn = std::invocable<F&, std::span<const double>, std::span<double>>;
// A Jacobian callable, or FiniteDifferences to have the run difference its
// own residual.
template <class F>
concept JacobianFn = std::invocable<F&, std::span<const double>, std::span<double>> ||
                     std::same_as<std::remove_cvref_t<F>, FiniteDifferences>;
template <class F>
concept ProjectFn = std::invocable<F&, std::span<double>>;

// The identity projection, for callers without one.
struct NoProjection {
  void operator()(std::span<double>) const {}
};

struct LeastSquaresResult {
  Vec x{};                                          // the last committed point
  std::optional<std::vector<TraceRecord>> trace{};  // present exactly when history is on
  double cost = 0.0;                                // ½‖r(x)‖²
  std::uint64_t iterations = 0;
  double r_norm = 0.0;                              // ‖r(x)‖
  double dx_norm = 0.0;                             // see each solver's termination table
  bool converged = false;
};

// Which damped system a direction step solves: J·Jᵀ + λ·I of order m (cheap
// when there are fewer residuals than parameters) or Jᵀ·J + λ·I of order n
// (the form for fits with many more residuals than parameters).
enum class LinearSystem { left_jjt, normal_jtj };

// The buffers both solvers need, each allocated once per run and zero-filled.
struct LeastSquaresBuffers {
  Vec r;         // m: residual at the current point
  Vec J;         // m·n: Jacobian at the current point, row-major
  Vec A;         // the system matrix of the configured form: m·m or n·n
  Vec y;         // m: intermediate solution of the left form
  Vec dx;        // n: direction of the current iteration
  Vec g;         // n: Jᵀ·r, written only when diagnostics are wanted
  Vec x_trial;   // n: trial point
  Vec r_trial;   // m: residual at the trial point
  Vec scratch;   // n: scratch argument of the space's retraction
  Vec J_scaled;  // m·n: J·D⁻¹, only for the scaled left form

  // Only the system matrix of the configured form is allocated: for a tall
  // problem (m = 10⁵ residuals) the m·m matrix alone would need 80 GB. Every
  // size is overflow-checked and the total is checked against the memory
  // this process can hold before anything is allocated, so a problem too
  // large for the machine fails with std::bad_alloc up front.
  void allocate(std::size_t m, std::size_t n, LinearSystem form, bool scaled) {
    const std::size_t system_size = form == LinearSystem::left_jjt ? checked_mul(m, m) : checked_mul(n, n);
    const std::size_t jacobian_copy = scaled && form == LinearSystem::left_jjt ? checked_mul(m, n) : 0;
    std::size_t total = checked_mul(m, n);            // J
    total = checked_add(total, checked_mul(m, 3));    // r, y, r_trial
    total = checked_add(total, checked_mul(n, 4));    // dx, g, x_trial, scratch
    total = checked_add(total, system_size);
    total = checked_add(total, jacobian_copy);
    ensure_allocatable_doubles(total);
    r.assign(m, 0.0);
    J.assign(m * n, 0.0);
    A.assign(system_size, 0.0);
    y.assign(m, 0.0);
    dx.assign(n, 0.0);
    g.assign(n, 0.0);
    x_trial.assign(n, 0.0);
    r_trial.assign(m, 0.0);
    scratch.assign(n, 0.0);
    J_scaled.assign(jacobian_copy, 0.0);
  }
};

// The relative stopping tests, both off (0) unless asked for:
//   tol_cost    the last accepted step reduced the cost by no more than
//               tol_cost times the cost before it;
//   tol_dx_rel  ‖dx‖ <= tol_dx_rel·(‖x‖ + tol_dx_rel), with both norms
//               Euclidean, of D·dx and D·x when the parameters are scaled.
struct RelativeTests {
  double tol_cost = 0.0;
  double tol_dx_rel = 0.0;

  // An increase is never convergence, and neither is a step away from a
  // non-finite cost.
  bool cost_stalled(double before, double after) const {
    if (!(tol_cost > 0.0) || !std::isfinite(before)) return false;
    const double reduction = before - after;
    return reduction >= 0.0 && reduction <= tol_cost * before;
  }
  bool step_small(double dx_norm, double x_norm) const {
    return tol_dx_rel > 0.0 && dx_norm <= tol_dx_rel * (x_norm + tol_dx_rel);
  }
};

// The outcome of one direction step.
struct DirectionStep {
  bool solved = false;                               // false: the linear solve failed
  std::optional<DirectionDiagnostics> diagnostics;   // present when wanted and solved
  double dx_norm = 0.0;                              // the space's norm of the final dx, when solved

  // What a step policy is told about this (solved) step.
  step_policy::LineSearchContext context(std::uint64_t iter, double alpha0, double cost0, double lambda) const {
    return {.iter = iter,
            .alpha0 = alpha0,
            .cost0 = cost0,
            .dphi0 = diagnostics ? std::optional<double>(diagnostics->dphi0) : std::nullopt,
            .dx_norm = dx_norm,
            .lambda = lambda};
  }
};

// The state of one run: the current point with its residual, cost and norm,
// kept consistent with each other at all times, and the scaling.
template <Space S, ResidualFn Residual, ProjectFn Project>
class LeastSquaresRun {
 public:
  LeastSquaresRun(S& space, LeastSquaresBuffers& buffers, Vec x, std::size_t m, LinearSystem form,
                  const Scaling& scaling, Residual& residual, Project& project)
      : space_(space),
        b_(buffers),
        x_(std::move(x)),
        m_(m),
        form_(form),
        scaling_(scaling, x_.size()),
        residual_(residual),
        project_(project) {}

  // residual(x0); x0 itself is never projected.
  void evaluate_start() {
    residual_(std::span<const double>(x_), std::span<double>(b_.r));
    cost_ = residual_cost(b_.r);
    r_norm_ = residual_norm(b_.r);
  }

  // The trial evaluator handed to step policies: the point reached along dx
  // with step length alpha, projected, and its cost when that is finite.
  std::optional<double> evaluate_trial(double alpha) {
    space_.retract_into(b_.x_trial, x_, b_.dx, alpha, b_.scratch);
    project_(std::span<double>(b_.x_trial));
    residual_(std::span<const double>(b_.x_trial), std::span<double>(b_.r_trial));
    const double c = residual_cost(b_.r_trial);
    if (!std::isfinite(c)) return std::nullopt;
    return c;
  }

  // Takes the last evaluated trial point as the new current point.
  void commit(double cost_trial) { commit_trial_state(x_, b_.r, cost_, r_norm_, b_.x_trial, b_.r_trial, cost_trial); }

  // jacobian(x), the damped direction in the run's form (scaled when the
  // run scales its parameters), the diagnostics when wanted, and the norm of
  // the final dx.
  template <JacobianFn Jacobian>
  DirectionStep compute_direction(Jacobian& jacobian, double lambda, bool wanted) {
    const std::size_t n = x_.size();
    if constexpr (std::same_as<std::remove_cvref_t<Jacobian>, FiniteDifferences>) {
      jacobian.evaluate(std::span<const double>(x_), std::span<const double>(b_.r), std::span<double>(b_.J), space_,
                        residual_, project_);
    } else {
      jacobian(std::span<const double>(x_), std::span<double>(b_.J));
    }
    if (!solve_direction(n, lambda)) return {};
    DirectionStep step{.solved = true, .diagnostics = std::nullopt, .dx_norm = 0.0};
    step.diagnostics = complete_direction_diagnostics(b_.J, b_.r, m_, n, b_.dx, b_.g, wanted);
    step.dx_norm = space_.tangent_norm(b_.dx);
    return step;
  }

  // The relative step test on the latest direction (see RelativeTests).
  bool step_small(const RelativeTests& tests) const {
    if (!(tests.tol_dx_rel > 0.0)) return false;
    if (scaling_.active()) return tests.step_small(scaling_.scaled_norm(b_.dx), scaling_.scaled_norm(x_));
    return tests.step_small(manifolds::space::euclidean_norm(b_.dx), manifolds::space::euclidean_norm(x_));
  }

  // Emits a record with the current cost and residual norm and the given
  // fields; builds nothing when the tracer keeps and prints nothing.
  void trace(SolverTracer& tracer, std::uint64_t iter, std::string_view note,
             std::optional<double> dx_norm = std::nullopt, std::optional<double> alpha = std::nullopt,
             std::optional<double> lambda = std::nullopt, std::optional<double> dphi0 = std::nullopt) const {
    if (!tracer.enabled()) return;
    tracer.emit({.iter = iter, .cost = cost_, .r_norm = r_norm_, .dx_norm = dx_norm, .alpha = alpha,
                 .lambda = lambda, .dphi0 = dphi0, .note = note});
  }

  // The result from the current state; moves the point and the history out.
  LeastSquaresResult finish(std::uint64_t iterations, double dx_norm, bool converged, SolverTracer& tracer,
                            bool history) {
    LeastSquaresResult result;
    result.x = std::move(x_);
    result.cost = cost_;
    result.iterations = iterations;
    result.r_norm = r_norm_;
    result.dx_norm = dx_norm;
    result.converged = converged;
    result.trace = history ? tracer.take_history() : std::nullopt;
    return result;
  }

  double cost() const { return cost_; }
  double r_norm() const { return r_norm_; }

 private:
  bool solve_direction(std::size_t n, double lambda) {
    if (!scaling_.active()) {
      return form_ == LinearSystem::left_jjt ? solve_left_jjt_direction(b_.J, b_.r, m_, n, b_.A, b_.y, b_.dx, lambda)
                                             : solve_normal_jtj_direction(b_.J, b_.r, m_, n, b_.A, b_.dx, lambda);
    }
    if (form_ == LinearSystem::left_jjt) {
      if (scaling_.tracks_jacobian()) {
        column_sums_of_squares(b_.J, m_, n, scaling_.column_squares());
        scaling_.observe();
      }
      return solve_left_jjt_direction_scaled(b_.J, b_.r, m_, n, scaling_.inverse(), b_.J_scaled, b_.A, b_.y, b_.dx,
                                             lambda);
    }
    // The diagonal of the assembled Jᵀ·J is what Marquardt scaling tracks, so
    // the normal form reads it from there instead of passing over J again.
    numerics::linalg::jt_j_plus_lambda(b_.J, m_, n, b_.A, 0.0);
    if (scaling_.tracks_jacobian()) {
      const std::span<double> columns = scaling_.column_squares();
      for (std::size_t k = 0; k < n; ++k) columns[k] = b_.A[k * n + k];
      scaling_.observe();
    }
    return solve_assembled_normal_direction_scaled(b_.A, b_.J, b_.r, m_, n, scaling_.inverse(), b_.dx, lambda);
  }

  S& space_;
  LeastSquaresBuffers& b_;
  Vec x_;
  std::size_t m_;
  LinearSystem form_;
  ScalingState scaling_;
  Residual& residual_;
  Project& project_;
  double cost_ = 0.0;
  double r_norm_ = 0.0;
};

// The step length offered to the policy: below 0 becomes 0, above 1 becomes
// 1, each by a plain comparison, so NaN passes through.
inline double clamp_step_scale(double s) {
  if (s < 0.0) return 0.0;
  if (s > 1.0) return 1.0;
  return s;
}

}  // namespace marlune::solvers::common::least_squares
