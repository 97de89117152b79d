#pragma once
// Early ending of a run. Wrappers around user code never fail towards a
// solver; once one has failed, the rest of the run computes on neutral values
// whose result will be discarded anyway. A solver therefore asks its stop
// predicate at every iteration boundary and ends at once, without a record,
// when it answers true: a failed callback (Ctrl-C included) is raised
// promptly instead of after max_iters iterations of idle arithmetic.

#include <concepts>

namespace marlune::solvers::common {

template <class F>
concept StopPredicate = std::predicate<F&>;

struct NeverStop {
  bool operator()() const { return false; }
};

}  // namespace marlune::solvers::common
