#include "controller/neck_turns.hpp"

#include "controller/homing_math.hpp"

namespace velmora::controller {

void NeckTurns::learn(std::size_t joint, double reported) { turns_[joint] = nearest_turn(reported); }

double NeckTurns::offset(std::size_t joint) const { return kTwoPi * turns_[joint].value_or(0); }

double NeckTurns::relative(std::size_t joint, double reported) {
  heard(joint, reported);
  const double away = offset(joint);
  return away == 0.0 ? reported : reported - away;
}

double NeckTurns::counter(std::size_t joint, double goal) const {
  const double away = offset(joint);
  return away == 0.0 ? goal : goal + away;
}

}  // namespace velmora::controller
