#include "solvers/common/least_squares.hpp"

#include <algorithm>
#include <cmath>

#include "common/assert.hpp"
#include "numerics/linalg.hpp"

namespace marlune::solvers::common::least_squares {
namespace {

using numerics::linalg::holds_matrix;
using numerics::linalg::sum_of_squares;

double dot(std::span<const double> a, std::span<const double> b) {
  double s = -0.0;
  for (std::size_t k = 0; k < a.size(); ++k) s = s + a[k] * b[k];
  return s;
}

// out = Σᵢ wᵢ·J[i][·] = Jᵀ·w: each entry summed over the rows in ascending
// order from +0.0. Columns are taken eight at a time with their running sums
// in registers (row by row through memory, every add would wait for the
// previous store); the operations per entry are the same either way.
void accumulate_jt_times(std::span<const double> J, std::span<const double> w, std::size_t m, std::size_t n,
                         std::span<double> out) {
  constexpr std::size_t kBlock = 8;
  for (std::size_t k0 = 0; k0 < n; k0 += kBlock) {
    const std::size_t width = std::min(kBlock, n - k0);
    double acc[kBlock] = {};
    if (width == kBlock) {
      for (std::size_t i = 0; i < m; ++i) {
        const double wi = w[i];
        const double* row = J.data() + i * n + k0;
#pragma GCC unroll 8
        for (std::size_t j = 0; j < kBlock; ++j) acc[j] = acc[j] + wi * row[j];
      }
    } else {
      for (std::size_t i = 0; i < m; ++i) {
        const double wi = w[i];
        const double* row = J.data() + i * n + k0;
        for (std::size_t j = 0; j < width; ++j) acc[j] = acc[j] + wi * row[j];
      }
    }
    std::copy(acc, acc + width, out.begin() + static_cast<std::ptrdiff_t>(k0));
  }
}

void negate(std::span<double> v) {
  for (double& value : v) value = -value;
}

}  // namespace

double residual_cost(std::span<const double> r) { return sum_of_squares(r) * 0.5; }

double residual_norm(std::span<const double> r) { return std::sqrt(sum_of_squares(r)); }

void commit_trial_state(std::span<double> x, std::span<double> r, double& cost, double& r_norm,
                        std::span<const double> x_trial, std::span<const double> r_trial,
                        double cost_trial) {
  MARLUNE_ASSERT(x.size() == x_trial.size());
  MARLUNE_ASSERT(r.size() == r_trial.size());
  std::copy(x_trial.begin(), x_trial.end(), x.begin());
  std::copy(r_trial.begin(), r_trial.end(), r.begin());
  // The caller computed the trial cost already; storing it as passed keeps the
  // accepted cost identical to the one the step policy judged.
  cost = cost_trial;
  r_norm = residual_norm(r);
}

bool solve_left_jjt_direction(std::span<const double> J, std::span<const double> r, std::size_t m,
                              std::size_t n, std::span<double> A, std::span<double> y,
                              std::span<double> dx, double lambda) {
  MARLUNE_ASSERT(holds_matrix(J.size(), m, n));
  MARLUNE_ASSERT(r.size() == m);
  MARLUNE_ASSERT(y.size() == r.size());
  MARLUNE_ASSERT(dx.size() == n);
  numerics::linalg::jj_t_plus_lambda(J, m, n, A, lambda);
  std::copy(r.begin(), r.end(), y.begin());
  if (!numerics::linalg::solve_linear_inplace(A, y, m)) return false;
  accumulate_jt_times(J, y, m, n, dx);
  negate(dx);
  return true;
}

bool solve_normal_jtj_direction(std::span<const double> J, std::span<const double> r, std::size_t m,
                                std::size_t n, std::span<double> A, std::span<double> dx,
                                double lambda) {
  MARLUNE_ASSERT(holds_matrix(J.size(), m, n));
  MARLUNE_ASSERT(r.size() == m);
  MARLUNE_ASSERT(dx.size() == n);
  numerics::linalg::jt_j_plus_lambda(J, m, n, A, lambda);
  accumulate_jt_times(J, r, m, n, dx);
  negate(dx);
  return numerics::linalg::solve_linear_inplace(A, dx, n);
}

void column_sums_of_squares(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out) {
  MARLUNE_ASSERT(holds_matrix(J.size(), m, n));
  MARLUNE_ASSERT(out.size() == n);
  std::fill(out.begin(), out.end(), 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    const double* row = J.data() + i * n;
    for (std::size_t k = 0; k < n; ++k) out[k] = out[k] + row[k] * row[k];
  }
}

bool solve_left_jjt_direction_scaled(std::span<const double> J, std::span<const double> r, std::size_t m,
                                     std::size_t n, std::span<const double> inverse, std::span<double> Js,
                                     std::span<double> A, std::span<double> y, std::span<double> dx,
                                     double lambda) {
  MARLUNE_ASSERT(holds_matrix(J.size(), m, n));
  MARLUNE_ASSERT(Js.size() >= m * n);
  MARLUNE_ASSERT(inverse.size() == n);
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t k = 0; k < n; ++k) Js[i * n + k] = J[i * n + k] * inverse[k];
  }
  if (!solve_left_jjt_direction(Js.first(m * n), r, m, n, A, y, dx, lambda)) return false;
  for (std::size_t k = 0; k < n; ++k) dx[k] = dx[k] * inverse[k];
  return true;
}

bool solve_assembled_normal_direction_scaled(std::span<double> A, std::span<const double> J,
                                             std::span<const double> r, std::size_t m, std::size_t n,
                                             std::span<const double> inverse, std::span<double> dx,
                                             double lambda) {
  MARLUNE_ASSERT(holds_matrix(J.size(), m, n));
  MARLUNE_ASSERT(holds_matrix(A.size(), n, n));
  MARLUNE_ASSERT(r.size() == m);
  MARLUNE_ASSERT(dx.size() == n);
  MARLUNE_ASSERT(inverse.size() == n);
  // inverse[a]·inverse[b] rounds the same either way round, so the scaled
  // matrix stays exactly symmetric.
  for (std::size_t a = 0; a < n; ++a) {
    for (std::size_t b = 0; b < n; ++b) A[a * n + b] = A[a * n + b] * (inverse[a] * inverse[b]);
  }
  for (std::size_t d = 0; d < n; ++d) A[d * n + d] = A[d * n + d] + lambda;
  accumulate_jt_times(J, r, m, n, dx);
  for (std::size_t k = 0; k < n; ++k) dx[k] = -(dx[k] * inverse[k]);
  if (!numerics::linalg::solve_linear_inplace(A, dx, n)) return false;
  for (std::size_t k = 0; k < n; ++k) dx[k] = dx[k] * inverse[k];
  return true;
}

std::optional<DirectionDiagnostics> complete_direction_diagnostics(
    std::span<const double> J, std::span<const double> r, std::size_t m, std::size_t n,
    std::span<double> dx, std::span<double> g, bool wanted) {
  MARLUNE_ASSERT(holds_matrix(J.size(), m, n));
  MARLUNE_ASSERT(r.size() == m);
  MARLUNE_ASSERT(dx.size() == n);
  MARLUNE_ASSERT(g.size() == n);
  if (!wanted) return std::nullopt;

  accumulate_jt_times(J, r, m, n, g);
  const double dphi0 = dot(g, dx);
  if (std::isfinite(dphi0) && dphi0 < 0.0) return DirectionDiagnostics{dphi0, false};

  // Zero, positive, infinite or NaN slope: the solved direction cannot be
  // trusted to decrease the cost, so fall back to steepest descent. The new
  // slope is -Σ g[k]² (-0.0 at a stationary point) and is reported unchecked.
  for (std::size_t k = 0; k < n; ++k) dx[k] = -g[k];
  return DirectionDiagnostics{dot(g, dx), true};
}

}  // namespace marlune::solvers::common::least_squares
