#pragma once
// The turn each neck joint rests on. A Damiao motor's multi-turn counter may
// power up at any multiple of 2π while the joint sits at its physical zero.
// The controller speaks to its callers relative to the turn it found each
// joint on, so no goal can swing the head through a turn. A joint's turn is
// the multiple of 2π nearest to the first position the joint reported, and is
// taken again from any later report more than half a turn away from it: a
// joint on its own turn never gets that far (its safety range lies well
// inside ±π), so such a report means the counter moved (a power cycle).
// Neck homing takes every turn again from where it starts.

#include <array>
#include <cstddef>
#include <optional>

namespace velmora::controller {

class NeckTurns {
 public:
  bool known(std::size_t joint) const { return turns_[joint].has_value(); }
  int turn(std::size_t joint) const { return turns_[joint].value_or(0); }
  // Takes the joint's turn from this reported position, known or not.
  void learn(std::size_t joint, double reported);
  // Any report of the joint: the first teaches its turn, and one more than
  // half a turn from it moves the turn. The turn it had before, when moved.
  std::optional<int> observe(std::size_t joint, double reported);
  // A position the joint reported, relative to its turn (observe() first).
  double relative(std::size_t joint, double reported) const;
  // Where the motor's counter has to go for a goal relative to the joint's
  // turn, which must be known.
  double counter(std::size_t joint, double goal) const;

 private:
  // 2π times the turn; exactly 0 (and then positions pass unchanged, the
  // sign of a zero included) on turn 0.
  double offset(std::size_t joint) const;

  std::array<std::optional<int>, 3> turns_{};
};

}  // namespace velmora::controller
