// The reference loops: the definition of every result of this module. The
// fast kernels (kernels.cpp) must reproduce these bits exactly; the tests
// compare them on every path the machine can run.

#include "numerics/linalg.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/assert.hpp"

namespace marlune::numerics::linalg::reference {

void jj_t_plus_lambda(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out,
                      double lambda) {
  MARLUNE_ASSERT(holds_matrix(J.size(), m, n));
  MARLUNE_ASSERT(holds_matrix(out.size(), m, m));
  std::fill(out.begin(), out.end(), 0.0);
  if (m == 0) return;
  // Row i of J against every row r: out[i][r] accumulates J[i][k]·J[r][k] over
  // ascending k. out[r][i] sees the same products with the factors swapped,
  // which round identically, so the result is symmetric bit for bit.
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t k = 0; k < n; ++k) {
      const double a = J[i * n + k];
      for (std::size_t r = 0; r < m; ++r) {
        out[i * m + r] = out[i * m + r] + a * J[r * n + k];
      }
    }
  }
  for (std::size_t d = 0; d < m; ++d) {
    out[d * m + d] = out[d * m + d] + lambda;
  }
}

void jt_j_plus_lambda(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out,
                      double lambda) {
  MARLUNE_ASSERT(holds_matrix(J.size(), m, n));
  MARLUNE_ASSERT(holds_matrix(out.size(), n, n));
  std::fill(out.begin(), out.end(), 0.0);
  if (n == 0) return;
  // Sum of the outer products of the rows of J, row by row in ascending order.
  for (std::size_t i = 0; i < m; ++i) {
    const double* row = J.data() + i * n;
    for (std::size_t a = 0; a < n; ++a) {
      const double s = row[a];
      for (std::size_t b = 0; b < n; ++b) {
        out[a * n + b] = out[a * n + b] + s * row[b];
      }
    }
  }
  for (std::size_t d = 0; d < n; ++d) {
    out[d * n + d] = out[d * n + d] + lambda;
  }
}

bool solve_linear_inplace(std::span<double> A, std::span<double> b, std::size_t n) {
  MARLUNE_ASSERT(holds_matrix(A.size(), n, n));
  MARLUNE_ASSERT(b.size() >= n);
  if (n == 0) return true;

  for (std::size_t k = 0; k < n; ++k) {
    const auto [p, best] = find_pivot(A.data(), n, k);
    if (!pivot_ok(best)) return false;

    if (p != k) {
      // Left of column k both rows are already zero.
      for (std::size_t c = k; c < n; ++c) std::swap(A[k * n + c], A[p * n + c]);
      std::swap(b[k], b[p]);
    }
    if (k + 1 == n) break;

    const double pivot = A[k * n + k];
    for (std::size_t r = k + 1; r < n; ++r) {
      const double f = A[r * n + k] / pivot;
      // Store an exact zero rather than the rounded A[r][k] - f·pivot, so the
      // factor is truly upper-triangular.
      A[r * n + k] = 0.0;
      for (std::size_t c = k + 1; c < n; ++c) {
        A[r * n + c] = A[r * n + c] - f * A[k * n + c];
      }
      b[r] = b[r] - f * b[k];
    }
  }

  for (std::size_t i = n; i-- > 0;) {
    double s = b[i];
    for (std::size_t j = i + 1; j < n; ++j) {
      s = s - A[i * n + j] * b[j];
    }
    const double d = A[i * n + i];
    if (!pivot_ok(std::fabs(d))) return false;
    b[i] = s / d;
  }
  return true;
}

}  // namespace marlune::numerics::linalg::reference
