#pragma once
// The space a solver moves in: how a step is scaled, how a point is moved
// along a direction (retraction) and how long a tangent vector is. Solvers
// touch points only through these three operations, so a caller can swap
// flat space for a manifold without the solver knowing.

#include <cmath>
#include <concepts>
#include <cstddef>
#include <span>
#include <vector>

#include "numerics/linalg.hpp"

namespace marlune::manifolds::space {

using Vec = std::vector<double>;

// What a solver needs from a space. Outputs are caller-owned vectors that the
// operation resizes itself; inputs are read-only views.
template <class S>
concept Space = requires(S& s, Vec& out, std::span<const double> v, double alpha, Vec& scratch) {
  { s.scale_into(out, v, alpha) } -> std::same_as<void>;
  { s.retract_into(out, v, v, alpha, scratch) } -> std::same_as<void>;
  { s.tangent_norm(v) } -> std::same_as<double>;
};

// Euclidean operations. They are also the fallback of any space whose own
// implementation failed, which is why they are free functions.

// out = alpha * v
inline void euclidean_scale_into(Vec& out, std::span<const double> v, double alpha) {
  out.resize(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) out[i] = alpha * v[i];
}

// out = x + alpha * d; the product is rounded before the sum (no fused
// multiply-add), so every machine gets the same bits.
inline void euclidean_retract_into(Vec& out, std::span<const double> x, std::span<const double> d,
                                   double alpha) {
  out.resize(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double step = alpha * d[i];
    out[i] = x[i] + step;
  }
}

// sqrt(v0^2 + v1^2 + ...), summed strictly left to right from -0.0, so the
// empty vector has norm -0.0.
inline double euclidean_norm(std::span<const double> v) {
  return std::sqrt(numerics::linalg::sum_of_squares(v));
}

// Plain flat space.
struct Euclidean {
  void scale_into(Vec& out, std::span<const double> v, double alpha) const {
    euclidean_scale_into(out, v, alpha);
  }
  void retract_into(Vec& out, std::span<const double> x, std::span<const double> d, double alpha,
                    Vec& /*scratch*/) const {
    euclidean_retract_into(out, x, d, alpha);
  }
  double tangent_norm(std::span<const double> v) const { return euclidean_norm(v); }
};

static_assert(Space<Euclidean>);

}  // namespace marlune::manifolds::space
