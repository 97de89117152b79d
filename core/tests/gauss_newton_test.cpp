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
constexpr double kInf = std::numeric_limits<double>::infinity();

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

TEST(GaussNewton, AdaptiveDampingGrowsTenfoldAndHalvesDownToItsFloor) {
  Shift shift{{1e6}};
  ScriptedPolicy policy{.script = {false, false, false}, .seen = {}};  // then accepts forever
  auto gn = solver();
  gn.tol_r = gn.tol_dx = -1.0;
  gn.max_iters = 16;
  const auto result = gn.solve_with_fn(1, {0.0}, shift.residual_fn(), shift.jacobian_fn(), NoProjection{}, policy);
  const Vec expected{1e-2, 1e-1, 1.0, 0.5, 0.25, 0.125, 0.0625, 0.03125, 0.015625, 0.0078125, 0.00390625,
                     0.001953125, 1e-3, 1e-3, 1e-3, 1e-3};
  EXPECT_EQ(lambdas(*result.trace), expected);
  EXPECT_EQ(policy.seen[3].lambda, 1.0);  // the context carries λ before the update
  EXPECT_EQ(notes(*result.trace).back(), "max_iters");
  EXPECT_TRUE(std::isnan(result.dx_norm));
}

TEST(GaussNewton, FixedDampingEndsOnTheFirstFailureOfEachKind) {
  struct Case {
    const char* name;
    double lambda;
    bool zero_jacobian, policy_accepts, invalid_trial;
    const char* note;
    bool record_has_step;
  } cases[] = {
      {"rejected", 1e-3, false, false, false, "rejected_fixed", true},
      {"singular", 0.0, true, true, false, "linear_solve_failed_fixed", false},
      {"invalid re-evaluation", 1e-3, false, true, true, "accepted_step_invalid_fixed", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    auto residual = [&](std::span<const double> x, std::span<double> out) {
      out[0] = ++calls > 1 && c.invalid_trial ? kInf : x[0] - 3.0;
    };
    auto jacobian = [&](std::span<const double>, std::span<double> out) { out[0] = c.zero_jacobian ? 0.0 : 1.0; };
    ScriptedPolicy policy{.script = {c.policy_accepts}, .seen = {}};
    auto gn = solver();
    gn.lambda = c.lambda;
    gn.damping_update = DampingUpdate::fixed;
    const auto result = gn.solve_with_fn(1, {0.0}, residual, jacobian, NoProjection{}, policy);
    ASSERT_EQ(result.trace->size(), 2u);
    const auto& last = result.trace->back();
    EXPECT_EQ(*last.note, c.note);
    EXPECT_EQ(last.dx_norm.has_value(), c.record_has_step);
    EXPECT_EQ(last.alpha.has_value(), c.record_has_step);
    EXPECT_FALSE(last.lambda.has_value());
    EXPECT_EQ(result.x, (Vec{0.0}));  // nothing committed
    EXPECT_EQ(result.iterations, 0u);
    EXPECT_EQ(result.dx_norm, 0.0);
    EXPECT_FALSE(result.converged);
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

TEST(GaussNewton, StrictDecreaseNeverEndsOnTheDirectionTest) {
  // tol_dx is huge, so the direction test ends any run where it is made.
  struct Case {
    LineSearchMethod method;
    int policy;  // 0 built-in, 1 NoLineSearch, 2 a caller's policy
    const char* last_note;
  } cases[] = {
      {LineSearchMethod::armijo, 0, "converged_dx"},
      {LineSearchMethod::strict_decrease, 0, "max_iters"},
      {LineSearchMethod::strict_decrease, 1, "max_iters"},
      {LineSearchMethod::none, 1, "converged_dx"},
      {LineSearchMethod::strict_decrease, 2, "converged_dx"},
  };
  for (const auto& c : cases) {
    Shift shift{{1.0}};
    auto gn = solver();
    gn.tol_r = -1.0;
    gn.tol_dx = 1e300;
    gn.max_iters = 3;
    gn.line_search_method = c.method;
    auto r = shift.residual_fn();
    auto j = shift.jacobian_fn();
    GaussNewtonResult result;
    if (c.policy == 0) {
      result = gn.solve_with_fn_default_line_search(1, {0.0}, r, j, NoProjection{});
    } else if (c.policy == 1) {
      marlune::solvers::common::step_policy::NoLineSearch p;
      result = gn.solve_with_fn(1, {0.0}, r, j, NoProjection{}, p);
    } else {
      SlopePolicy p;
      result = gn.solve_with_fn(1, {0.0}, r, j, NoProjection{}, p);
    }
    EXPECT_EQ(notes(*result.trace).back(), c.last_note) << static_cast<int>(c.method) << "/" << c.policy;
  }
}

TEST(GaussNewton, StepScaleIsClampedAndZeroEndsTheRun) {
  for (double scale : {0.0, -2.0, 5.0}) {
    Shift shift{{1.0}};
    ScriptedPolicy policy;
    auto gn = solver();
    gn.step_scale = scale;
    gn.max_iters = 1;
    const auto result = gn.solve_with_fn(1, {0.0}, shift.residual_fn(), shift.jacobian_fn(), NoProjection{}, policy);
    if (scale > 1.0) {
      ASSERT_EQ(policy.seen.size(), 1u);
      EXPECT_EQ(policy.seen[0].alpha0, 1.0);
    } else {
      EXPECT_TRUE(policy.seen.empty());
      EXPECT_EQ(notes(*result.trace).back(), "zero_step_scale");
      EXPECT_EQ(result.dx_norm, *result.trace->back().dx_norm);
      EXPECT_FALSE(result.converged);
    }
  }
}

TEST(GaussNewton, EndingsBeforeTheFirstJacobian) {
  // max_iters 0 ends at once even at a zero of the residual; with an
  // iteration allowed, that zero ends the run by the residual test.
  for (std::uint64_t max_iters : {0u, 5u}) {
    Shift shift{{0.0}};
    auto gn = solver();
    gn.max_iters = max_iters;
    const auto result =
        gn.solve_with_fn_default_line_search(1, {0.0}, shift.residual_fn(), shift.jacobian_fn(), NoProjection{});
    EXPECT_EQ(shift.jacobian_calls, 0);
    EXPECT_EQ(notes(*result.trace), (std::vector<std::string>{"initial", max_iters ? "converged_r" : "max_iters"}));
    EXPECT_EQ(result.converged, max_iters != 0);
    EXPECT_EQ(std::isnan(result.dx_norm), max_iters == 0);
  }
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
  EXPECT_EQ(left.A_left.size(), 16u);
  EXPECT_TRUE(left.A_normal.empty());
  const auto normal = GaussNewtonWorkspace::create(1000000, 3, LinearSystem::normal_jtj);
  EXPECT_EQ(normal.A_normal.size(), 9u);
  EXPECT_TRUE(normal.A_left.empty());
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
