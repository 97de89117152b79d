#pragma once
// Gauss-Newton's own backtracking policy: shrink the step until the cost
// strictly decreases, giving up below a smallest step length or after a
// budget of evaluations.

#include <cstdint>
#include <optional>

#include "solvers/common/step_policy.hpp"

namespace marlune::solvers::gn {

struct StrictDecreaseBacktracking {
  double beta = 0.5;              // shrink factor
  double min_step = 1e-8;         // smallest step length tried
  std::uint64_t max_steps = 20;   // evaluation budget

  template <common::step_policy::TrialEvaluator E>
  common::step_policy::LineSearchResult search(const common::step_policy::LineSearchContext& ctx,
                                               E&& evaluate_trial) const {
    double alpha = ctx.alpha0;
    if (max_steps == 0) return {false, alpha};
    for (std::uint64_t step = 1;; ++step) {
      const std::optional<double> cost = evaluate_trial(alpha);
      // An equal cost is a rejection: a plateau must not count as progress.
      if (cost.has_value() && *cost < ctx.cost0) return {true, alpha};
      alpha = beta * alpha;
      // A rejection reports the last shrunken length, one below the last tried.
      if (alpha < min_step || step == max_steps) return {false, alpha};
    }
  }
};

static_assert(common::step_policy::LineSearchPolicy<StrictDecreaseBacktracking>);

}  // namespace marlune::solvers::gn
