// The AVX-512 kernel path: kernels_impl.inc compiled for AVX-512F. The
// build's -ffp-contract=off keeps every multiply and add separate; a test
// scans the module's machine code for FMA instructions.
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
// compiled for AVX-512F.
#pragma GCC push_options
#pragma GCC target("avx512f")
namespace marlune::numerics::linalg::kernels::avx512 {
namespace {

// Eight doubles per zmm register.
struct Ops {
  static constexpr int W = 8;
  using V = __m512d;
  static V splat(double x) { return _mm512_set1_pd(x); }
};

#include "numerics/kernels_impl.inc"

// The work horse, and a narrow tile for outputs no wider than one vector.
constexpr Entries kEntries = entries<Shape<6, 2>, Shape<4, 1>>();

}  // namespace
}  // namespace marlune::numerics::linalg::kernels::avx512
#pragma GCC pop_options

namespace marlune::numerics::linalg::kernels {
Entries avx512_entries() { return avx512::kEntries; }
}  // namespace marlune::numerics::linalg::kernels
#endif
