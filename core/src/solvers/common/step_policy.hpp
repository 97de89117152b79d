#pragma once
// Step policies: given a proposed step, decide whether to take it and with
// which step length. A solver fills a LineSearchContext, hands the policy a
// trial evaluator, and relies only on the returned pair.

#include <concepts>
#include <cstdint>
#include <optional>

namespace marlune::solvers::common::step_policy {

struct LineSearchContext {
  std::uint64_t iter = 0;       // the solver's current iteration number
  double alpha0 = 0.0;          // proposed (initial trial) step length
  double cost0 = 0.0;           // cost (objective value for gd) at the current point
  std::optional<double> dphi0;  // slope of the cost along the direction at 0, if known
  double dx_norm = 0.0;         // norm of the proposed direction
  double lambda = 0.0;          // current damping; gradient descent passes 0
};

struct LineSearchResult {
  bool accepted = false;
  double alpha = 0.0;  // the step length to use when accepted
};

// A trial evaluator maps a step length to the cost at the trial point, or to
// nothing when that cost is infinite or NaN. Each call costs one user
// evaluation, so policies call it sparingly.
template <class F>
concept TrialEvaluator = std::invocable<F&, double> &&
                         std::same_as<std::invoke_result_t<F&, double>, std::optional<double>>;

// Stand-in evaluator used only to state the policy concept.
struct TrialEvaluatorArchetype {
  std::optional<double> operator()(double) const;
};

// A policy is anything with `LineSearchResult search(const LineSearchContext&,
// Eval&&)` for every trial evaluator. Policies never report errors: a failed
// or non-finite evaluation is a rejection.
template <class P>
concept LineSearchPolicy = requires(P& p, const LineSearchContext& ctx, TrialEvaluatorArchetype eval) {
  { p.search(ctx, eval) } -> std::same_as<LineSearchResult>;
};

// Two facts a solver asks of a policy type, declared by the policy as static
// constexpr bool members (both false when absent):
//   wants_slope         the policy reads dphi0, so the solver must compute the
//                       direction diagnostics (and may fall back to steepest
//                       descent) before asking it;
//   decides_externally  the policy decides from the context alone and never
//                       calls the trial evaluator (a policy written by the
//                       caller), so the solver keeps tests it would otherwise
//                       leave to a built-in policy.
template <class P>
inline constexpr bool wants_slope_v = requires { requires P::wants_slope; };
template <class P>
inline constexpr bool decides_externally_v = requires { requires P::decides_externally; };

}  // namespace marlune::solvers::common::step_policy

// ---------------------------------------------------------------------------
// Built-in policies. None keeps state between calls of `search`, none
// allocates, and each costs exactly the trial evaluations it makes.

#include <cmath>

namespace marlune::solvers::common::step_policy {

// Takes the proposed step whenever its cost is finite, however large.
struct NoLineSearch {
  template <TrialEvaluator E>
  LineSearchResult search(const LineSearchContext& ctx, E&& evaluate_trial) const {
    const std::optional<double> cost = evaluate_trial(ctx.alpha0);
    return {cost.has_value() && std::isfinite(*cost), ctx.alpha0};
  }
};

// Takes the proposed step only when the cost strictly decreases; an equal cost
// is a rejection, so a solver cannot cycle on a plateau.
struct CostDecrease {
  template <TrialEvaluator E>
  LineSearchResult search(const LineSearchContext& ctx, E&& evaluate_trial) const {
    const std::optional<double> cost = evaluate_trial(ctx.alpha0);
    const bool decreased = cost.has_value() && std::isfinite(*cost) && *cost < ctx.cost0;
    return {decreased, ctx.alpha0};
  }
};

// Backtracking until the Armijo sufficient-decrease condition
// cost(alpha) <= cost0 + dphi0·c1·alpha holds, shrinking alpha by `beta` after
// each failed try, for at most `max_steps` evaluations. Without a slope there
// is nothing to test against, so the step is rejected without evaluating. The
// sign of dphi0 is not checked here: the solver only offers descent
// directions.
struct ArmijoBacktracking {
  static constexpr bool wants_slope = true;

  double beta = 0.5;              // shrink factor
  std::uint64_t max_steps = 20;   // trial evaluations allowed
  double c1 = 1e-4;               // sufficient-decrease constant

  template <TrialEvaluator E>
  LineSearchResult search(const LineSearchContext& ctx, E&& evaluate_trial) const {
    if (!ctx.dphi0.has_value() || max_steps == 0) return {false, ctx.alpha0};
    const double dphi0 = *ctx.dphi0;
    double alpha = ctx.alpha0;
    for (std::uint64_t step = 0; step < max_steps; ++step) {
      const std::optional<double> cost = evaluate_trial(alpha);
      if (cost.has_value()) {
        // The association is fixed so that every build computes the same bound.
        const double rhs = ctx.cost0 + dphi0 * (c1 * alpha);
        if (std::isfinite(rhs) && *cost <= rhs) return {true, alpha};
      }
      alpha = beta * alpha;
    }
    // alpha has been shrunk once more than the last value tried.
    return {false, alpha};
  }
};

static_assert(LineSearchPolicy<NoLineSearch>);
static_assert(LineSearchPolicy<CostDecrease>);
static_assert(LineSearchPolicy<ArmijoBacktracking>);

}  // namespace marlune::solvers::common::step_policy
