#include "bindings/validation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "text/number_format.hpp"

namespace v = marlune::bindings::validation;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(NumberText, ShortestDecimalNeverUsesExponents) {
  const struct {
    double x;
    const char* text;
  } cases[] = {
      {0.5, "0.5"},   {2.0, "2"},     {1e-7, "0.0000001"}, {1e20, "100000000000000000000"},
      {-0.0, "-0"},   {kInf, "inf"},  {-kInf, "-inf"},     {kNaN, "NaN"},
      {-kNaN, "NaN"}, {0.1, "0.1"},   {-1.5, "-1.5"},
  };
  for (const auto& c : cases) EXPECT_EQ(marlune::text::shortest_decimal(c.x), c.text) << c.text;
}

TEST(Validators, PassOrExplain) {
  using Check = std::function<v::Checked<double>()>;
  const std::string beta = "gn: options.ls_beta";
  const struct {
    Check check;
    double passed;      // compared when the message is empty
    std::string error;  // empty: the value must pass unchanged
  } cases[] = {
      {[&] { return v::finite_open_unit(beta, 0.5); }, 0.5, ""},
      {[&] { return v::finite_open_unit(beta, 1.0); }, 0, "gn: options.ls_beta must be finite and in (0,1), got 1"},
      {[&] { return v::finite_open_unit(beta, 0.0); }, 0, "gn: options.ls_beta must be finite and in (0,1), got 0"},
      {[&] { return v::finite_open_unit(beta, -0.0); }, 0, "gn: options.ls_beta must be finite and in (0,1), got -0"},
      {[&] { return v::finite_open_unit(beta, kNaN); }, 0, "gn: options.ls_beta must be finite and in (0,1), got NaN"},
      {[&] { return v::finite_open_unit(beta, kInf); }, 0, "gn: options.ls_beta must be finite and in (0,1), got inf"},
      {[] { return v::finite_open_closed_unit("s", 1.0); }, 1.0, ""},
      {[] { return v::finite_open_closed_unit("s", 0.0); }, 0, "s must be finite and in (0,1], got 0"},
      {[] { return v::finite_open_closed_unit("s", -0.0); }, 0, "s must be finite and in (0,1], got -0"},
      {[] { return v::finite_open_closed_unit("s", 1.0000000000000002); }, 0,
       "s must be finite and in (0,1], got 1.0000000000000002"},
      {[] { return v::finite_nonnegative("t", -0.0); }, -0.0, ""},
      {[] { return v::finite_nonnegative("t", -1e-300); }, 0,
       "t must be finite and >= 0, got -0." + std::string(299, '0') + "1"},
      {[] { return v::finite_nonnegative("t", kInf); }, 0, "t must be finite and >= 0, got inf"},
      {[] { return v::finite_gt("gn: options.ls_min_step", 0.0, 0.0); }, 0,
       "gn: options.ls_min_step must be finite and > 0, got 0"},
      {[] { return v::finite_gt("lm: options.lambda_up", 1.0, 1.0); }, 0,
       "lm: options.lambda_up must be finite and > 1, got 1"},
      {[] { return v::finite_gt("lm: options.lambda_up", 10.0, 1.0); }, 10.0, ""},
      {[] { return v::finite_gt("u", kInf, 1.0); }, 0, "u must be finite and > 1, got inf"},
      {[] { return v::finite_gt("u", 1e-7, 0.5); }, 0, "u must be finite and > 0.5, got 0.0000001"},
      {[] { return v::finite("gn: options.c_armijo", -1e300); }, -1e300, ""},
      {[] { return v::finite("gn: options.c_armijo", kNaN); }, 0, "gn: options.c_armijo must be finite, got NaN"},
      {[] { return v::finite("w", -kInf); }, 0, "w must be finite, got -inf"},
  };
  for (const auto& c : cases) {
    const v::Checked<double> result = c.check();
    SCOPED_TRACE(c.error);
    if (c.error.empty()) {
      ASSERT_TRUE(result.ok()) << result.error();
      EXPECT_EQ(std::signbit(result.value()), std::signbit(c.passed));
      EXPECT_EQ(result.value(), c.passed);
      EXPECT_EQ(result.error(), "");
    } else {
      EXPECT_FALSE(result.ok());
      EXPECT_EQ(result.error(), c.error);
    }
  }
}

TEST(Validators, NonzeroCount) {
  const auto zero = v::nonzero_usize("gn: options.ls_max_steps", 0);
  EXPECT_FALSE(zero);
  EXPECT_EQ(zero.error(), "gn: options.ls_max_steps must be > 0");
  const auto big = v::nonzero_usize("n", 18446744073709551615u);
  ASSERT_TRUE(big);
  EXPECT_EQ(big.value(), 18446744073709551615u);
}
