#pragma once
// The arithmetic of neck and arm homing, kept apart from the bus work so the
// rounding rules can be checked value by value.

#include <cstdint>

namespace velmora::controller {

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// The multiple of 2π nearest to a multi-turn neck position; a position exactly
// halfway between two multiples goes to the one farther from zero. Keeps the
// sign of zero (-3.0 -> -0.0).
double nearest_turn_goal(double position);
// The number of that multiple (nearest_turn_goal(p) == 2π * nearest_turn(p)).
// A position beyond any counter a motor reports (or not a number) gives 0.
int nearest_turn(double position);

// Cycles neck homing may spend: every cycle its longest travel needs at `step`
// per cycle, plus 2000 to settle. Saturates at the 32-bit range instead of
// wrapping, so a tiny step can never shrink the budget.
std::uint32_t neck_home_cycle_budget(double max_travel, double step);

// An arm offset folded into [-π, π]; exactly ±π stays as it is.
double wrap_offset(double offset);

}  // namespace velmora::controller
