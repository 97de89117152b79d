#include "solvers/gd/gradient_descent.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <vector>

namespace {

using marlune::manifolds::space::Euclidean;
using marlune::manifolds::space::Vec;
using marlune::solvers::common::step_policy::LineSearchContext;
using marlune::solvers::common::step_policy::LineSearchResult;
using marlune::solvers::gd::GradientDescent;

// f(x) = sum x_i^2 with call counters.
struct Quadratic {
  int f_calls = 0;
  int g_calls = 0;
  auto value() {
    return [this](std::span<const double> x) {
      ++f_calls;
      double s = 0.0;
      for (double v : x) s += v * v;
      return s;
    };
  }
  auto gradient() {
    return [this](std::span<const double> x, std::span<double> g) {
      ++g_calls;
      for (std::size_t i = 0; i < x.size(); ++i) g[i] = 2.0 * x[i];
    };
  }
};

GradientDescent<Euclidean> solver(double step, std::uint64_t max_iters, double tol, bool history = false,
                                  bool verbose = false) {
  return {.space = {}, .step_size = step, .max_iters = max_iters, .tol_grad = tol, .verbose = verbose,
          .history = history};
}

TEST(GradientDescent, HalvingRunConvergesAtIterationElevenWithOneObjectiveCall) {
  Quadratic q;
  auto r = solver(0.25, 100, 0.001, true).minimize_with_fn({1.0}, q.value(), q.gradient());
  EXPECT_TRUE(r.converged);
  EXPECT_EQ(r.x, Vec{0.00048828125});
  EXPECT_EQ(r.f, 2.384185791015625e-07);
  EXPECT_EQ(r.iterations, 11u);
  EXPECT_EQ(r.grad_norm, 0.0009765625);
  EXPECT_EQ(q.g_calls, 12);
  EXPECT_EQ(q.f_calls, 1);
  ASSERT_EQ(r.trace->size(), 1u);
  EXPECT_EQ((*r.trace)[0].note, "converged");
  EXPECT_FALSE((*r.trace)[0].step_size.has_value());
}

TEST(GradientDescent, LimitEndsWithObjectiveAtFinalPointAndStaleGradientNorm) {
  Quadratic q;
  auto r = solver(0.25, 2, 0.0, true).minimize_with_fn({1.0}, q.value(), q.gradient());
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.iterations, 2u);
  EXPECT_EQ(r.x, Vec{0.25});
  EXPECT_EQ(r.f, 0.0625);
  EXPECT_EQ(r.grad_norm, 1.0);  // gradient at 0.5, before the last step
  EXPECT_TRUE(r.trace->empty());

  Quadratic none;
  auto z = solver(0.25, 0, 1e-6).minimize_with_fn({3.0}, none.value(), none.gradient());
  EXPECT_EQ(none.g_calls, 0);
  EXPECT_EQ(none.f_calls, 1);
  EXPECT_EQ(z.f, 9.0);
  EXPECT_FALSE(z.trace.has_value());
}

TEST(GradientDescent, EmptyPointConvergesImmediately) {
  Quadratic q;
  auto r = solver(0.1, 100, 1e-6).minimize_with_fn({}, q.value(), q.gradient());
  EXPECT_TRUE(r.converged);
  EXPECT_EQ(r.iterations, 0u);
  EXPECT_TRUE(std::signbit(r.grad_norm));
}

struct Scripted {
  std::vector<LineSearchResult> answers;
  std::vector<LineSearchContext> seen{};
  template <class Eval>
  LineSearchResult search(const LineSearchContext& ctx, Eval&&) {
    seen.push_back(ctx);
    return answers[seen.size() - 1];
  }
};

TEST(GradientDescentLineSearch, ContextAndRejection) {
  Quadratic q;
  Scripted policy{.answers = {{true, 0.5}, {false, 0.5}}};
  auto r = solver(0.1, 10, 1e-9, true).minimize_with_fn_and_line_search({1.0}, q.value(), q.gradient(), policy);
  // Step 1: x = 1 - 0.5*2 = 0; step 2 rejected at x = 0 (gradient 0 > tol? no:
  // 0 < 1e-9 converges first).
  EXPECT_TRUE(r.converged);
  ASSERT_EQ(policy.seen.size(), 1u);
  EXPECT_EQ(policy.seen[0].alpha0, 0.1);
  EXPECT_EQ(policy.seen[0].cost0, 1.0);
  EXPECT_EQ(policy.seen[0].dphi0, -4.0);
  EXPECT_EQ(policy.seen[0].dx_norm, 2.0);
  EXPECT_EQ(policy.seen[0].lambda, 0.0);
  ASSERT_EQ(r.trace->size(), 3u);  // ordinary 0, ordinary 1, converged 1

  Quadratic q2;
  Scripted reject{.answers = {{false, 0.5}}};
  auto s = solver(0.1, 10, 1e-9, true).minimize_with_fn_and_line_search({1.0}, q2.value(), q2.gradient(), reject);
  EXPECT_FALSE(s.converged);
  EXPECT_EQ(s.iterations, 0u);
  EXPECT_EQ(s.x, Vec{1.0});
  EXPECT_EQ(s.f, 1.0);
  EXPECT_EQ(s.trace->size(), 1u);
}

TEST(GradientDescentLineSearch, NonFiniteObjectiveAtAcceptedPointStops) {
  int calls = 0;
  auto value = [&](std::span<const double> x) {
    ++calls;
    return x[0] == 1.0 ? 1.0 : std::numeric_limits<double>::infinity();
  };
  auto gradient = [](std::span<const double>, std::span<double> g) { g[0] = 1.0; };
  Scripted accept{.answers = {{true, 1.0}}};
  auto r = solver(0.1, 10, 1e-9).minimize_with_fn_and_line_search({1.0}, value, gradient, accept);
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.x, Vec{1.0});
  EXPECT_EQ(r.f, 1.0);
  EXPECT_EQ(calls, 2);
}

}  // namespace
