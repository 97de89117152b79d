#include "numerics/linalg.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "common/assert.hpp"
#include "solvers/common/least_squares.hpp"

namespace la = marlune::numerics::linalg;
namespace ls = marlune::solvers::common::least_squares;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Exact bits of every value, except that all NaNs compare equal: which NaN
// (sign, payload) an operation returns depends on the hardware and on operand
// order, which the compiler may commute, so only "NaN here" is reproducible.
std::vector<std::uint64_t> bits_of(const std::vector<double>& v) {
  std::vector<std::uint64_t> out;
  for (double d : v) out.push_back(std::isnan(d) ? 0x7ff8000000000000u : std::bit_cast<std::uint64_t>(d));
  return out;
}

// ---- Independent reference, written from the formulas on nested vectors ----
using Mat = std::vector<std::vector<double>>;

Mat to_mat(const std::vector<double>& flat, std::size_t rows, std::size_t cols) {
  Mat out(rows, std::vector<double>(cols));
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j) out[i][j] = flat[i * cols + j];
  return out;
}

std::vector<double> flatten(const Mat& a) {
  std::vector<double> out;
  for (const auto& row : a) out.insert(out.end(), row.begin(), row.end());
  return out;
}

// Element (i, j) = Σ_k P[i][k]·Q[j][k] from +0, plus λ on the diagonal.
Mat ref_rows_dot(const Mat& P, const Mat& Q, std::size_t inner, double lambda) {
  Mat out(P.size(), std::vector<double>(Q.size()));
  for (std::size_t i = 0; i < P.size(); ++i) {
    for (std::size_t j = 0; j < Q.size(); ++j) {
      double s = 0.0;
      for (std::size_t k = 0; k < inner; ++k) s = s + P[i][k] * Q[j][k];
      out[i][j] = i == j ? s + lambda : s;
    }
  }
  return out;
}

Mat transpose(const Mat& a, std::size_t rows, std::size_t cols) {
  Mat t(cols, std::vector<double>(rows));
  for (std::size_t i = 0; i < rows; ++i)
    for (std::size_t j = 0; j < cols; ++j) t[j][i] = a[i][j];
  return t;
}

bool ref_solve(Mat& A, std::vector<double>& b) {
  const std::size_t n = A.size();
  auto pivot_ok = [](double v) { return std::fabs(v) >= 1e-12 && std::fabs(v) != kInf; };
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t p = k;
    for (std::size_t r = k + 1; r < n; ++r)
      if (std::fabs(A[r][k]) > std::fabs(A[p][k])) p = r;
    if (!pivot_ok(A[p][k])) return false;
    std::swap(A[k], A[p]);
    std::swap(b[k], b[p]);
    for (std::size_t r = k + 1; r < n; ++r) {
      const double f = A[r][k] / A[k][k];
      A[r][k] = 0.0;
      for (std::size_t c = k + 1; c < n; ++c) A[r][c] = A[r][c] - f * A[k][c];
      b[r] = b[r] - f * b[k];
    }
  }
  for (std::size_t i = n; i-- > 0;) {
    double s = b[i];
    for (std::size_t j = i + 1; j < n; ++j) s = s - A[i][j] * b[j];
    if (!pivot_ok(A[i][i])) return false;
    b[i] = s / A[i][i];
  }
  return true;
}

// Platform-independent values: mt19937_64 output is fully specified, and the
// doubles are assembled from its bits by hand. Mixes zeros of both signs,
// small integers, ordinary, huge and tiny magnitudes, and rare inf/NaN.
double random_value(std::mt19937_64& rng) {
  const std::uint64_t u = rng();
  const std::uint64_t sign = (u >> 63) << 63;
  switch (u % 16) {
    case 0: return 0.0;
    case 1: return -0.0;
    case 2: return static_cast<double>(static_cast<int>((u >> 8) % 7) - 3);
    case 3: return std::bit_cast<double>(sign | (std::uint64_t{1023 + 400 + (u >> 8) % 200} << 52) | (rng() >> 12));
    case 4: return std::bit_cast<double>(sign | (std::uint64_t{1023 - 600 + (u >> 8) % 200} << 52) | (rng() >> 12));
    case 5: return (u >> 8) % 8 == 0 ? ((u >> 16) % 2 ? kNaN : -kInf) : 1.0;
    default: return std::bit_cast<double>(sign | (std::uint64_t{1023 - 8 + (u >> 8) % 16} << 52) | (rng() >> 12));
  }
}

std::vector<double> random_vector(std::mt19937_64& rng, std::size_t len) {
  std::vector<double> v(len);
  for (double& d : v) d = random_value(rng);
  return v;
}

// -(Jᵀ·w): each entry summed over the rows of J from +0, then negated.
std::vector<double> ref_minus_jt(const Mat& J, const std::vector<double>& w, std::size_t n) {
  std::vector<double> out(n);
  for (std::size_t k = 0; k < n; ++k) {
    double s = 0.0;
    for (std::size_t i = 0; i < J.size(); ++i) s = s + w[i] * J[i][k];
    out[k] = -s;
  }
  return out;
}

void expect_symmetric(const std::vector<double>& a, std::size_t order) {
  for (std::size_t i = 0; i < order; ++i)
    for (std::size_t j = 0; j < i; ++j)
      EXPECT_EQ(bits_of({a[i * order + j]}), bits_of({a[j * order + i]})) << i << "," << j;
}

}  // namespace

// The kernels and the two direction solvers built on them, against loops
// written separately from the formulas, compared bit for bit.
TEST(LinalgReference, KernelsAndDirectionsMatchIndependentLoopsBitForBit) {
  std::mt19937_64 rng(20240611);
  int solved = 0, directions = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    SCOPED_TRACE(trial);
    const std::size_t m = rng() % 7, n = rng() % 7;
    const std::vector<double> J = random_vector(rng, m * n), r = random_vector(rng, m);
    const double lambda = trial % 3 == 0 ? 0.0 : random_value(rng);
    const Mat Jm = to_mat(J, m, n);
    const Mat Jt = transpose(Jm, m, n);

    const Mat left_ref = ref_rows_dot(Jm, Jm, n, lambda);
    std::vector<double> left(m * m, 7.0);
    la::jj_t_plus_lambda(J, m, n, left, lambda);
    EXPECT_EQ(bits_of(left), bits_of(flatten(left_ref)));
    expect_symmetric(left, m);

    const Mat normal_ref = ref_rows_dot(Jt, Jt, m, lambda);
    std::vector<double> normal(n * n, 7.0);
    la::jt_j_plus_lambda(J, m, n, normal, lambda);
    EXPECT_EQ(bits_of(normal), bits_of(flatten(normal_ref)));
    expect_symmetric(normal, n);

    // Square systems: half of them diagonally loaded so that most solve.
    std::vector<double> A = random_vector(rng, n * n), b = random_vector(rng, n);
    if (trial % 2 == 0)
      for (std::size_t d = 0; d < n; ++d) A[d * n + d] = 1e3 * static_cast<double>(d + 1);
    Mat Aref = to_mat(A, n, n);
    std::vector<double> bref = b;
    const bool ok = la::solve_linear_inplace(A, b, n);
    ASSERT_EQ(ok, ref_solve(Aref, bref));
    solved += ok;
    EXPECT_EQ(bits_of(A), bits_of(flatten(Aref)));
    EXPECT_EQ(bits_of(b), bits_of(bref));

    // Left form: y = (J·Jᵀ + λI)⁻¹·r, dx = -Jᵀ·y; a failure leaves dx alone.
    Mat sys = left_ref;
    std::vector<double> y_ref = r, dx(n, 7.0), dx_ref(n, 7.0), y(m);
    const bool left_ok = ref_solve(sys, y_ref);
    if (left_ok) dx_ref = ref_minus_jt(Jm, y_ref, n);
    ASSERT_EQ(ls::solve_left_jjt_direction(J, r, m, n, left, y, dx, lambda), left_ok);
    EXPECT_EQ(bits_of(dx), bits_of(dx_ref));

    // Normal form: solve (Jᵀ·J + λI)·dx = -Jᵀ·r.
    sys = normal_ref;
    dx_ref = ref_minus_jt(Jm, r, n);
    const bool normal_ok = ref_solve(sys, dx_ref);
    ASSERT_EQ(ls::solve_normal_jtj_direction(J, r, m, n, normal, dx, lambda), normal_ok);
    if (normal_ok) {
      EXPECT_EQ(bits_of(dx), bits_of(dx_ref));
    }
    directions += left_ok + normal_ok;
  }
  // The comparisons must exercise real solutions, not only failures.
  EXPECT_GT(solved, 1000);
  EXPECT_GT(directions, 1000);
}

TEST(LinalgAssembly, EmptyInnerDimensionLeavesLambdaIdentity) {
  const std::vector<double> none;
  std::vector<double> out(3 * 3 + 2, 9.0);  // the slack must be cleared too
  la::jj_t_plus_lambda(none, 3, 0, out, 2.5);
  EXPECT_EQ(out, (std::vector<double>{2.5, 0, 0, 0, 2.5, 0, 0, 0, 2.5, 0, 0}));
  std::vector<double> out2(4, 9.0);
  la::jt_j_plus_lambda(none, 0, 2, out2, -1.0);
  EXPECT_EQ(out2, (std::vector<double>{-1.0, 0, 0, -1.0}));
}

struct SolveCase {
  const char* name;
  std::vector<double> A, b;
  bool ok;
  std::vector<double> A_after, b_after;  // checked bit for bit
};

TEST(LinalgSolve, PivotRuleAndExamples) {
  const SolveCase cases[] = {
      {"threshold itself passes", {1e-12}, {3.0}, true, {1e-12}, {3.0 / 1e-12}},
      {"negative threshold passes", {-1e-12}, {3.0}, true, {-1e-12}, {3.0 / -1e-12}},
      {"just below threshold", {9.9e-13}, {3.0}, false, {9.9e-13}, {3.0}},
      {"infinite pivot", {kInf}, {3.0}, false, {kInf}, {3.0}},
      {"NaN pivot", {kNaN}, {3.0}, false, {kNaN}, {3.0}},
      // |1| and |-1| tie: the earlier row stays, giving the factor [[1,2],[0,2]].
      {"tie keeps earlier row", {1, 2, -1, 0}, {1, 1}, true, {1, 2, 0, 2}, {-1, 1}},
      {"row exchange", {0, 1, 1, 0}, {2, 3}, true, {1, 0, 0, 1}, {3, 2}},
      // The second pivot becomes exactly 0; the state is where elimination stopped.
      {"singular", {1, 1, 1, 1}, {1, 2}, false, {1, 1, 0, 0}, {1, 1}},
      // A NaN on the diagonal fails the column even with a good pivot below.
      {"NaN on diagonal", {kNaN, 1, 5, 1}, {1, 2}, false, {kNaN, 1, 5, 1}, {1, 2}},
      {"inf on diagonal", {kInf, 1, 5, 1}, {1, 2}, false, {kInf, 1, 5, 1}, {1, 2}},
      // A NaN below the diagonal never wins: row 2 (|3|) is chosen, not row 1.
      {"NaN below diagonal",
       {1, 0, 0, kNaN, 1, 0, 3, 0, 1},
       {1, 2, 3},
       false,
       {3, 0, 1, 0, kNaN, kNaN, 0, 0, -1.0 / 3},
       {3, kNaN, 0}},
  };
  for (const SolveCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> A = c.A, b = c.b;
    const std::size_t n = c.b.size();
    EXPECT_EQ(la::solve_linear_inplace(A, b, n), c.ok);
    EXPECT_EQ(bits_of(A), bits_of(c.A_after));
    EXPECT_EQ(bits_of(b), bits_of(c.b_after));
  }
}

TEST(LinalgSolve, EmptySystemSucceedsWithoutTouchingBuffers) {
  std::vector<double> A{4.0}, b{5.0};
  EXPECT_TRUE(la::solve_linear_inplace(A, b, 0));
  EXPECT_EQ(A[0], 4.0);
  EXPECT_EQ(b[0], 5.0);
}

// x·x is inexact for x = 1 + 2^-27, so each a - p·q below differs when fused.
// The kernels must produce the separately rounded result.
TEST(LinalgNoFusedMultiplyAdd, AssemblyAndElimination) {
  const double x = 1.0 + std::ldexp(1.0, -27);
  const double xx = x * x;  // rounded: 1 + 2^-26
  ASSERT_NE(std::fma(x, -x, xx), 0.0);

  const std::vector<double> J{x, x, x, -x};
  std::vector<double> out(4);
  la::jt_j_plus_lambda(J, 2, 2, out, 0.0);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(out[1]), std::bit_cast<std::uint64_t>(0.0));
  la::jj_t_plus_lambda(J, 2, 2, out, 0.0);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(out[1]), std::bit_cast<std::uint64_t>(0.0));

  // Elimination with f = x/2: A[1][1] = c - f·2x and b[1] = xx - f·2x.
  const double c = xx + std::ldexp(1.0, -30);
  const double f = x / 2;
  ASSERT_NE(std::fma(-f, 2 * x, c), std::ldexp(1.0, -30));
  ASSERT_NE(std::fma(-f, 2 * x, xx), 0.0);
  std::vector<double> A{2, 2 * x, x, c}, b{2 * x, xx};
  ASSERT_TRUE(la::solve_linear_inplace(A, b, 2));
  EXPECT_EQ(A[3], std::ldexp(1.0, -30));
  EXPECT_EQ(bits_of(b), bits_of({x, 0.0}));
}

TEST(LinalgContract, ShortBuffersAreInternalErrors) {
  std::vector<double> three(3), four(4);
  EXPECT_THROW(la::jj_t_plus_lambda(three, 2, 2, four, 0.0), marlune::InternalError);
  EXPECT_THROW(la::jj_t_plus_lambda(four, 2, 2, three, 0.0), marlune::InternalError);
  EXPECT_THROW(la::jt_j_plus_lambda(four, 1, 4, four, 0.0), marlune::InternalError);
  EXPECT_THROW(la::solve_linear_inplace(three, four, 2), marlune::InternalError);
  try {
    la::solve_linear_inplace(four, three, 4);
    FAIL() << "no exception";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "assertion failed: holds_matrix(A.size(), n, n)");
  }
}
