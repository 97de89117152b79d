#pragma once
// Scratch buffers of one Gauss-Newton run, allocated once and zero-filled.

#include <cstddef>

#include "solvers/common/least_squares_run.hpp"

namespace marlune::solvers::gn {

using common::least_squares::Vec;

enum class LinearSystem { left_jjt, normal_jtj };

struct GaussNewtonWorkspace : common::least_squares::LeastSquaresBuffers {
  Vec A_left;    // m·m: J·Jᵀ + λ·I, allocated only for the left_jjt form
  Vec A_normal;  // n·n: Jᵀ·J + λ·I, allocated only for the normal_jtj form

  // Only the system matrix of the configured form is allocated: the other
  // one is never touched, and for a tall problem (m = 10⁵ residuals) the m·m
  // matrix alone would need 80 GB. Throws std::bad_alloc when the buffers
  // cannot be held.
  static GaussNewtonWorkspace create(std::size_t m, std::size_t n, LinearSystem form) {
    GaussNewtonWorkspace ws;
    if (form == LinearSystem::left_jjt) {
      allocate_buffers(ws, m, n, ws.A_left, checked_mul(m, m));
    } else {
      allocate_buffers(ws, m, n, ws.A_normal, checked_mul(n, n));
    }
    return ws;
  }

  std::span<double> system(LinearSystem form) {
    return form == LinearSystem::left_jjt ? std::span<double>(A_left) : std::span<double>(A_normal);
  }
};

}  // namespace marlune::solvers::gn
