// Every fast kernel path against the reference loops, bit for bit, over
// shapes around every block edge, with zeros of both signs, huge, tiny and
// non-finite entries, singular and near-singular systems.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "numerics/linalg.hpp"

namespace {

namespace la = marlune::numerics::linalg;
using la::KernelPath;
using Vec = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// All NaNs compare equal (their payload depends on operand order); every
// other value, the sign of zero included, must match exactly.
std::vector<std::uint64_t> bits_of(const Vec& v) {
  std::vector<std::uint64_t> out;
  for (double d : v) out.push_back(std::isnan(d) ? 0x7ff8000000000000u : std::bit_cast<std::uint64_t>(d));
  return out;
}

// mostly ordinary magnitudes; `wild` adds signed zeros, huge and tiny values
// and rare infinities and NaNs.
Vec random_matrix(std::mt19937_64& rng, std::size_t count, bool wild) {
  Vec v(count);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (double& d : v) {
    const std::uint64_t u = rng();
    d = unit(rng);
    if (!wild) continue;
    switch (u % 40) {
      case 0: d = 0.0; break;
      case 1: d = -0.0; break;
      case 2: d = d * 1e300; break;
      case 3: d = d * 1e-300; break;
      case 4: d = (u >> 8) % 4 == 0 ? kInf : d; break;
      case 5: d = (u >> 8) % 6 == 0 ? kNaN : d; break;
      default: break;
    }
  }
  return v;
}

std::vector<KernelPath> fast_paths() {
  std::vector<KernelPath> out;
  for (KernelPath p : {KernelPath::portable, KernelPath::avx2, KernelPath::avx512}) {
    if (la::kernel_path_supported(p)) out.push_back(p);
  }
  return out;
}

// Sizes at and around the tile widths (2..16), the packing chunk (128), the
// row chunk (256) and the panel width (32).
const std::size_t kEdges[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 15, 16, 17, 23, 24, 25, 31, 32, 33, 47, 48,
                              63, 64, 65, 97};

TEST(Kernels, EveryPathTheMachineRunsIsTested) {
  EXPECT_TRUE(la::kernel_path_supported(KernelPath::portable));
  EXPECT_FALSE(fast_paths().empty());
  EXPECT_NE(la::kernel_path_name(la::active_kernel_path()), nullptr);
}

TEST(Kernels, AssemblyMatchesTheReferenceBitForBit) {
  std::mt19937_64 rng(7);
  for (KernelPath path : fast_paths()) {
    SCOPED_TRACE(la::kernel_path_name(path));
    for (int trial = 0; trial < 600; ++trial) {
      const std::size_t m = trial < 200 ? kEdges[rng() % std::size(kEdges)] : rng() % 70;
      const std::size_t n = trial % 5 == 0 ? 127 + rng() % 4 : kEdges[rng() % std::size(kEdges)];
      const Vec J = random_matrix(rng, m * n, trial % 2 == 0);
      const double lambda = trial % 3 == 0 ? 0.0 : (trial % 3 == 1 ? -0.0 : 0.25);
      Vec ref(m * m + 3, 5.0), got(m * m + 3, 9.0);  // longer than needed: the whole buffer is zeroed
      la::reference::jj_t_plus_lambda(J, m, n, ref, lambda);
      la::jj_t_plus_lambda(path, J, m, n, got, lambda);
      ASSERT_EQ(bits_of(got), bits_of(ref)) << "jjt m=" << m << " n=" << n;
      Vec ref2(n * n + 1, 5.0), got2(n * n + 1, 9.0);
      la::reference::jt_j_plus_lambda(J, m, n, ref2, lambda);
      la::jt_j_plus_lambda(path, J, m, n, got2, lambda);
      ASSERT_EQ(bits_of(got2), bits_of(ref2)) << "jtj m=" << m << " n=" << n;
    }
    // Tall, as in a curve fit: the row chunks of Jᵀ·J.
    const Vec tall = random_matrix(rng, 600 * 11, false);
    Vec ref(121), got(121);
    la::reference::jt_j_plus_lambda(tall, 600, 11, ref, 1e-3);
    la::jt_j_plus_lambda(path, tall, 600, 11, got, 1e-3);
    EXPECT_EQ(bits_of(got), bits_of(ref));
  }
}

enum class Kind { random, loaded, singular, near_singular, zero_rows, wild };

Vec system(std::mt19937_64& rng, std::size_t n, Kind kind) {
  Vec A = random_matrix(rng, n * n, kind == Kind::wild);
  switch (kind) {
    case Kind::loaded:
      for (std::size_t d = 0; d < n; ++d) A[d * n + d] += 4.0;
      break;
    case Kind::singular:  // one row a copy of another: a pivot becomes exactly 0 late on
      if (n > 1) std::copy(A.begin(), A.begin() + n, A.begin() + (n - 1 - rng() % (n / 2 + 1)) * n);
      break;
    case Kind::near_singular:
      if (n > 1) {
        const std::size_t r = 1 + rng() % (n - 1);
        for (std::size_t c = 0; c < n; ++c) A[r * n + c] = A[c] * (1.0 + 1e-15);
      }
      break;
    case Kind::zero_rows:  // rows whose multipliers are zero, processed like any other
      for (std::size_t r = 0; r < n; r += 3) {
        for (std::size_t c = 0; c < n / 2; ++c) A[r * n + c] = c % 2 ? -0.0 : 0.0;
      }
      for (std::size_t d = 0; d < n; ++d) A[d * n + d] += 2.0;
      break;
    default:
      break;
  }
  return A;
}

TEST(Kernels, EliminationMatchesTheReferenceBitForBitIncludingFailures) {
  std::mt19937_64 rng(11);
  const std::size_t sizes[] = {0, 1, 2, 3, 5, 8, 13, 16, 31, 32, 33, 40, 63, 64, 65, 66, 95, 96, 97, 130};
  for (KernelPath path : fast_paths()) {
    SCOPED_TRACE(la::kernel_path_name(path));
    int solved = 0, failed = 0;
    for (std::size_t n : sizes) {
      for (Kind kind : {Kind::random, Kind::loaded, Kind::singular, Kind::near_singular, Kind::zero_rows, Kind::wild}) {
        for (int rep = 0; rep < (n > 64 ? 2 : 6); ++rep) {
          Vec A = system(rng, n, kind), b = random_matrix(rng, n + 2, kind == Kind::wild);
          Vec Aref = A, bref = b;
          const bool ok_ref = la::reference::solve_linear_inplace(Aref, bref, n);
          const bool ok = la::solve_linear_inplace(path, A, b, n);
          ASSERT_EQ(ok, ok_ref) << "n=" << n << " kind=" << static_cast<int>(kind);
          ASSERT_EQ(bits_of(A), bits_of(Aref)) << "n=" << n << " kind=" << static_cast<int>(kind);
          ASSERT_EQ(bits_of(b), bits_of(bref)) << "n=" << n << " kind=" << static_cast<int>(kind);
          (ok ? solved : failed) += 1;
        }
      }
    }
    EXPECT_GT(solved, 100);
    EXPECT_GT(failed, 40);  // failures at every depth leave the reference's partial state
  }
}

TEST(Kernels, PivotFailureInsideALaterPanelLeavesTheReferenceState) {
  // Column 45 (inside the second panel) is a copy of column 44 in every row,
  // so its pivot is exactly zero after elimination of column 44.
  std::mt19937_64 rng(3);
  const std::size_t n = 70;
  Vec A = system(rng, n, Kind::loaded);
  for (std::size_t r = 0; r < n; ++r) A[r * n + 45] = A[r * n + 44];
  for (KernelPath path : fast_paths()) {
    Vec got = A, ref = A, b(n, 1.0), bref(n, 1.0);
    EXPECT_FALSE(la::reference::solve_linear_inplace(ref, bref, n));
    EXPECT_FALSE(la::solve_linear_inplace(path, got, b, n));
    EXPECT_EQ(bits_of(got), bits_of(ref)) << la::kernel_path_name(path);
    EXPECT_EQ(bits_of(b), bits_of(bref)) << la::kernel_path_name(path);
  }
}

}  // namespace
