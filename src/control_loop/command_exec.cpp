#include "control_loop/command_exec.hpp"

#include <string>
#include <utility>

#include "control_loop/retry.hpp"

namespace velmora::control_loop {
namespace {

using controller::ControllerError;
using controller::Result;

// Drops the value of a result whose value the loop does not use.
template <class T>
Result<void> discard_value(Result<T>&& result) {
  if (!result) return std::unexpected(std::move(result.error()));
  return {};
}

struct Executor {
  controller::VelmoraMotorController& c;
  Cell<TorqueResult>& last_torque;
  std::uint64_t retries;
  LoopClock& clock;

  Result<void> torque_after(Result<void> result, bool state) {
    if (result) last_torque.set(state);
    return result;
  }

  Result<void> operator()(cmd::SetAllGoalPositions& m) { return c.set_all_goal_positions(m.positions.servo_goals()); }
  Result<void> operator()(cmd::SetLeftArmPosition& m) { return c.set_left_arm_position(m.positions); }
  Result<void> operator()(cmd::SetRightArmPosition& m) { return c.set_right_arm_position(m.positions); }
  Result<void> operator()(cmd::SetArmsPosition& m) { return c.set_arms_position(m.positions); }
  Result<void> operator()(cmd::SetNosePosition& m) { return c.set_nose_position(m.positions); }
  Result<void> operator()(cmd::SetNeckPosition& m) {
    std::array<double, 3> clamped{};
    for (std::size_t i = 0; i < 3; ++i) clamped[i] = c.clamp_neck_position(i, m.positions[i]);
    return discard_value(c.command_neck_mit(clamped, "set_neck_position"));
  }
  Result<void> operator()(cmd::SetNeckYawPosition& m) { return discard_value(c.set_single_neck_joint(0, m.position)); }
  Result<void> operator()(cmd::SetNeckPitchPosition& m) {
    return discard_value(c.set_single_neck_joint(1, m.position));
  }
  Result<void> operator()(cmd::SetNeckRollPosition& m) {
    return discard_value(c.set_single_neck_joint(2, m.position));
  }
  Result<void> operator()(cmd::EnableNeck& m) { return c.enable_neck(m.enable); }
  Result<void> operator()(cmd::EnableTorque&) { return torque_after(c.enable_torque(), true); }
  Result<void> operator()(cmd::EnableTorqueOnIds& m) { return torque_after(c.set_torque_on_ids(m.ids, true), true); }
  Result<void> operator()(cmd::DisableTorque&) { return torque_after(c.disable_torque(), false); }
  Result<void> operator()(cmd::DisableTorqueOnIds& m) {
    return torque_after(c.set_torque_on_ids(m.ids, false), false);
  }
  Result<void> operator()(cmd::EnableArms& m) { return c.enable_arms(m.enable); }
  Result<void> operator()(cmd::EnableNose& m) { return c.enable_nose(m.enable); }
  Result<void> operator()(cmd::ReadRawBytes& m) {
    auto bytes = with_retry(retries, clock, [&] { return c.read_raw_bytes(m.id, m.address, m.length); });
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    // A requester that gave up no longer matters: the read itself succeeded.
    (void)m.reply.send(std::move(*bytes));
    return {};
  }
  Result<void> operator()(cmd::WriteRawBytes& m) { return c.write_raw_bytes(m.id, m.address, m.data); }
  Result<void> operator()(cmd::WriteRawPacket& m) {
    auto reply = c.write_raw_packet(m.packet);
    if (!reply) return std::unexpected(std::move(reply.error()));
    if (!m.reply.send(std::move(*reply))) return std::unexpected(ControllerError::text("sending on a closed channel"));
    return {};
  }
};

}  // namespace

Result<void> handle_command(controller::VelmoraMotorController& controller, Cell<TorqueResult>& last_torque,
                            MotorCommand command, std::uint64_t allowed_retries, LoopClock& clock) {
  return std::visit(Executor{controller, last_torque, allowed_retries, clock}, command);
}

}  // namespace velmora::control_loop
