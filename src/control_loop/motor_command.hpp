#pragma once
// The nineteen commands Python can queue for the loop thread. The variant's
// index is the command's tag. A command owns its payload; the two that expect
// an answer carry the sending end of a single-use reply channel.

#include <array>
#include <cstdint>
#include <variant>
#include <vector>

#include "control_loop/reply_channel.hpp"
#include "control_loop/torso_position.hpp"

namespace velmora::control_loop {

using Bytes = std::vector<std::uint8_t>;

namespace cmd {
struct SetAllGoalPositions { VelmoraTorsoPosition positions; };
struct SetLeftArmPosition { std::array<double, 2> positions; };
struct SetRightArmPosition { std::array<double, 2> positions; };
struct SetArmsPosition { std::array<double, 4> positions; };
struct SetNosePosition { std::array<double, 3> positions; };
struct SetNeckPosition { std::array<double, 3> positions; };
struct SetNeckYawPosition { double position; };
struct SetNeckPitchPosition { double position; };
struct SetNeckRollPosition { double position; };
struct EnableNeck { bool enable; };
struct EnableTorque {};
struct EnableTorqueOnIds { Bytes ids; };
struct DisableTorque {};
struct DisableTorqueOnIds { Bytes ids; };
struct EnableArms { bool enable; };
struct EnableNose { bool enable; };
struct ReadRawBytes {
  std::uint8_t id;
  std::uint8_t address;
  std::uint8_t length;
  ReplySender<Bytes> reply;
};
struct WriteRawBytes {
  std::uint8_t id;
  std::uint8_t address;
  Bytes data;
};
struct WriteRawPacket {
  Bytes packet;
  ReplySender<Bytes> reply;
};
}  // namespace cmd

using MotorCommand =
    std::variant<cmd::SetAllGoalPositions, cmd::SetLeftArmPosition, cmd::SetRightArmPosition, cmd::SetArmsPosition,
                 cmd::SetNosePosition, cmd::SetNeckPosition, cmd::SetNeckYawPosition, cmd::SetNeckPitchPosition,
                 cmd::SetNeckRollPosition, cmd::EnableNeck, cmd::EnableTorque, cmd::EnableTorqueOnIds,
                 cmd::DisableTorque, cmd::DisableTorqueOnIds, cmd::EnableArms, cmd::EnableNose, cmd::ReadRawBytes,
                 cmd::WriteRawBytes, cmd::WriteRawPacket>;

static_assert(std::variant_size_v<MotorCommand> == 19);

}  // namespace velmora::control_loop
