#pragma once
// The turn each neck joint rests on. A Damiao motor's multi-turn counter may
// power up at any multiple of 2π while the joint sits at its physical zero.
// The controller speaks to its callers relative to the turn it found each
// joint on, so no goal can swing the head through a turn. A joint's turn is
// the multiple of 2π nearest to the first position the joint reported (neck
// homing takes it again from where it starts).

#include <array>
#include <cstddef>
#include <optional>

namespace velmora::controller {

class NeckTurns {
 public:
  bool known(std::size_t joint) const { return turns_[joint].has_value(); }
  // Takes the joint's turn from this reported position, known or not.
  void learn(std::size_t joint, double reported);
  // Any report of the joint counts: the first one teaches its turn.
  void heard(std::size_t joint, double reported) {
    if (!known(joint)) learn(joint, reported);
  }
  // A position the joint reported, relative to its turn (heard() first).
  double relative(std::size_t joint, double reported);
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
