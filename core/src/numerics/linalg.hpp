#pragma once
// Dense kernels for the damped normal equations of the least-squares solvers:
// assembly of J·Jᵀ + λ·I and Jᵀ·J + λ·I, and Gaussian elimination with
// partial pivoting.
//
// Matrices are flat row-major float64 buffers owned by the caller, element
// (i, k) of an m by n matrix at index i·n + k; nothing here allocates. Every
// sum runs in ascending index order with separate multiply and add, so
// results are identical bit for bit on every machine. These are the
// reference loops: any faster variant must reproduce their bits exactly.
//
// A buffer shorter than its stated dimensions is a bug in the caller and
// throws marlune::InternalError.

#include <cmath>
#include <cstddef>
#include <span>

namespace marlune::numerics::linalg {

// Smallest pivot magnitude accepted by solve_linear_inplace (inclusive). It is
// absolute, not relative to the size of the matrix.
inline constexpr double kPivotThreshold = 1e-12;

// True when a buffer of `size` values can hold a rows by cols matrix, checked
// without forming rows·cols (which could wrap around).
inline bool holds_matrix(std::size_t size, std::size_t rows, std::size_t cols) {
  return rows == 0 || cols == 0 || size / cols >= rows;
}

// v[0]² + v[1]² + ... summed left to right from -0.0 (so the empty sum is
// -0.0), each square rounded before it is added.
inline double sum_of_squares(std::span<const double> v) {
  double s = -0.0;
  for (double e : v) s = s + e * e;
  return s;
}

// out (m by m, at least m·m values) = J·Jᵀ + λ·I for J m by n (at least m·n
// values). The whole of `out` is zeroed first. Exactly symmetric.
void jj_t_plus_lambda(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out,
                      double lambda);

// out (n by n, at least n·n values) = Jᵀ·J + λ·I for J m by n. The whole of
// `out` is zeroed first. Exactly symmetric.
void jt_j_plus_lambda(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out,
                      double lambda);

// Solves A·x = b for square A (n by n, at least n·n values) and b (at least n
// values), overwriting b[0..n) with x and A with the upper-triangular factor.
// Returns false when a pivot is below kPivotThreshold in magnitude, infinite
// or NaN; A and b are then left partly eliminated and must not be used.
bool solve_linear_inplace(std::span<double> A, std::span<double> b, std::size_t n);

// Exactly kPivotThreshold passes; NaN fails because every comparison with it
// is false.
inline bool pivot_ok(double magnitude) { return std::isfinite(magnitude) && magnitude >= kPivotThreshold; }

// Partial pivoting in column k of the n by n row-major A, rows k..n-1: only a
// strictly larger magnitude replaces the current candidate, so ties keep the
// earlier row and a NaN (never greater than anything, and nothing is greater
// than it) can neither win nor be displaced. Every kernel path uses this
// rule, so that all of them swap the same rows.
struct Pivot {
  std::size_t row;
  double magnitude;
};
inline Pivot find_pivot(const double* A, std::size_t n, std::size_t k) {
  Pivot p{k, std::fabs(A[k * n + k])};
  for (std::size_t r = k + 1; r < n; ++r) {
    const double candidate = std::fabs(A[r * n + k]);
    if (candidate > p.magnitude) p = {r, candidate};
  }
  return p;
}

// The implementations behind the three routines above. `reference` holds
// the plain loops that define the results; the others are blocked,
// register-tiled versions that perform, for every element, the same
// operations in the same order, so they give the same bits.
enum class KernelPath { reference, portable, avx2, avx512 };

// The path the routines above use: the best one this CPU supports, unless
// the environment variable MARLUNE_KERNELS names another ("reference",
// "portable", "avx2", "avx512"); a named path the CPU lacks falls back to the
// best supported one below it. Decided once per process.
KernelPath active_kernel_path();
bool kernel_path_supported(KernelPath path);
const char* kernel_path_name(KernelPath path);

// The routines on an explicit path (for tests and benchmarks; the path must
// be supported).
void jj_t_plus_lambda(KernelPath path, std::span<const double> J, std::size_t m, std::size_t n,
                      std::span<double> out, double lambda);
void jt_j_plus_lambda(KernelPath path, std::span<const double> J, std::size_t m, std::size_t n,
                      std::span<double> out, double lambda);
bool solve_linear_inplace(KernelPath path, std::span<double> A, std::span<double> b, std::size_t n);

namespace reference {
void jj_t_plus_lambda(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out, double lambda);
void jt_j_plus_lambda(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out, double lambda);
bool solve_linear_inplace(std::span<double> A, std::span<double> b, std::size_t n);
}  // namespace reference

}  // namespace marlune::numerics::linalg
