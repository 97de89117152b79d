#pragma once
// Scratch buffers of one Levenberg-Marquardt run, allocated once and
// zero-filled. The solver always uses the m by m form, so there is no n by n
// matrix.

#include <cstddef>

#include "solvers/common/least_squares_run.hpp"

namespace marlune::solvers::lm {

using common::least_squares::Vec;

struct LmWorkspace : common::least_squares::LeastSquaresBuffers {
  Vec A;  // m·m: J·Jᵀ + λ·I

  // Throws std::bad_alloc when the buffers cannot be held (the m·m matrix
  // grows with the square of the number of residuals).
  static LmWorkspace create(std::size_t m, std::size_t n) {
    LmWorkspace ws;
    allocate_buffers(ws, m, n, ws.A, checked_mul(m, m));
    return ws;
  }
};

}  // namespace marlune::solvers::lm
