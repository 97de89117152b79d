#pragma once
// Plain C++ problems and scripted policies for driving the least-squares
// solvers without Python.

#include <cmath>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "solvers/common/step_policy.hpp"
#include "solvers/common/trace.hpp"

namespace marlune::testing {

using Vec = std::vector<double>;
namespace sp = solvers::common::step_policy;

// y = a·exp(b·t) sampled without noise at t = 0, 0.5, ..., 2.5: the residual
// a·exp(b·t) - y vanishes at (a, b) = (2, -1).
struct ExponentialFit {
  Vec t{0.0, 0.5, 1.0, 1.5, 2.0, 2.5};
  Vec y;
  int residual_calls = 0, jacobian_calls = 0;
  std::vector<Vec> residual_points;

  ExponentialFit() {
    for (double ti : t) y.push_back(2.0 * std::exp(-ti));
  }
  std::size_t m() const { return t.size(); }
  void residual(std::span<const double> x, std::span<double> out) {
    ++residual_calls;
    residual_points.emplace_back(x.begin(), x.end());
    for (std::size_t i = 0; i < t.size(); ++i) out[i] = x[0] * std::exp(x[1] * t[i]) - y[i];
  }
  void jacobian(std::span<const double> x, std::span<double> out) {
    ++jacobian_calls;
    for (std::size_t i = 0; i < t.size(); ++i) {
      const double e = std::exp(x[1] * t[i]);
      out[2 * i] = e;
      out[2 * i + 1] = x[0] * t[i] * e;
    }
  }
  auto residual_fn() {
    return [this](std::span<const double> x, std::span<double> out) { residual(x, out); };
  }
  auto jacobian_fn() {
    return [this](std::span<const double> x, std::span<double> out) { jacobian(x, out); };
  }
};

// r(x) = x - target (m = n), J = I: every direction solves exactly.
struct Shift {
  Vec target;
  int residual_calls = 0, jacobian_calls = 0;
  auto residual_fn() {
    return [this](std::span<const double> x, std::span<double> out) {
      ++residual_calls;
      for (std::size_t i = 0; i < x.size(); ++i) out[i] = x[i] - target[i];
    };
  }
  auto jacobian_fn() {
    return [this](std::span<const double> x, std::span<double> out) {
      ++jacobian_calls;
      const std::size_t n = x.size();
      for (std::size_t i = 0; i < n * n; ++i) out[i] = i % (n + 1) == 0 ? 1.0 : 0.0;
    };
  }
};

// Accepts or rejects from a script (then accepts), remembering every context.
struct ScriptedPolicy {
  std::deque<bool> script;
  std::vector<sp::LineSearchContext> seen;
  template <class E>
  sp::LineSearchResult search(const sp::LineSearchContext& ctx, E&&) {
    seen.push_back(ctx);
    bool accept = true;
    if (!script.empty()) {
      accept = script.front();
      script.pop_front();
    }
    return {accept, ctx.alpha0};
  }
};

// The same, but asking for the slope as a caller's policy does.
struct SlopePolicy : ScriptedPolicy {
  static constexpr bool wants_slope = true;
  static constexpr bool decides_externally = true;
};

inline std::vector<std::string> notes(const std::vector<solvers::common::trace::TraceRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.emplace_back(r.note ? std::string(*r.note) : "-");
  return out;
}

inline std::vector<double> lambdas(const std::vector<solvers::common::trace::TraceRecord>& records) {
  std::vector<double> out;
  for (const auto& r : records) {
    if (r.lambda) out.push_back(*r.lambda);
  }
  return out;
}

}  // namespace marlune::testing
