#include "controller/homing_math.hpp"

#include <cmath>
#include <limits>

namespace velmora::controller {

double nearest_turn_goal(double position) {
  // std::round rounds halfway cases away from zero, which is the rule wanted.
  return kTwoPi * std::round(position / kTwoPi);
}

int nearest_turn(double position) {
  const double turn = std::round(position / kTwoPi);
  constexpr double kFarthest = 1e6;
  return std::fabs(turn) < kFarthest ? static_cast<int>(turn) : 0;
}

std::uint32_t neck_home_cycle_budget(double max_travel, double step) {
  constexpr double kSettleCycles = 2000.0;
  constexpr double kMax = static_cast<double>(std::numeric_limits<std::uint32_t>::max());
  const double travel_cycles = std::floor(max_travel / step);
  // NaN or anything past the range saturates; the comparison is written so
  // that NaN takes the saturating branch.
  const double budget = travel_cycles + kSettleCycles;
  if (!(budget <= kMax)) return std::numeric_limits<std::uint32_t>::max();
  if (budget < kSettleCycles) return static_cast<std::uint32_t>(kSettleCycles);
  return static_cast<std::uint32_t>(budget);
}

double wrap_offset(double offset) {
  if (!std::isfinite(offset)) return offset;
  while (offset > kPi) offset -= kTwoPi;
  while (offset < -kPi) offset += kTwoPi;
  return offset;
}

}  // namespace velmora::controller
