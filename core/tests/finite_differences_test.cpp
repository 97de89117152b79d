#include "solvers/common/finite_differences.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "manifolds/space.hpp"

namespace {

using marlune::manifolds::space::Euclidean;
using namespace marlune::solvers::common::least_squares;
using Vec = std::vector<double>;

constexpr double kEps = std::numeric_limits<double>::epsilon();

// r(x) = (e^{2·x0}, e^{-x1}, e^{(x0 + x1)/2}): every derivative is known, so
// the error bound of each scheme follows from its step alone.
void residual(std::span<const double> x, std::span<double> out) {
  out[0] = std::exp(2.0 * x[0]);
  out[1] = std::exp(-x[1]);
  out[2] = std::exp(0.5 * (x[0] + x[1]));
}
// d^p r_i / dx_k^p at x, for p = 1, 2, 3.
double derivative(std::size_t i, std::size_t k, int p, std::span<const double> x) {
  const double rate[3][2] = {{2.0, 0.0}, {0.0, -1.0}, {0.5, 0.5}};
  Vec r(3);
  residual(x, r);
  return std::pow(rate[i][k], p) * r[i];
}

struct Counted {
  int calls = 0;
  void operator()(std::span<const double> x, std::span<double> out) {
    ++calls;
    residual(x, out);
  }
};

struct NoProject {
  void operator()(std::span<double>) const {}
};

}  // namespace

TEST(FiniteDifferences, EachSchemeIsWithinTheErrorBoundOfItsStep) {
  for (const Vec& x : {Vec{0.3, -0.7}, Vec{-4.0, 12.0}}) {
    Vec r(3);
    residual(x, r);
    for (DifferenceScheme scheme : {DifferenceScheme::forward, DifferenceScheme::central}) {
      FiniteDifferences fd(scheme);
      Euclidean space;
      Counted counted;
      NoProject project;
      Vec J(6);
      fd.evaluate(x, r, J, space, counted, project);
      EXPECT_EQ(counted.calls, scheme == DifferenceScheme::forward ? 2 : 4);
      for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t k = 0; k < 2; ++k) {
          const double h = fd.step(x[k]);
          // Truncation (Taylor remainder, with slack for the derivative's
          // change over the step) plus rounding of the residual values.
          const double truncation = scheme == DifferenceScheme::forward
                                        ? h * std::fabs(derivative(i, k, 2, x))
                                        : h * h * std::fabs(derivative(i, k, 3, x)) / 3.0;
          const double rounding = 4.0 * kEps * std::fabs(r[i]) / h;
          EXPECT_NEAR(J[i * 2 + k], derivative(i, k, 1, x), truncation + rounding + 1e-300)
              << "scheme " << static_cast<int>(scheme) << " entry " << i << "," << k;
        }
      }
    }
  }
}

TEST(FiniteDifferences, TheDivisorIsTheDifferenceTheCoordinatesReallyHave) {
  FiniteDifferences forward(DifferenceScheme::forward), central(DifferenceScheme::central);
  EXPECT_EQ(FiniteDifferences::kCentralEpsilon, std::cbrt(kEps));  // the literal is the correctly rounded root
  // r(x) = x0: the quotient is exactly 1 however x0 + h rounds, because the
  // divisor is the difference the coordinates really have.
  const auto identity = [](std::span<const double> x, std::span<double> out) { out[0] = x[0]; };
  for (double x0 : {0.1, 1e6 + 0.3, -7.77e-3}) {
    for (FiniteDifferences* fd : {&forward, &central}) {
      Euclidean space;
      NoProject project;
      Vec x{x0}, r{x0}, J(1);
      auto residual_fn = identity;
      fd->evaluate(x, r, J, space, residual_fn, project);
      EXPECT_EQ(J[0], 1.0) << x0;
    }
  }
}
