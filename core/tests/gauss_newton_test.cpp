#include "solvers/gn/gauss_newton.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>

#include "common/assert.hpp"
#include "manifolds/space.hpp"
#include "solver_test_support.hpp"

namespace {

using marlune::manifolds::space::Euclidean;
using marlune::solvers::common::least_squares::NoProjection;
using namespace marlune::solvers::gn;
using namespace marlune::testing;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

GaussNewton<Euclidean> solver() { return GaussNewton<Euclidean>{.space = {}, .history = true}; }

TEST(GaussNewton, FitsAnExponentialWithEitherForm) {
  for (LinearSystem form : {LinearSystem::left_jjt, LinearSystem::normal_jtj}) {
    ExponentialFit fit;
    auto gn = solver();
    gn.linear_system = form;
    gn.tol_r = 1e-12;
    gn.tol_dx = 0.0;
    const auto result = gn.solve_with_fn_default_line_search(fit.m(), {1.0, 0.0}, fit.residual_fn(), fit.jacobian_fn(),
                                                             NoProjection{});
    EXPECT_TRUE(result.converged);
    EXPECT_NEAR(result.x[0], 2.0, 1e-10);
    EXPECT_NEAR(result.x[1], -1.0, 1e-10);
    const auto n = notes(*result.trace);
    EXPECT_EQ(n.front(), "initial");
    EXPECT_EQ(n.back(), "converged_r");
    EXPECT_EQ(result.iterations + 2, n.size());  // one "accepted" per iteration
    EXPECT_EQ(fit.residual_points.front(), (Vec{1.0, 0.0}));  // x0 is evaluated first, unprojected
    EXPECT_EQ(fit.jacobian_calls, static_cast<int>(result.iterations));
  }
}

TEST(GaussNewton, NoLineSearchEvaluatesTheAcceptedPointTwice) {
  ExponentialFit fit;
  auto gn = solver();
  gn.max_iters = 1;
  marlune::solvers::common::step_policy::NoLineSearch policy;
  gn.solve_with_fn(fit.m(), {1.0, 0.0}, fit.residual_fn(), fit.jacobian_fn(), NoProjection{}, policy);
  ASSERT_EQ(fit.residual_calls, 3);
  EXPECT_EQ(fit.residual_points[1], fit.residual_points[2]);
  EXPECT_NE(fit.residual_points[0], fit.residual_points[1]);
}

TEST(GaussNewton, ProjectionAppliesToEveryTrialPointButNotToX0) {
  Shift shift{{5.0, 5.0}};
  std::vector<Vec> projected;
  auto clamp = [&](std::span<double> x) {
    projected.emplace_back(x.begin(), x.end());
    for (double& v : x) v = std::min(v, 4.0);
  };
  auto gn = solver();
  gn.max_iters = 3;
  gn.line_search_method = LineSearchMethod::none;
  const auto result = gn.solve_with_fn_default_line_search(2, {0.0, 0.0}, shift.residual_fn(), shift.jacobian_fn(), clamp);
  EXPECT_EQ(result.x, (Vec{4.0, 4.0}));
  EXPECT_EQ(projected.size(), 2u * result.iterations);
  EXPECT_NE(projected.front(), (Vec{0.0, 0.0}));
}

TEST(GaussNewton, BuiltInPolicyParametersFallBackToTheirDefaults) {
  // Armijo that can never be satisfied, with a budget of 0 (raised to 1) and
  // a NaN shrink factor (taken as 0.5): one trial, rejected with alpha 0.5.
  Shift shift{{1.0}};
  auto gn = solver();
  gn.max_iters = 1;
  gn.ls_max_steps = 0;
  gn.ls_beta = kNaN;
  gn.c_armijo = 1e10;
  const auto result =
      gn.solve_with_fn_default_line_search(1, {0.0}, shift.residual_fn(), shift.jacobian_fn(), NoProjection{});
  EXPECT_EQ(shift.residual_calls, 2);
  EXPECT_EQ(*(*result.trace)[1].note, "rejected");
  EXPECT_EQ(*(*result.trace)[1].alpha, 0.5);
}

TEST(GaussNewton, StopPredicateEndsAtTheNextIterationBoundaryWithoutRecords) {
  Shift shift{{1e6}};
  ScriptedPolicy policy;
  auto gn = solver();
  gn.tol_r = gn.tol_dx = -1.0;
  gn.max_iters = 1000;
  const auto result = gn.solve_with_fn(1, {0.0}, shift.residual_fn(), shift.jacobian_fn(), NoProjection{}, policy,
                                       [&] { return shift.jacobian_calls == 2; });
  EXPECT_EQ(result.iterations, 2u);
  EXPECT_EQ(result.trace->size(), 3u);  // initial and two accepted, nothing for the stop
}

TEST(GaussNewton, EmptyProblemIsAnInternalFailureBeforeAnyCall) {
  Shift shift{{}};
  auto gn = solver();
  try {
    gn.solve_with_fn_default_line_search(0, {}, shift.residual_fn(), shift.jacobian_fn(), NoProjection{});
    FAIL() << "no failure";
  } catch (const marlune::InternalError& e) {
    EXPECT_STREQ(e.what(), "assertion failed: m > 0 && n > 0");
  }
  EXPECT_EQ(shift.residual_calls, 0);
}

TEST(GaussNewtonWorkspace, AllocatesOnlyTheConfiguredSystemAndRefusesImpossibleSizes) {
  const auto left = GaussNewtonWorkspace::create(4, 2, LinearSystem::left_jjt);
  EXPECT_EQ(left.A.size(), 16u);
  EXPECT_TRUE(left.J_scaled.empty());
  EXPECT_EQ(GaussNewtonWorkspace::create(4, 2, LinearSystem::left_jjt, /*scaled=*/true).J_scaled.size(), 8u);
  const auto normal = GaussNewtonWorkspace::create(1000000, 3, LinearSystem::normal_jtj, /*scaled=*/true);
  EXPECT_EQ(normal.A.size(), 9u);
  EXPECT_TRUE(normal.J_scaled.empty());  // the normal form scales the assembled matrix instead
  EXPECT_EQ(normal.J.size(), 3000000u);
  EXPECT_THROW(GaussNewtonWorkspace::create(1000000, 3, LinearSystem::left_jjt), std::bad_alloc);
  EXPECT_THROW(GaussNewtonWorkspace::create(std::size_t{1} << 33, 1, LinearSystem::left_jjt), std::bad_alloc);  // m·m wraps
  EXPECT_THROW(GaussNewtonWorkspace::create(3, std::size_t{1} << 63, LinearSystem::normal_jtj), std::bad_alloc);
}

TEST(StrictDecreaseBacktracking, ShrinksUntilBelowTheSmallestStep) {
  std::vector<double> tried;
  auto never = [&](double a) -> std::optional<double> {
    tried.push_back(a);
    return 1.0;  // equal to cost0: a rejection
  };
  const StrictDecreaseBacktracking policy{.beta = 0.5, .min_step = 0.3, .max_steps = 20};
  marlune::solvers::common::step_policy::LineSearchContext ctx;
  ctx.alpha0 = 1.0;
  ctx.cost0 = 1.0;
  const auto found = policy.search(ctx, never);
  EXPECT_EQ(tried, (Vec{1.0, 0.5}));
  EXPECT_FALSE(found.accepted);
  EXPECT_EQ(found.alpha, 0.25);

  tried.clear();
  const StrictDecreaseBacktracking budget{.beta = 0.5, .min_step = 1e-8, .max_steps = 3};
  EXPECT_EQ(budget.search(ctx, never).alpha, 0.125);
  EXPECT_EQ(tried, (Vec{1.0, 0.5, 0.25}));
  auto lower = [](double a) -> std::optional<double> { return a < 0.3 ? std::optional<double>(0.5) : std::nullopt; };
  const auto accepted = budget.search(ctx, lower);
  EXPECT_TRUE(accepted.accepted);
  EXPECT_EQ(accepted.alpha, 0.25);
  EXPECT_FALSE((StrictDecreaseBacktracking{.max_steps = 0}.search(ctx, never).accepted));
}

}  // namespace
