#pragma once
// Number-to-text rules shared by messages and trace lines. Both are exact
// (correctly rounded from the binary value) and independent of the C
// library's locale and printf quirks.

#include <string>

namespace marlune::text {

// The shortest decimal text that reads back as the same float64, never in
// exponent form: 0.5 -> "0.5", 2.0 -> "2", 1e-7 -> "0.0000001",
// 1e20 -> "100000000000000000000", -0.0 -> "-0", "inf", "-inf", "NaN".
std::string shortest_decimal(double x);

// Exponent form with `digits` digits after the point, correctly rounded (ties
// to even), exponent without '+' or leading zeros: 1.0 -> "1.000000e0",
// 0.5 -> "5.000000e-1". Negative values (and -0.0) carry '-'; with
// `plus_sign`, non-negative values carry '+'. Infinity is "inf"/"-inf"
// ("+inf" with `plus_sign`), NaN is "NaN" without sign.
std::string exponent_form(double x, int digits, bool plus_sign = false);

// Appends `text` right-aligned in a field of `width` characters (longer text
// is written in full).
void append_right_aligned(std::string& out, const std::string& text, std::size_t width);

}  // namespace marlune::text
