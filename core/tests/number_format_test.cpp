#include "text/number_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <tuple>

namespace {

using marlune::text::exponent_form;

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

struct ExpCase {
  double x;
  int digits;
  bool plus;
  const char* expected;
};

class ExponentForm : public ::testing::TestWithParam<ExpCase> {};

TEST_P(ExponentForm, MatchesTraceFormat) {
  const ExpCase& c = GetParam();
  EXPECT_EQ(exponent_form(c.x, c.digits, c.plus), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ExponentForm,
    ::testing::Values(ExpCase{1.0, 6, false, "1.000000e0"}, ExpCase{0.5, 6, false, "5.000000e-1"},
                      ExpCase{123456.75, 6, false, "1.234568e5"}, ExpCase{1e-300, 6, false, "1.000000e-300"},
                      ExpCase{0.25, 3, true, "+2.500e-1"}, ExpCase{0.0, 3, true, "+0.000e0"},
                      ExpCase{-0.0, 3, true, "-0.000e0"}, ExpCase{-0.0, 6, false, "-0.000000e0"},
                      ExpCase{-2.5e-7, 6, false, "-2.500000e-7"}, ExpCase{1e100, 3, false, "1.000e100"},
                      ExpCase{kInf, 6, false, "inf"}, ExpCase{-kInf, 6, false, "-inf"},
                      ExpCase{kInf, 3, true, "+inf"}, ExpCase{kNaN, 6, false, "NaN"},
                      ExpCase{-kNaN, 3, true, "NaN"},
                      // Ties go to even on the exact binary value: 0.125 and
                      // 0.375 are exact halves at 2 digits.
                      ExpCase{0.125, 1, false, "1.2e-1"}, ExpCase{0.375, 1, false, "3.8e-1"},
                      // 2.675 is really 2.67499999..., so it rounds down.
                      ExpCase{2.675, 2, false, "2.67e0"},
                      // Rounding that carries into the exponent.
                      ExpCase{9.9999996, 6, false, "1.000000e1"}));

TEST(AppendRightAligned, PadsShortTextAndKeepsLongTextWhole) {
  std::string out = "x";
  marlune::text::append_right_aligned(out, "NaN", 13);
  EXPECT_EQ(out, "x          NaN");
  out.clear();
  marlune::text::append_right_aligned(out, "1234567", 6);
  EXPECT_EQ(out, "1234567");
}

}  // namespace
