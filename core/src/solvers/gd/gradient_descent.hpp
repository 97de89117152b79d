#pragma once
// Steepest descent on a space, with a fixed step or with a step length chosen
// by a line-search policy. The objective and gradient are passed per run as
// callables:
//   value(x)            -> double   (x: std::span<const double>)
//   gradient(x, out)    -> void     (out: std::span<double>, all entries written)
// Neither may fail towards the solver; wrappers that call user code hand the
// solver neutral values instead and report their errors after the run.

#include <cmath>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "manifolds/space.hpp"
#include "solvers/common/step_policy.hpp"
#include "solvers/common/stop.hpp"
#include "solvers/common/trace.hpp"

namespace marlune::solvers::gd {

using manifolds::space::Space;
using manifolds::space::Vec;
using common::trace::SolverTracer;
using common::trace::TraceRecord;

template <class F>
concept ObjectiveFn = std::invocable<F&, std::span<const double>> &&
                      std::convertible_to<std::invoke_result_t<F&, std::span<const double>>, double>;

template <class F>
concept GradientFn = std::invocable<F&, std::span<const double>, std::span<double>>;

struct OptimizeResult {
  Vec x{};                     // the final point
  double f = 0.0;              // objective value attached to the final point
  std::uint64_t iterations = 0;
  double grad_norm = 0.0;      // tangent norm of the last gradient evaluated
  bool converged = false;      // true exactly when the gradient test ended the run
  std::optional<std::vector<TraceRecord>> trace{};  // present exactly when history is on
};

// Moves the tracer's history into the result (absent when history is off).
inline void attach_trace(bool history, OptimizeResult& result, SolverTracer& tracer) {
  result.trace = history ? tracer.take_history() : std::nullopt;
}

template <Space S>
struct GradientDescent {
  S space;
  double step_size = 0.001;
  std::uint64_t max_iters = 100;
  double tol_grad = 1e-6;
  bool verbose = false;  // also evaluates the objective at every fixed-step iteration
  bool history = false;

  // Fixed step: x_{k+1} = retract(x_k, -g_k, step_size). Without verbose the
  // objective is evaluated only once, at the end. `stop` is asked at every
  // iteration boundary (see solvers/common/stop.hpp).
  template <ObjectiveFn Value, GradientFn Gradient, common::StopPredicate Stop = common::NeverStop>
  OptimizeResult minimize_with_fn(Vec x, Value&& value, Gradient&& gradient, Stop&& stop = {}) {
    const std::size_t n = x.size();
    SolverTracer tracer("gd", history, verbose);
    Vec g(n, 0.0), d(n, 0.0), x_new(n, 0.0), scratch(n, 0.0);
    OptimizeResult result;

    bool done = false;
    for (std::uint64_t k = 0; k < max_iters; ++k) {
      if (stop()) {
        result = stopped_early(k);
        done = true;
        break;
      }
      gradient(std::span<const double>(x), std::span<double>(g));
      const double gn = space.tangent_norm(g);
      std::optional<double> fk;
      if (verbose) {
        fk = value(std::span<const double>(x));
        tracer.emit({.iter = k, .f = fk, .grad_norm = gn, .step_size = step_size});
      }
      if (gn < tol_grad) {
        if (!fk) fk = value(std::span<const double>(x));
        tracer.emit({.iter = k, .f = fk, .grad_norm = gn, .note = "converged"});
        result = {.x = {}, .f = *fk, .iterations = k, .grad_norm = gn, .converged = true};
        done = true;
        break;
      }
      step_against_gradient(x, g, d, x_new, step_size, scratch);
    }
    if (!done) finish_at_limit(result, x, g, value);
    result.x = std::move(x);
    attach_trace(history, result, tracer);
    return result;
  }

  // Step length from a policy. Every iteration is traced; a rejected step or
  // a non-finite objective at the accepted point stops the run.
  template <ObjectiveFn Value, GradientFn Gradient, common::step_policy::LineSearchPolicy Policy,
            common::StopPredicate Stop = common::NeverStop>
  OptimizeResult minimize_with_fn_and_line_search(Vec x, Value&& value, Gradient&& gradient, Policy& policy,
                                                  Stop&& stop = {}) {
    const std::size_t n = x.size();
    SolverTracer tracer("gd", history, verbose);
    Vec g(n, 0.0), d(n, 0.0), x_new(n, 0.0), scratch(n, 0.0);
    OptimizeResult result;

    auto evaluate_trial = [&](double a) -> std::optional<double> {
      space.retract_into(x_new, x, d, a, scratch);
      const double c = value(std::span<const double>(x_new));
      if (!std::isfinite(c)) return std::nullopt;
      return c;
    };

    bool done = false;
    for (std::uint64_t k = 0; k < max_iters; ++k) {
      if (stop()) {
        result = stopped_early(k);
        done = true;
        break;
      }
      gradient(std::span<const double>(x), std::span<double>(g));
      const double gn = space.tangent_norm(g);
      const double fk = value(std::span<const double>(x));
      tracer.emit({.iter = k, .f = fk, .grad_norm = gn, .step_size = step_size});
      const OptimizeResult stopped{.x = {}, .f = fk, .iterations = k, .grad_norm = gn};
      if (gn < tol_grad) {
        tracer.emit({.iter = k, .f = fk, .grad_norm = gn, .note = "converged"});
        result = stopped;
        result.converged = true;
        done = true;
        break;
      }
      space.scale_into(d, g, -1.0);
      const common::step_policy::LineSearchContext ctx{
          .iter = k, .alpha0 = step_size, .cost0 = fk, .dphi0 = -(gn * gn), .dx_norm = gn, .lambda = 0.0};
      const common::step_policy::LineSearchResult found = policy.search(ctx, evaluate_trial);
      if (!found.accepted) {
        result = stopped;
        done = true;
        break;
      }
      space.retract_into(x_new, x, d, found.alpha, scratch);
      // Only a finiteness test: the next iteration evaluates the objective again.
      if (!std::isfinite(value(std::span<const double>(x_new)))) {
        result = stopped;
        done = true;
        break;
      }
      std::swap(x, x_new);
    }
    if (!done) finish_at_limit(result, x, g, value);
    result.x = std::move(x);
    attach_trace(history, result, tracer);
    return result;
  }

 private:
  // Ended by the stop predicate: nothing more is evaluated, the caller
  // discards this result.
  static OptimizeResult stopped_early(std::uint64_t k) {
    return {.x = {}, .f = std::numeric_limits<double>::quiet_NaN(), .iterations = k,
            .grad_norm = std::numeric_limits<double>::quiet_NaN(), .converged = false};
  }

  void step_against_gradient(Vec& x, const Vec& g, Vec& d, Vec& x_new, double alpha, Vec& scratch) {
    space.scale_into(d, g, -1.0);
    space.retract_into(x_new, x, d, alpha, scratch);
    std::swap(x, x_new);
  }

  // The iteration limit was reached: the objective at the final point, the
  // norm of the last gradient (taken before the last step; zeros when no
  // iteration ran), and no trace record.
  template <class Value>
  void finish_at_limit(OptimizeResult& result, const Vec& x, const Vec& g, Value& value) {
    result.f = value(std::span<const double>(x));
    result.iterations = max_iters;
    result.grad_norm = space.tangent_norm(g);
    result.converged = false;
  }
};

}  // namespace marlune::solvers::gd
