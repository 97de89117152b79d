#pragma once
// Scratch buffers of one Levenberg-Marquardt run, allocated once and
// zero-filled.

#include <cstddef>

#include "solvers/common/least_squares_run.hpp"

namespace marlune::solvers::lm {

using common::least_squares::LinearSystem;
using common::least_squares::Vec;

struct LmWorkspace : common::least_squares::LeastSquaresBuffers {
  // The m·m matrix of the left form grows with the square of the number of
  // residuals; the normal form needs only n·n. Throws std::bad_alloc when the
  // buffers cannot be held.
  static LmWorkspace create(std::size_t m, std::size_t n, LinearSystem form = LinearSystem::left_jjt,
                            bool scaled = false) {
    LmWorkspace ws;
    ws.allocate(m, n, form, scaled);
    return ws;
  }
};

}  // namespace marlune::solvers::lm
