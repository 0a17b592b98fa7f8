#include "controller/neck_turns.hpp"

#include <cmath>

#include "controller/homing_math.hpp"

namespace velmora::controller {

void NeckTurns::learn(std::size_t joint, double reported) { turns_[joint] = nearest_turn(reported); }

std::optional<int> NeckTurns::observe(std::size_t joint, double reported) {
  if (!known(joint)) {
    learn(joint, reported);
    return std::nullopt;
  }
  // Written so that a NaN report moves nothing.
  if (!(std::fabs(reported - offset(joint)) > kPi)) return std::nullopt;
  const int before = turn(joint);
  learn(joint, reported);
  if (turn(joint) == before) return std::nullopt;
  return before;
}

double NeckTurns::offset(std::size_t joint) const { return kTwoPi * turn(joint); }

double NeckTurns::relative(std::size_t joint, double reported) const {
  const double away = offset(joint);
  return away == 0.0 ? reported : reported - away;
}

double NeckTurns::counter(std::size_t joint, double goal) const {
  const double away = offset(joint);
  return away == 0.0 ? goal : goal + away;
}

}  // namespace velmora::controller
