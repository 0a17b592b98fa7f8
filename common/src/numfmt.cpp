#include "common/numfmt.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace velmora::numfmt {
namespace {

std::string non_finite(double v) {
  if (std::isnan(v)) return "NaN";
  return v < 0 ? "-inf" : "inf";
}

std::string to_chars(double v, std::chars_format format) {
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, v, format);
  return std::string(buf, res.ptr);
}

// Digits of `value` / 10^scale with trailing zeros of the fraction removed.
std::string scaled(std::uint64_t value, std::uint64_t scale) {
  std::string out = std::to_string(value / scale);
  std::uint64_t frac = value % scale;
  if (frac == 0) return out;
  std::string digits = std::to_string(frac);
  std::string width = std::to_string(scale);
  digits.insert(0, width.size() - 1 - digits.size(), '0');
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  return out + "." + digits;
}

}  // namespace

std::string shortest(double v) {
  if (!std::isfinite(v)) return non_finite(v);
  return to_chars(v, std::chars_format::fixed);
}

std::string debug(double v) {
  if (!std::isfinite(v)) return non_finite(v);
  const double mag = std::fabs(v);
  if (mag != 0.0 && (mag < 1e-4 || mag >= 1e16)) {
    // "1.5e-07" style from to_chars becomes "1.5e-7".
    std::string s = to_chars(v, std::chars_format::scientific);
    auto e = s.find('e');
    std::string mantissa = s.substr(0, e);
    std::string exp = s.substr(e + 1);
    bool negative = !exp.empty() && exp[0] == '-';
    if (!exp.empty() && (exp[0] == '-' || exp[0] == '+')) exp.erase(0, 1);
    while (exp.size() > 1 && exp[0] == '0') exp.erase(0, 1);
    return mantissa + "e" + (negative ? "-" : "") + exp;
  }
  std::string s = to_chars(v, std::chars_format::fixed);
  if (s.find('.') == std::string::npos) s += ".0";
  return s;
}

std::string fixed(double v, int decimals, bool always_sign) {
  if (!std::isfinite(v)) {
    std::string s = non_finite(v);
    return (always_sign && !std::signbit(v) && !std::isnan(v)) ? "+" + s : s;
  }
  char buf[400];
  std::snprintf(buf, sizeof buf, always_sign ? "%+.*f" : "%.*f", decimals, v);
  return buf;
}

std::string duration(std::chrono::nanoseconds d) {
  const auto ns = static_cast<std::uint64_t>(d.count() < 0 ? 0 : d.count());
  if (ns >= 1'000'000'000) return scaled(ns, 1'000'000'000) + "s";
  if (ns >= 1'000'000) return scaled(ns, 1'000'000) + "ms";
  if (ns >= 1'000) return scaled(ns, 1'000) + "\u00b5s";
  return std::to_string(ns) + "ns";
}

}  // namespace velmora::numfmt
