#include "control_loop/command_exec.hpp"

#include <string>
#include <utility>

#include "control_loop/retry.hpp"

namespace velmora::control_loop {
namespace {

HwResult<void> neck_only() { return std::unexpected(HardwareError{std::string(kNeckOnlyError), false}); }

struct Executor {
  LoopHardware& hw;
  Cell<TorqueResult>& last_torque;
  std::uint64_t retries;

  HwResult<void> serial(auto&& op) { return hw.has_serial_port() ? op() : neck_only(); }
  HwResult<void> torque_after(HwResult<void> result, bool state) {
    if (result) last_torque.set(state);
    return result;
  }

  HwResult<void> operator()(cmd::SetAllGoalPositions& c) {
    return serial([&] { return hw.set_all_goal_positions(c.positions.servo_goals()); });
  }
  HwResult<void> operator()(cmd::SetLeftArmPosition& c) {
    return serial([&] { return hw.set_left_arm_position(c.positions); });
  }
  HwResult<void> operator()(cmd::SetRightArmPosition& c) {
    return serial([&] { return hw.set_right_arm_position(c.positions); });
  }
  HwResult<void> operator()(cmd::SetArmsPosition& c) {
    return serial([&] { return hw.set_arms_position(c.positions); });
  }
  HwResult<void> operator()(cmd::SetNosePosition& c) {
    return serial([&] { return hw.set_nose_position(c.positions); });
  }
  HwResult<void> operator()(cmd::SetNeckPosition& c) {
    std::array<double, 3> clamped{};
    for (std::size_t i = 0; i < 3; ++i) clamped[i] = hw.clamp_neck_position(i, c.positions[i]);
    return hw.command_neck_mit(clamped, "set_neck_position");
  }
  HwResult<void> operator()(cmd::SetNeckYawPosition& c) { return hw.set_single_neck_joint(0, c.position); }
  HwResult<void> operator()(cmd::SetNeckPitchPosition& c) { return hw.set_single_neck_joint(1, c.position); }
  HwResult<void> operator()(cmd::SetNeckRollPosition& c) { return hw.set_single_neck_joint(2, c.position); }
  HwResult<void> operator()(cmd::EnableNeck& c) { return hw.enable_neck(c.enable); }
  HwResult<void> operator()(cmd::EnableTorque&) {
    return torque_after(serial([&] { return hw.enable_torque(); }), true);
  }
  HwResult<void> operator()(cmd::EnableTorqueOnIds& c) { return torque_after(hw.set_torque_on_ids(c.ids, true), true); }
  HwResult<void> operator()(cmd::DisableTorque&) {
    return torque_after(serial([&] { return hw.disable_torque(); }), false);
  }
  HwResult<void> operator()(cmd::DisableTorqueOnIds& c) {
    return torque_after(hw.set_torque_on_ids(c.ids, false), false);
  }
  HwResult<void> operator()(cmd::EnableArms& c) {
    return serial([&] { return hw.enable_arms(c.enable); });
  }
  HwResult<void> operator()(cmd::EnableNose& c) {
    return serial([&] { return hw.enable_nose(c.enable); });
  }
  HwResult<void> operator()(cmd::ReadRawBytes& c) {
    if (!hw.has_serial_port()) return neck_only();
    auto bytes = with_retry(retries, [&] { return hw.read_raw_bytes(c.id, c.address, c.length); });
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    // A requester that gave up no longer matters: the read itself succeeded.
    (void)c.reply.send(std::move(*bytes));
    return {};
  }
  HwResult<void> operator()(cmd::WriteRawBytes& c) {
    return serial([&] { return hw.write_raw_bytes(c.id, c.address, c.data); });
  }
  HwResult<void> operator()(cmd::WriteRawPacket& c) {
    auto reply = hw.write_raw_packet(c.packet);
    if (!reply) return std::unexpected(std::move(reply.error()));
    if (!c.reply.send(std::move(*reply))) return std::unexpected(HardwareError{"sending on a closed channel", false});
    return {};
  }
};

}  // namespace

HwResult<void> handle_command(LoopHardware& hw, Cell<TorqueResult>& last_torque, MotorCommand command,
                              std::uint64_t allowed_retries) {
  Executor exec{hw, last_torque, allowed_retries};
  return std::visit(exec, command);
}

}  // namespace velmora::control_loop
