#pragma once
// Parameter scaling of the least-squares solvers. With a diagonal D of
// positive scales the damped step solves
//     min ‖J·dx + r‖² + λ·‖D·dx‖²,
// so λ damps every parameter relative to its own scale instead of in
// absolute units; a fit whose parameters differ by many orders of
// magnitude (240 and 0.00055, say) is then damped evenly. The step is
// computed in the scaled variables z = D·dx, where the system matrix is
// D⁻¹·JᵀJ·D⁻¹ + λ·I, and mapped back with dx = D⁻¹·z.
//
// Two ways of choosing D:
//   marquardt  D_k = the largest Euclidean norm of Jacobian column k seen so
//              far in the run (so D² is a running maximum of diag(JᵀJ)); a
//              column that is zero when first seen counts as 1, and
//              non-finite norms are ignored so that one overflowing
//              Jacobian cannot freeze a parameter for the rest of the run;
//   fixed      D_k = 1 / size_k for the typical sizes given by the caller.

#include <cmath>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace marlune::solvers::common::least_squares {

enum class ScalingKind { none, marquardt, fixed };

// The configuration: no scaling, Marquardt's running maximum, or the
// caller's typical parameter sizes (positive and finite, one per parameter;
// the Python layer checks them).
struct Scaling {
  ScalingKind kind = ScalingKind::none;
  std::vector<double> sizes{};

  bool active() const { return kind != ScalingKind::none; }

  static Scaling none() { return {}; }
  static Scaling marquardt() { return {.kind = ScalingKind::marquardt, .sizes = {}}; }
  static Scaling fixed(std::vector<double> sizes) { return {.kind = ScalingKind::fixed, .sizes = std::move(sizes)}; }
};

// The scaling of one run: D and its inverse, kept up to date.
class ScalingState {
 public:
  ScalingState(const Scaling& config, std::size_t n) : kind_(config.kind) {
    if (kind_ == ScalingKind::none) return;
    d_.assign(n, 1.0);
    inverse_.assign(n, 1.0);
    if (kind_ == ScalingKind::fixed) {
      for (std::size_t k = 0; k < n; ++k) {
        inverse_[k] = config.sizes[k];
        d_[k] = 1.0 / config.sizes[k];
      }
    } else {
      squares_.assign(n, 0.0);
      columns_.assign(n, 0.0);
    }
  }

  bool active() const { return kind_ != ScalingKind::none; }
  bool tracks_jacobian() const { return kind_ == ScalingKind::marquardt; }

  // Where the caller writes the squared column norms of a new Jacobian
  // before calling observe() (Marquardt scaling only).
  std::span<double> column_squares() { return columns_; }

  // Folds column_squares() into the running maximum and refreshes D.
  void observe() {
    for (std::size_t k = 0; k < squares_.size(); ++k) {
      const double c = columns_[k];
      if (first_) {
        squares_[k] = std::isfinite(c) && c > 0.0 ? c : 1.0;
      } else if (std::isfinite(c) && c > squares_[k]) {
        squares_[k] = c;
      }
      d_[k] = std::sqrt(squares_[k]);
      inverse_[k] = 1.0 / d_[k];
    }
    first_ = false;
  }

  // D⁻¹: the factor each Jacobian column is multiplied by.
  std::span<const double> inverse() const { return inverse_; }

  // ‖D·v‖, summed in ascending order from -0.0.
  double scaled_norm(std::span<const double> v) const {
    double s = -0.0;
    for (std::size_t k = 0; k < v.size(); ++k) {
      const double e = d_[k] * v[k];
      s = s + e * e;
    }
    return std::sqrt(s);
  }

 private:
  ScalingKind kind_;
  bool first_ = true;
  std::vector<double> d_;        // D
  std::vector<double> inverse_;  // D⁻¹
  std::vector<double> squares_;  // running maximum of the squared column norms
  std::vector<double> columns_;  // squared column norms of the latest Jacobian
};

}  // namespace marlune::solvers::common::least_squares
