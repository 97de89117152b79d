#pragma once
// The entry points of each kernel path (kernels_<isa>.cpp), for the
// dispatcher in kernels.cpp. Internal to numerics.

#include <cstddef>

namespace marlune::numerics::linalg::kernels {

// out (m by m, zeroed by the caller) = J·Jᵀ upper triangle (and part of the
// lower), out (n by n) = Jᵀ·J likewise, and the elimination with its
// back substitution.
struct Entries {
  void (*jjt)(const double* J, std::size_t m, std::size_t n, double* out);
  void (*jtj)(const double* J, std::size_t m, std::size_t n, double* out);
  bool (*solve)(double* A, double* b, std::size_t n);
};

Entries portable_entries();
#if defined(__x86_64__)
Entries avx2_entries();
Entries avx512_entries();
#endif

}  // namespace marlune::numerics::linalg::kernels
