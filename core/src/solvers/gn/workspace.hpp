#pragma once
// Scratch buffers of one Gauss-Newton run, allocated once and zero-filled.

#include <cstddef>

#include "solvers/common/least_squares_run.hpp"

namespace marlune::solvers::gn {

using common::least_squares::LinearSystem;
using common::least_squares::Vec;

struct GaussNewtonWorkspace : common::least_squares::LeastSquaresBuffers {
  // Only the system matrix of `form` is allocated (see LeastSquaresBuffers);
  // `scaled` adds the column-scaled Jacobian the scaled left form needs.
  // Throws std::bad_alloc when the buffers cannot be held.
  static GaussNewtonWorkspace create(std::size_t m, std::size_t n, LinearSystem form, bool scaled = false) {
    GaussNewtonWorkspace ws;
    ws.allocate(m, n, form, scaled);
    return ws;
  }
};

}  // namespace marlune::solvers::gn
