#include "text/number_format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

namespace marlune::text {

std::string shortest_decimal(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  // The longest fixed-form shortest representation is about 330 characters
  // (5e-324 written out in full).
  std::array<char, 400> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::fixed);
  if (ec != std::errc{}) return "NaN";  // cannot happen with this buffer size
  return std::string(buf.data(), end);
}

std::string exponent_form(double x, int digits, bool plus_sign) {
  if (std::isnan(x)) return "NaN";
  std::string out;
  if (std::signbit(x)) {
    out.push_back('-');
  } else if (plus_sign) {
    out.push_back('+');
  }
  if (std::isinf(x)) return out + "inf";
  std::array<char, 64> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(x),
                                 std::chars_format::scientific, digits);
  if (ec != std::errc{}) return "NaN";  // cannot happen with this buffer size
  // to_chars writes "d.ddde+XX"; rewrite the exponent without '+' and
  // without leading zeros.
  const char* p = buf.data();
  while (p != end && *p != 'e') out.push_back(*p++);
  out.push_back('e');
  if (p != end) ++p;  // skip 'e'
  if (p != end && (*p == '+' || *p == '-')) {
    if (*p == '-') out.push_back('-');
    ++p;
  }
  while (p + 1 < end && *p == '0') ++p;
  out.append(p, static_cast<std::size_t>(end - p));
  return out;
}

void append_right_aligned(std::string& out, const std::string& text, std::size_t width) {
  if (text.size() < width) out.append(width - text.size(), ' ');
  out += text;
}

}  // namespace marlune::text
