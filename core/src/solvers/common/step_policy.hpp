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

}  // namespace marlune::solvers::common::step_policy
