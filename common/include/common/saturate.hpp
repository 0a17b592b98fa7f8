#pragma once
// The range-safe steps of the motor codecs: a clamp that lets NaN through and
// tolerates crossed bounds, and a float-to-unsigned conversion that saturates
// instead of overflowing.

#include <concepts>

namespace velmora {

// Written out rather than std::clamp: with a negative (invalid) limit the
// bounds cross, which std::clamp does not allow. NaN passes through.
constexpr float clamp(float v, float lo, float hi) {
  if (v < lo) return lo;
  if (v > hi) return hi;
  return v;
}

// Truncation toward zero into [0, max]: negative values and NaN give 0, and
// nothing exceeds max, so no code can spill into a neighbouring bit field.
// max must be exact as a float (below 2^24).
template <std::unsigned_integral T>
constexpr T saturating_cast(float v, T max) {
  if (!(v > 0.0F)) return 0;
  if (v >= static_cast<float>(max)) return max;
  return static_cast<T>(v);
}

}  // namespace velmora
