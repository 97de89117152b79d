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

using Tile = Shape<4, 2>;    // the work horse
using Narrow = Shape<4, 1>;  // outputs no wider than one vector: no wasted lanes

void jjt_entry(const double* J, std::size_t m, std::size_t n, double* out) {
  if (m <= static_cast<std::size_t>(Ops::W)) return jjt<Narrow>(J, m, n, out);
  jjt<Tile>(J, m, n, out);
}
void jtj_entry(const double* J, std::size_t m, std::size_t n, double* out) {
  if (n <= static_cast<std::size_t>(Ops::W)) return jtj<Narrow>(J, m, n, out);
  jtj<Tile>(J, m, n, out);
}
bool solve_entry(double* A, double* b, std::size_t n) { return solve<Tile>(A, b, n); }

}  // namespace
}  // namespace marlune::numerics::linalg::kernels::portable

namespace marlune::numerics::linalg::kernels {
Entries portable_entries() { return {portable::jjt_entry, portable::jtj_entry, portable::solve_entry}; }
}  // namespace marlune::numerics::linalg::kernels
