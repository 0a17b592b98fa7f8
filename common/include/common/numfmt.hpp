#pragma once
// Number and duration texts in the exact forms the system's messages use.

#include <chrono>
#include <string>

namespace velmora::numfmt {

// Shortest text that reads back to the same value, never in exponent form,
// no decimal point for integral values: 0.0 -> "0", -0.5 -> "-0.5".
std::string shortest(double v);
// Shortest round-trip text with at least one decimal ("0.0", "-6.283185307179586"),
// in exponent form for non-zero magnitudes below 1e-4 or of 1e16 and above ("3e-5").
std::string debug(double v);
// Fixed notation with exactly `decimals` decimals; always_sign adds "+" to
// non-negative values ("+0.0012").
std::string fixed(double v, int decimals, bool always_sign = false);
// Compact duration form: "30s", "1.5s", "250ms", "12.5µs", "0ns".
std::string duration(std::chrono::nanoseconds d);

}  // namespace velmora::numfmt
