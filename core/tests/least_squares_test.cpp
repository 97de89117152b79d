#include "solvers/common/least_squares.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/assert.hpp"
#include "numerics/linalg.hpp"
#include "solvers/common/scaling.hpp"

namespace ls = marlune::solvers::common::least_squares;

namespace {

using Vec = std::vector<double>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Bit patterns, so that the sign of a zero counts.
std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }
std::vector<std::uint64_t> bits_of(const Vec& v) {
  std::vector<std::uint64_t> out;
  for (double d : v) out.push_back(bits(d));
  return out;
}

}  // namespace

TEST(LeastSquaresResidual, CostAndNorm) {
  EXPECT_EQ(bits(ls::residual_cost({})), bits(-0.0));
  EXPECT_EQ(bits(ls::residual_norm({})), bits(-0.0));
  const Vec r{3.0, 4.0};
  EXPECT_EQ(ls::residual_cost(r), 12.5);
  EXPECT_EQ(ls::residual_norm(r), 5.0);
}

TEST(LeastSquaresDirection, UndampedRankDeficiencyFailsOneFormOnly) {
  const struct {
    const char* name;
    std::size_t m, n;
    Vec J, r;
    bool left_ok, normal_ok;
    Vec dx;  // expected from whichever form succeeds
  } cases[] = {
      {"wide J=[[1,0]]", 1, 2, {1, 0}, {2}, true, false, {-2, 0}},
      {"tall J=[[1],[1]]", 2, 1, {1, 1}, {1, 2}, false, true, {-1.5}},
      {"zero J", 2, 2, {0, 0, 0, 0}, {1, 2}, false, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Vec A(4), y(c.m), dx(c.n, 42.0);
    EXPECT_EQ(ls::solve_left_jjt_direction(c.J, c.r, c.m, c.n, A, y, dx, 0.0), c.left_ok);
    // A failed left solve leaves dx alone.
    EXPECT_EQ(dx, c.left_ok ? c.dx : Vec(c.n, 42.0));
    dx.assign(c.n, 42.0);
    EXPECT_EQ(ls::solve_normal_jtj_direction(c.J, c.r, c.m, c.n, A, dx, 0.0), c.normal_ok);
    if (c.normal_ok) {
      EXPECT_EQ(dx, c.dx);
    }
  }
}

TEST(LeastSquaresDiagnostics, SlopeAndSteepestDescentFallback) {
  const Vec J{1, 0, 0, 1};  // identity, so g = r
  const struct {
    const char* name;
    Vec r, dx_in;
    double dphi0;
    bool fallback;
    Vec dx_out;
  } cases[] = {
      {"descent direction kept", {1, 1}, {-1, 0.5}, -0.5, false, {-1, 0.5}},
      {"positive slope", {1, 1}, {1, 0}, -2.0, true, {-1, -1}},
      {"zero slope", {1, 0}, {0, 1}, -1.0, true, {-1, -0.0}},
      {"NaN slope", {1, 1}, {kNaN, 0}, -2.0, true, {-1, -1}},
      {"stationary point", {0, 0}, {5, -7}, -0.0, true, {-0.0, -0.0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Vec dx = c.dx_in, g(2, 9.0);
    const auto d = ls::complete_direction_diagnostics(J, c.r, 2, 2, dx, g, true);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(bits(d->dphi0), bits(c.dphi0));
    EXPECT_EQ(d->fallback, c.fallback);
    EXPECT_EQ(bits_of(dx), bits_of(c.dx_out));
    EXPECT_EQ(g, c.r);
  }
}

TEST(LeastSquaresDiagnostics, NotWantedTouchesNothing) {
  const Vec J{1, 0, 0, 1}, r{1, 1};
  Vec dx{1, 0}, g{9, 9};  // an ascent direction, still left as it is
  EXPECT_FALSE(ls::complete_direction_diagnostics(J, r, 2, 2, dx, g, false).has_value());
  EXPECT_EQ(dx, (Vec{1, 0}));
  EXPECT_EQ(g, (Vec{9, 9}));
}

TEST(LeastSquaresCommit, CopiesTrialAndRecomputesNormOnly) {
  Vec x{0, 0}, r{1, 1}, x_trial{1, 2}, r_trial{3, 4};
  double cost = 1.0, r_norm = 1.0;
  ls::commit_trial_state(x, r, cost, r_norm, x_trial, r_trial, 7.0);  // not ½·5², kept anyway
  EXPECT_EQ(x, x_trial);
  EXPECT_EQ(r, r_trial);
  EXPECT_EQ(cost, 7.0);
  EXPECT_EQ(r_norm, 5.0);
  EXPECT_EQ(x_trial, (Vec{1, 2}));
  EXPECT_EQ(r_trial, (Vec{3, 4}));

  Vec short_r{0};
  EXPECT_THROW(ls::commit_trial_state(x, short_r, cost, r_norm, x_trial, r_trial, 7.0),
               marlune::InternalError);
  Vec A(4), y(1), dx(2);
  EXPECT_THROW(ls::solve_left_jjt_direction(Vec{1, 0}, Vec{1, 2}, 1, 2, A, y, dx, 0.0), marlune::InternalError);
}

// --- parameter scaling ----------------------------------------------------------

namespace {

// A 3 by 2 Jacobian whose columns differ by six orders of magnitude.
const Vec kJ{1.0, 2e-6, 3.0, -1e-6, 0.5, 4e-6};
const Vec kR{0.3, -1.2, 2.0};

// The scaled normal step through its own pieces: A = JᵀJ, then the solve.
bool scaled_normal(const Vec& inverse, Vec& dx, double lambda) {
  Vec A(4, 0.0);
  marlune::numerics::linalg::jt_j_plus_lambda(kJ, 3, 2, A, 0.0);
  return ls::solve_assembled_normal_direction_scaled(A, kJ, kR, 3, 2, inverse, dx, lambda);
}

}  // namespace

TEST(LeastSquaresScaling, UnitScalesGiveTheUnscaledStepBitForBit) {
  const Vec ones{1.0, 1.0};
  Vec A(9), y(3), Js(6), dx(2), plain(2);
  ASSERT_TRUE(ls::solve_left_jjt_direction(kJ, kR, 3, 2, A, y, plain, 0.25));
  ASSERT_TRUE(ls::solve_left_jjt_direction_scaled(kJ, kR, 3, 2, ones, Js, A, y, dx, 0.25));
  EXPECT_EQ(bits_of(dx), bits_of(plain));
  Vec An(4);
  ASSERT_TRUE(ls::solve_normal_jtj_direction(kJ, kR, 3, 2, An, plain, 0.25));
  ASSERT_TRUE(scaled_normal(ones, dx, 0.25));
  EXPECT_EQ(bits_of(dx), bits_of(plain));
}

TEST(LeastSquaresScaling, BothFormsSolveTheScaledDampedSystem) {
  // (JᵀJ + λ·D²)·dx = -Jᵀr with D = 1/inverse, in either form.
  const Vec inverse{0.5, 2e5};
  const double lambda = 1e-3;
  Vec A(9), y(3), Js(6), left(2), normal(2);
  ASSERT_TRUE(ls::solve_left_jjt_direction_scaled(kJ, kR, 3, 2, inverse, Js, A, y, left, lambda));
  ASSERT_TRUE(scaled_normal(inverse, normal, lambda));
  for (const Vec* dx : {&left, &normal}) {
    for (std::size_t a = 0; a < 2; ++a) {
      double lhs = lambda * (*dx)[a] / (inverse[a] * inverse[a]), rhs = 0.0, scale = 0.0;
      for (std::size_t i = 0; i < 3; ++i) {
        double jdx = 0.0;
        for (std::size_t b = 0; b < 2; ++b) jdx += kJ[i * 2 + b] * (*dx)[b];
        lhs += kJ[i * 2 + a] * jdx;
        rhs -= kJ[i * 2 + a] * kR[i];
        scale += std::fabs(kJ[i * 2 + a] * kR[i]);
      }
      EXPECT_NEAR(lhs, rhs, 1e-12 * scale) << a;
    }
  }
  EXPECT_NEAR(left[1], normal[1], 1e-9 * std::fabs(normal[1]));
}

TEST(LeastSquaresScaling, MarquardtKeepsARunningMaximumOfTheColumnNorms) {
  ls::ScalingState s(ls::Scaling::marquardt(), 3);
  ASSERT_TRUE(s.active() && s.tracks_jacobian());
  const auto observe = [&](Vec squares) {
    std::copy(squares.begin(), squares.end(), s.column_squares().begin());
    s.observe();
    return Vec(s.inverse().begin(), s.inverse().end());
  };
  // A zero column when first seen counts as 1; a non-finite norm never moves D.
  EXPECT_EQ(observe({4.0, 0.0, kNaN}), (Vec{0.5, 1.0, 1.0}));
  EXPECT_EQ(observe({1.0, 16.0, std::numeric_limits<double>::infinity()}), (Vec{0.5, 0.25, 1.0}));
  EXPECT_EQ(observe({64.0, 4.0, 0.25}), (Vec{0.125, 0.25, 1.0}));
  EXPECT_EQ(s.scaled_norm(Vec{0.375, 1.0, 0.0}), 5.0);  // D = (8, 4, 1): ‖(3, 4, 0)‖
  EXPECT_EQ(bits(s.scaled_norm(Vec{})), bits(-0.0));

  ls::ScalingState fixed(ls::Scaling::fixed({1e3, 0.5}), 2);
  EXPECT_FALSE(fixed.tracks_jacobian());
  EXPECT_EQ(Vec(fixed.inverse().begin(), fixed.inverse().end()), (Vec{1e3, 0.5}));
  EXPECT_FALSE(ls::ScalingState(ls::Scaling::none(), 2).active());
}
