#include "manifolds/space.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using marlune::manifolds::space::Euclidean;
using marlune::manifolds::space::Vec;

TEST(EuclideanSpace, NormOfEmptyIsNegativeZeroAndOf34IsFive) {
  Euclidean s;
  const double empty = s.tangent_norm(Vec{});
  EXPECT_EQ(empty, 0.0);
  EXPECT_TRUE(std::signbit(empty));
  EXPECT_EQ(s.tangent_norm(Vec{3.0, 4.0}), 5.0);
}

TEST(EuclideanSpace, RetractResizesOutputToLengthOfX) {
  Euclidean s;
  Vec scratch;
  for (std::size_t initial : {0u, 2u, 7u}) {
    Vec out(initial, 42.0);
    s.retract_into(out, Vec{1.0, -2.0, 3.0}, Vec{5.0, 5.0, 5.0}, 0.0, scratch);
    EXPECT_EQ(out, (Vec{1.0, -2.0, 3.0})) << "initial length " << initial;
  }
}

TEST(EuclideanSpace, RetractRoundsProductBeforeSum) {
  // x + alpha*d with alpha*d inexact: fused evaluation would keep the low
  // bits of the product.
  Euclidean s;
  Vec out, scratch;
  const double a = 1.0 + std::ldexp(1.0, -27);
  const double prod = a * a;
  s.retract_into(out, Vec{-prod}, Vec{a}, a, scratch);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(out[0]), std::bit_cast<std::uint64_t>(0.0));
  EXPECT_NE(std::fma(a, a, -prod), 0.0);  // the case does discriminate
}

}  // namespace
