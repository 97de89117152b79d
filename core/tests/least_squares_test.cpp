#include "solvers/common/least_squares.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/assert.hpp"

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
