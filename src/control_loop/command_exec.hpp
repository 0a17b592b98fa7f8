#pragma once
// Execution of one queued command on the loop thread.

#include <cstdint>

#include "control_loop/loop_hardware.hpp"
#include "control_loop/motor_command.hpp"
#include "control_loop/shared_cells.hpp"

namespace velmora::control_loop {

// Runs the command's bus transactions. Torque commands record the state they
// asked for in `last_torque` when they succeed. A failure's reply channel is
// dropped unanswered, which its requester sees as a closed channel.
HwResult<void> handle_command(LoopHardware& hw, Cell<TorqueResult>& last_torque, MotorCommand command,
                              std::uint64_t allowed_retries);

}  // namespace velmora::control_loop
