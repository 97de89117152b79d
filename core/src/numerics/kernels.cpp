// The choice among the kernel paths, and the public routines dispatching to
// them. The paths live in kernels_<isa>.cpp, each compiled for its own
// instruction set; everything here is baseline code that runs anywhere, and
// a path is only entered once the CPU has been seen to support it.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/assert.hpp"
#include "numerics/kernels.hpp"
#include "numerics/linalg.hpp"

namespace marlune::numerics::linalg {
namespace {

kernels::Entries entries(KernelPath path) {
  switch (path) {
#if defined(__x86_64__)
    case KernelPath::avx512:
      return kernels::avx512_entries();
    case KernelPath::avx2:
      return kernels::avx2_entries();
#endif
    default:
      return kernels::portable_entries();
  }
}

// Assembly of a tiny output (order N <= 4 for Jᵀ·J, <= 8 for J·Jᵀ, where
// packing a panel costs more than it saves), shared by every fast path: the
// upper triangle's running sums all in registers, the rows of J (Jᵀ·J) or
// the columns (J·Jᵀ) streamed once. Per element the operations are the
// reference's: from +0.0, one product and one add per step, in ascending
// order. Vector tiles would waste most of their lanes here.
template <std::size_t N>
void jtj_tiny(const double* J, std::size_t m, double* out) {
  double acc[N][N] = {};
  for (std::size_t i = 0; i < m; ++i) {
    const double* row = J + i * N;
#pragma GCC unroll 4
    for (std::size_t a = 0; a < N; ++a) {
#pragma GCC unroll 4
      for (std::size_t b = a; b < N; ++b) acc[a][b] = acc[a][b] + row[a] * row[b];
    }
  }
  for (std::size_t a = 0; a < N; ++a) {
    for (std::size_t b = a; b < N; ++b) out[a * N + b] = acc[a][b];
  }
}

template <std::size_t N>
void jjt_tiny(const double* J, std::size_t n, double* out) {
  double acc[N][N] = {};
  for (std::size_t k = 0; k < n; ++k) {
#pragma GCC unroll 8
    for (std::size_t i = 0; i < N; ++i) {
      const double a = J[i * n + k];
#pragma GCC unroll 8
      for (std::size_t r = i; r < N; ++r) acc[i][r] = acc[i][r] + a * J[r * n + k];
    }
  }
  for (std::size_t i = 0; i < N; ++i) {
    for (std::size_t r = i; r < N; ++r) out[i * N + r] = acc[i][r];
  }
}

bool assemble_tiny(bool jjt, const double* J, std::size_t order, std::size_t inner, double* out) {
  switch (order) {
    case 1: jjt ? jjt_tiny<1>(J, inner, out) : jtj_tiny<1>(J, inner, out); return true;
    case 2: jjt ? jjt_tiny<2>(J, inner, out) : jtj_tiny<2>(J, inner, out); return true;
    case 3: jjt ? jjt_tiny<3>(J, inner, out) : jtj_tiny<3>(J, inner, out); return true;
    case 4: jjt ? jjt_tiny<4>(J, inner, out) : jtj_tiny<4>(J, inner, out); return true;
    default: break;
  }
  if (!jjt) return false;
  switch (order) {
    case 5: jjt_tiny<5>(J, inner, out); return true;
    case 6: jjt_tiny<6>(J, inner, out); return true;
    case 7: jjt_tiny<7>(J, inner, out); return true;
    case 8: jjt_tiny<8>(J, inner, out); return true;
    default: return false;
  }
}

// The lower triangle from the upper one. A product commutes bit for bit, so
// each mirrored element equals the sum the reference loop computes for it
// (only a NaN's payload may differ, which nothing observes).
void mirror_upper(double* out, std::size_t order) {
  for (std::size_t i = 1; i < order; ++i) {
    for (std::size_t r = 0; r < i; ++r) out[i * order + r] = out[r * order + i];
  }
}

KernelPath choose_path() {
  KernelPath wanted = KernelPath::avx512;
  if (const char* forced = std::getenv("MARLUNE_KERNELS")) {
    for (KernelPath p : {KernelPath::reference, KernelPath::portable, KernelPath::avx2, KernelPath::avx512}) {
      if (std::strcmp(forced, kernel_path_name(p)) == 0) wanted = p;
    }
  }
  // The best supported path at or below the one wanted.
  for (int p = static_cast<int>(wanted); p > 0; --p) {
    if (kernel_path_supported(static_cast<KernelPath>(p))) return static_cast<KernelPath>(p);
  }
  return KernelPath::reference;
}

}  // namespace

bool kernel_path_supported(KernelPath path) {
  switch (path) {
    case KernelPath::reference:
    case KernelPath::portable:
      return true;
#if defined(__x86_64__)
    case KernelPath::avx2:
      return __builtin_cpu_supports("avx2");
    case KernelPath::avx512:
      return __builtin_cpu_supports("avx512f");
#endif
    default:
      return false;
  }
}

const char* kernel_path_name(KernelPath path) {
  switch (path) {
    case KernelPath::reference:
      return "reference";
    case KernelPath::portable:
      return "portable";
    case KernelPath::avx2:
      return "avx2";
    case KernelPath::avx512:
      return "avx512";
  }
  return "?";
}

KernelPath active_kernel_path() {
  static const KernelPath path = choose_path();  // thread-safe, decided once
  return path;
}

namespace {

void add_to_diagonal(double* out, std::size_t order, double lambda) {
  for (std::size_t d = 0; d < order; ++d) out[d * order + d] = out[d * order + d] + lambda;
}

// J·Jᵀ + λI (order m) or Jᵀ·J + λI (order n): the upper triangle, tiny
// orders in registers and the rest on the path's tiles, then mirrored, then
// λ added to the diagonal, as the reference does.
void assemble(KernelPath path, bool jjt, std::span<const double> J, std::size_t m, std::size_t n,
              std::span<double> out, double lambda) {
  const std::size_t order = jjt ? m : n;
  MARLUNE_ASSERT(holds_matrix(J.size(), m, n));
  MARLUNE_ASSERT(holds_matrix(out.size(), order, order));
  std::fill(out.begin(), out.end(), 0.0);
  if (order == 0) return;
  if (!assemble_tiny(jjt, J.data(), order, jjt ? n : m, out.data())) {
    const kernels::Entries e = entries(path);
    (jjt ? e.jjt : e.jtj)(J.data(), m, n, out.data());
  }
  mirror_upper(out.data(), order);
  add_to_diagonal(out.data(), order, lambda);
}

}  // namespace

void jj_t_plus_lambda(KernelPath path, std::span<const double> J, std::size_t m, std::size_t n,
                      std::span<double> out, double lambda) {
  if (path == KernelPath::reference) return reference::jj_t_plus_lambda(J, m, n, out, lambda);
  assemble(path, true, J, m, n, out, lambda);
}

void jt_j_plus_lambda(KernelPath path, std::span<const double> J, std::size_t m, std::size_t n,
                      std::span<double> out, double lambda) {
  if (path == KernelPath::reference) return reference::jt_j_plus_lambda(J, m, n, out, lambda);
  assemble(path, false, J, m, n, out, lambda);
}

bool solve_linear_inplace(KernelPath path, std::span<double> A, std::span<double> b, std::size_t n) {
  if (path == KernelPath::reference) return reference::solve_linear_inplace(A, b, n);
  MARLUNE_ASSERT(holds_matrix(A.size(), n, n));
  MARLUNE_ASSERT(b.size() >= n);
  // Below this order the plain loop is the fastest code on every path (the
  // blocking has nothing to amortise its bookkeeping over), and it is the
  // definition of the result anyway.
  constexpr std::size_t kSmallSystem = 16;
  if (n <= kSmallSystem) return reference::solve_linear_inplace(A, b, n);
  return entries(path).solve(A.data(), b.data(), n);
}

void jj_t_plus_lambda(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out,
                      double lambda) {
  jj_t_plus_lambda(active_kernel_path(), J, m, n, out, lambda);
}

void jt_j_plus_lambda(std::span<const double> J, std::size_t m, std::size_t n, std::span<double> out,
                      double lambda) {
  jt_j_plus_lambda(active_kernel_path(), J, m, n, out, lambda);
}

bool solve_linear_inplace(std::span<double> A, std::span<double> b, std::size_t n) {
  return solve_linear_inplace(active_kernel_path(), A, b, n);
}

}  // namespace marlune::numerics::linalg
