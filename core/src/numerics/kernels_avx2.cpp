// The AVX2 kernel path: kernels_impl.inc compiled for AVX2, without the FMA
// feature, so no fused multiply-add instruction can be emitted here.
#if defined(__x86_64__)
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>
#include <immintrin.h>

#include "numerics/kernels.hpp"
#include "numerics/linalg.hpp"

// Everything from here on, and nothing the headers above define, is
// compiled for AVX2. The "fma" feature is deliberately not enabled.
#pragma GCC push_options
#pragma GCC target("avx2")
namespace marlune::numerics::linalg::kernels::avx2 {
namespace {

// Four doubles per ymm register.
struct Ops {
  static constexpr int W = 4;
  using V = __m256d;
  static V splat(double x) { return _mm256_set1_pd(x); }
};

#include "numerics/kernels_impl.inc"

// The work horse, and a narrow tile for outputs no wider than one vector.
constexpr Entries kEntries = entries<Shape<6, 2>, Shape<4, 1>>();

}  // namespace
}  // namespace marlune::numerics::linalg::kernels::avx2
#pragma GCC pop_options

namespace marlune::numerics::linalg::kernels {
Entries avx2_entries() { return avx2::kEntries; }
}  // namespace marlune::numerics::linalg::kernels
#endif
