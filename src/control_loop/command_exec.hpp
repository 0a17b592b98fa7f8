#pragma once
// Execution of one queued command on the loop thread.

#include <cstdint>

#include "control_loop/loop_clock.hpp"
#include "control_loop/motor_command.hpp"
#include "control_loop/shared_cells.hpp"
#include "controller/controller.hpp"

namespace velmora::control_loop {

// Runs the command's bus transactions; the controller refuses what needs the
// serial port a neck-only controller lacks. Torque commands record the state
// they asked for in `last_torque` when they succeed. A failure's reply channel
// is dropped unanswered, which its requester sees as a closed channel.
controller::Result<void> handle_command(controller::VelmoraMotorController& controller,
                                        Cell<TorqueResult>& last_torque, MotorCommand command,
                                        std::uint64_t allowed_retries, LoopClock& clock);

}  // namespace velmora::control_loop
