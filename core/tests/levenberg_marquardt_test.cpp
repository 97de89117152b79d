#include "solvers/lm/levenberg_marquardt.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "manifolds/space.hpp"
#include "solver_test_support.hpp"

namespace {

using marlune::manifolds::space::Euclidean;
using marlune::solvers::common::least_squares::NoProjection;
using marlune::solvers::common::step_policy::CostDecrease;
using namespace marlune::solvers::lm;
using namespace marlune::testing;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

LevenbergMarquardt<Euclidean> solver() { return LevenbergMarquardt<Euclidean>{.space = {}, .history = true}; }

TEST(LevenbergMarquardt, OutOfRangeFactorsAndDampingFallBack) {
  struct Case {
    double lambda, up, down, first_lambda, after_failure;
  } cases[] = {
      {0.0, 10.0, 0.5, 1e-12, 1e-11},  // the start is never below the floor
      {kNaN, 1.0, kNaN, 1e-12, 1e-11}, // NaN damping is ignored; up must exceed 1
      {1.0, 4.0, 1.0, 1.0, 4.0},
  };
  for (const auto& c : cases) {
    Shift shift{{1.0}};
    ScriptedPolicy policy{.script = {false, true}, .seen = {}};
    auto lm = solver();
    lm.lambda = c.lambda;
    lm.lambda_up = c.up;
    lm.lambda_down = c.down;
    lm.max_iters = 2;
    lm.tol_dx = -1.0;
    const auto result = lm.solve_with_fn(1, {0.0}, shift.residual_fn(), shift.jacobian_fn(), NoProjection{}, policy);
    EXPECT_EQ(policy.seen[0].lambda, c.first_lambda);
    EXPECT_EQ(policy.seen[1].lambda, c.after_failure);
    EXPECT_EQ(lambdas(*result.trace).back(), std::max(c.after_failure * 0.5, 1e-12));
  }
}

TEST(LevenbergMarquardt, FallbackRecordPrecedesTheOutcomeAndCarriesMinusSumOfSquares) {
  // J·Jᵀ is 1e300, so the solved direction underflows to zero and its slope
  // is not negative, while the steepest-descent slope -Σg² is.
  auto residual = [](std::span<const double> x, std::span<double> out) { out[0] = 1e150 * x[0] + 1e-150 * x[1] + 1e-160; };
  auto jacobian = [](std::span<const double>, std::span<double> out) {
    out[0] = 1e150;
    out[1] = 1e-150;
  };
  SlopePolicy policy;
  policy.script = {false};
  auto lm = solver();
  lm.tol_r = 0.0;
  lm.tol_dx = 0.0;
  lm.max_iters = 1;
  const auto result = lm.solve_with_fn(1, {0.0, 0.0}, residual, jacobian, NoProjection{}, policy);
  const auto& t = *result.trace;
  ASSERT_EQ(notes(t), (std::vector<std::string>{"initial", "fallback_to_steepest_descent", "rejected"}));
  const double g0 = 0.0 + 1e-160 * 1e150, g1 = 0.0 + 1e-160 * 1e-150;
  const double minus_sum_sq = -0.0 + g0 * -g0 + g1 * -g1;
  EXPECT_LT(minus_sum_sq, 0.0);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*t[1].dphi0), std::bit_cast<std::uint64_t>(minus_sum_sq));
  EXPECT_FALSE(t[1].dx_norm || t[1].alpha || t[1].lambda);
  EXPECT_EQ(*policy.seen[0].dphi0, minus_sum_sq);
  EXPECT_EQ(*t[2].dx_norm, std::sqrt(-0.0 + g0 * g0 + g1 * g1));  // the norm of -g

  // CostDecrease does not ask for the slope: no diagnostics, no fallback.
  CostDecrease plain;
  const auto without = lm.solve_with_fn(1, {0.0, 0.0}, residual, jacobian, NoProjection{}, plain);
  EXPECT_EQ(notes(*without.trace), (std::vector<std::string>{"initial"}));  // dx = 0 meets tol_dx 0
  EXPECT_TRUE(without.converged);
}

TEST(LmWorkspace, TheNormalFormHoldsWhatTheLeftFormCannot) {
  EXPECT_EQ(LmWorkspace::create(3, 2).A.size(), 9u);
  EXPECT_THROW(LmWorkspace::create(1000000, 1), std::bad_alloc);
  EXPECT_EQ(LmWorkspace::create(1000000, 2, LinearSystem::normal_jtj).A.size(), 4u);
}

}  // namespace
