// The portable kernel path: kernels_impl.inc instantiated for baseline
// x86-64 (SSE2) or any other machine.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "numerics/kernels.hpp"
#include "numerics/linalg.hpp"

namespace marlune::numerics::linalg::kernels::portable {
namespace {

// Two doubles per vector: SSE2 on every x86-64, plain pairs elsewhere.
struct Ops {
  static constexpr int W = 2;
  typedef double V __attribute__((vector_size(16)));
  static V splat(double x) { return V{x, x}; }
};

#include "numerics/kernels_impl.inc"

// The work horse, and a narrow tile for outputs no wider than one vector.
constexpr Entries kEntries = entries<Shape<4, 2>, Shape<4, 1>>();

}  // namespace
}  // namespace marlune::numerics::linalg::kernels::portable

namespace marlune::numerics::linalg::kernels {
Entries portable_entries() { return portable::kEntries; }
}  // namespace marlune::numerics::linalg::kernels
