#pragma once
// Jacobians by finite differences of the residual, for callers who have a
// model and no derivative. A solver given a FiniteDifferences in place of a
// Jacobian callable fills its Jacobian buffer with it, column by column:
//
//   forward ("2-point")  J[·][k] = (r(x + h_k·e_k) - r(x)) / ((x_k + h_k) - x_k)
//   central ("3-point")  J[·][k] = (r(x + h_k·e_k) - r(x - h_k·e_k)) / ((x_k + h_k) - (x_k - h_k))
//
// with h_k = ε·max(1, |x_k|), ε = √(machine epsilon) for forward and
// ∛(machine epsilon) for central differences: the steps that balance
// truncation against rounding for each. The divisor is the difference the
// floating-point coordinates really differ by, not h_k itself, which removes
// the rounding of x_k ± h_k from the quotient.
//
// A perturbed point is built like every trial point of the run: the space's
// retraction of x along the unit vector e_k with step length ±h_k (plain
// x ± h_k·e_k in Euclidean space; the manifold's retract otherwise), then the
// caller's projection. The divisor stays the coordinate difference above.
//
// Costs per Jacobian: n residual evaluations forward (r(x) is the run's
// current residual, already held), 2n central. Deterministic: each column is
// one subtraction and one division per entry, no fused multiply-add.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "common/assert.hpp"

namespace marlune::solvers::common::least_squares {

enum class DifferenceScheme { forward, central };

class FiniteDifferences {
 public:
  // √(2⁻⁵²) = 2⁻²⁶ exactly, and the double nearest ∛(2⁻⁵²) written out, so
  // that no library's cbrt can change a bit of it.
  static constexpr double kForwardEpsilon = 1.4901161193847656e-08;
  static constexpr double kCentralEpsilon = 6.0554544523933395e-06;

  explicit FiniteDifferences(DifferenceScheme scheme) : scheme_(scheme) {}

  // The step for a coordinate of value xk.
  double step(double xk) const {
    const double eps = scheme_ == DifferenceScheme::forward ? kForwardEpsilon : kCentralEpsilon;
    return eps * std::max(1.0, std::fabs(xk));
  }

  // Fills out (m·n, row-major) with the difference Jacobian at x, where r is
  // the residual at x. Buffers are sized on the first call of a run and
  // reused after that; e_k is all zeros between columns.
  template <class Space, class Residual, class Project>
  void evaluate(std::span<const double> x, std::span<const double> r, std::span<double> out, Space& space,
                Residual& residual, Project& project) {
    const std::size_t n = x.size(), m = r.size();
    MARLUNE_ASSERT(out.size() == m * n);
    if (unit_.size() != n || plus_.size() != m) {
      unit_.assign(n, 0.0);
      point_.assign(n, 0.0);
      plus_.assign(m, 0.0);
      minus_.assign(scheme_ == DifferenceScheme::central ? m : 0, 0.0);
      scratch_.assign(n, 0.0);
    }
    const auto residual_along = [&](double h, std::vector<double>& into) {
      space.retract_into(point_, x, unit_, h, scratch_);
      project(std::span<double>(point_));
      residual(std::span<const double>(point_), std::span<double>(into));
    };
    for (std::size_t k = 0; k < n; ++k) {
      const double h = step(x[k]);
      unit_[k] = 1.0;
      residual_along(h, plus_);
      double divisor;
      const double* base;
      if (scheme_ == DifferenceScheme::forward) {
        divisor = (x[k] + h) - x[k];
        base = r.data();
      } else {
        residual_along(-h, minus_);
        divisor = (x[k] + h) - (x[k] - h);
        base = minus_.data();
      }
      unit_[k] = 0.0;
      for (std::size_t i = 0; i < m; ++i) out[i * n + k] = (plus_[i] - base[i]) / divisor;
    }
  }

 private:
  DifferenceScheme scheme_;
  std::vector<double> unit_;     // e_k
  std::vector<double> point_;    // the perturbed point
  std::vector<double> plus_;     // r at x + h_k·e_k
  std::vector<double> minus_;    // r at x - h_k·e_k (central only)
  std::vector<double> scratch_;  // the retraction's scratch argument
};

}  // namespace marlune::solvers::common::least_squares
