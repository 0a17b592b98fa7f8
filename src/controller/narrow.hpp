#pragma once
// Double to float without the undefined behaviour of converting a value
// beyond float's range: such values become ±infinity, NaN stays NaN.

#include <cmath>
#include <limits>

namespace velmora::controller {

inline float to_single(double v) {
  constexpr double kMax = static_cast<double>(std::numeric_limits<float>::max());
  if (std::isnan(v)) return std::numeric_limits<float>::quiet_NaN();
  if (v > kMax) return std::numeric_limits<float>::infinity();
  if (v < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

}  // namespace velmora::controller
