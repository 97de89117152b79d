#include "solvers/common/step_policy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

namespace sp = marlune::solvers::common::step_policy;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Records every step length it is asked about and answers from `cost_at`.
struct RecordingEvaluator {
  std::function<std::optional<double>(double)> cost_at;
  std::vector<double> calls;
  std::optional<double> operator()(double alpha) {
    calls.push_back(alpha);
    return cost_at(alpha);
  }
};

RecordingEvaluator constant(std::optional<double> c) {
  return {[c](double) { return c; }, {}};
}

sp::LineSearchContext context(double alpha0, double cost0, std::optional<double> dphi0) {
  sp::LineSearchContext ctx;
  ctx.alpha0 = alpha0;
  ctx.cost0 = cost0;
  ctx.dphi0 = dphi0;
  return ctx;
}

}  // namespace

TEST(SingleTrialPolicies, AcceptanceAndUnchangedAlpha) {
  const struct {
    const char* name;
    std::optional<double> trial;
    bool no_ls_accepts, cost_decrease_accepts;
  } cases[] = {
      {"lower cost", 1.0, true, true},
      {"equal cost", 2.0, true, false},
      {"larger finite cost", 50.0, true, false},
      {"no value", std::nullopt, false, false},
      {"NaN slipping through", kNaN, false, false},
      {"-inf slipping through", -kInf, false, false},
  };
  const auto ctx = context(0.75, 2.0, std::nullopt);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto eval = constant(c.trial);
    const auto no_ls = sp::NoLineSearch{}.search(ctx, eval);
    EXPECT_EQ(no_ls.accepted, c.no_ls_accepts);
    EXPECT_EQ(no_ls.alpha, 0.75);
    const auto decrease = sp::CostDecrease{}.search(ctx, eval);
    EXPECT_EQ(decrease.accepted, c.cost_decrease_accepts);
    EXPECT_EQ(decrease.alpha, 0.75);
    EXPECT_EQ(eval.calls, (std::vector<double>{0.75, 0.75}));
  }
}

TEST(ArmijoBacktracking, SearchOutcomes) {
  // cost0 = 1, dphi0 = -2, c1 = 0.25: the bound is 1 - 0.5·alpha.
  const struct {
    const char* name;
    std::optional<double> dphi0;
    std::uint64_t max_steps;
    std::function<std::optional<double>(double)> cost_at;
    bool accepted;
    double alpha;
    std::vector<double> calls;
  } cases[] = {
      {"never satisfied", -2.0, 3, [](double) { return 10.0; }, false, 0.125, {1, 0.5, 0.25}},
      {"exactly on the bound", -2.0, 3, [](double) { return 0.5; }, true, 1.0, {1}},
      {"just above the bound", -2.0, 1, [](double) { return 0.5000001; }, false, 0.5, {1}},
      {"second try", -2.0, 5, [](double a) { return a == 1.0 ? 0.9 : 0.7; }, true, 0.5, {1, 0.5}},
      {"no value then ok", -2.0, 5,
       [](double a) { return a == 1.0 ? std::nullopt : std::optional<double>(0.0); }, true, 0.5, {1, 0.5}},
      {"no slope", std::nullopt, 3, [](double) { return 0.0; }, false, 1.0, {}},
      {"no budget", -2.0, 0, [](double) { return 0.0; }, false, 1.0, {}},
      {"infinite bound", kInf, 1, [](double) { return 0.0; }, false, 0.5, {1}},
      {"NaN bound", kNaN, 1, [](double) { return 0.0; }, false, 0.5, {1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const sp::ArmijoBacktracking policy{0.5, c.max_steps, 0.25};
    RecordingEvaluator eval{c.cost_at, {}};
    const auto result = policy.search(context(1.0, 1.0, c.dphi0), eval);
    EXPECT_EQ(result.accepted, c.accepted);
    EXPECT_EQ(result.alpha, c.alpha);
    EXPECT_EQ(eval.calls, c.calls);
  }
}

// The bound is cost0 + dphi0·(c1·alpha). Find inputs where the other
// association rounds differently and put the trial cost on the boundary
// between the two.
TEST(ArmijoBacktracking, BoundAssociation) {
  const double cost0 = 0.0, c1 = 1e-4, alpha = 0.3;
  int discriminating = 0;
  for (int i = 1; i < 200; ++i) {
    const double dphi0 = -1.0 - 0.37 * i;
    const double rhs = cost0 + dphi0 * (c1 * alpha);
    const double other = cost0 + (dphi0 * c1) * alpha;
    if (rhs == other) continue;
    ++discriminating;
    // Whichever of the two is larger is accepted exactly when it is the true bound.
    const double trial = std::max(rhs, other);
    auto eval = constant(trial);
    const auto result = sp::ArmijoBacktracking{0.5, 1, c1}.search(context(alpha, cost0, dphi0), eval);
    EXPECT_EQ(result.accepted, trial == rhs) << "dphi0 = " << dphi0;
  }
  EXPECT_GT(discriminating, 5);
}
