#pragma once
// PyLineSearchPolicy: a step policy written in Python. The callable gets a
// dict summarising the proposed step and answers with a step length, an
// (accepted, alpha) pair or {"alpha": ..., "accepted": ...}. It shares the
// first-error store of the call's user callbacks: once anything failed, it
// rejects every step without calling Python.

#include <Python.h>

#include <utility>

#include "bindings/callbacks.hpp"
#include "bindings/error.hpp"
#include "bindings/handle.hpp"
#include "solvers/common/step_policy.hpp"

namespace marlune::bindings {

class PyLineSearchPolicy {
 public:
  // The callable gets the slope in its context and decides without trial
  // evaluations (see solvers/common/step_policy.hpp).
  static constexpr bool wants_slope = true;
  static constexpr bool decides_externally = true;

  using LineSearchContext = solvers::common::step_policy::LineSearchContext;
  using LineSearchResult = solvers::common::step_policy::LineSearchResult;

  PyLineSearchPolicy(PyRef callable, PyErrStateRef err)
      : callable_(std::move(callable)), err_(std::move(err)) {}

  // The trial evaluator is not used: the callable decides from the summary
  // alone, so a Python policy costs no user evaluation of its own.
  template <class Eval>
  LineSearchResult search(const LineSearchContext& ctx, Eval&& /*evaluate_trial*/) {
    return search_py(ctx);
  }

  // (accepted, alpha) from the callable's result.
  static PyResult<std::pair<bool, double>> parse_result(PyObject* result);

 private:
  LineSearchResult search_py(const LineSearchContext& ctx);
  PyResult<std::pair<bool, double>> call(const LineSearchContext& ctx);

  PyRef callable_;
  PyErrStateRef err_;
};

static_assert(solvers::common::step_policy::LineSearchPolicy<PyLineSearchPolicy>);

}  // namespace marlune::bindings
