#pragma once
// The loop's hardware: the real motor controller.

#include "control_loop/loop_hardware.hpp"

namespace velmora::control_loop {

// Opens a VelmoraMotorController on the given serial port and CAN interface.
HwResult<std::unique_ptr<LoopHardware>> open_controller_hardware(const std::optional<std::string>& serialport,
                                                                 const std::string& can_bus);

}  // namespace velmora::control_loop
