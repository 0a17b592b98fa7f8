#pragma once
// The loop's hardware: the motor controller, and how the loop opens it.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "control_loop/loop_clock.hpp"
#include "controller/controller.hpp"

namespace velmora::control_loop {

using controller::VelmoraMotorController;

// Opens the controller for a loop: the serial port (when a path is given) and
// the CAN interface, with every wait of the controller on the loop's clock.
// The error text is for logs only.
using HardwareFactory = std::function<controller::Result<std::unique_ptr<VelmoraMotorController>>(
    const std::optional<std::string>& serialport, const std::string& can_bus, const std::shared_ptr<LoopClock>& clock)>;

// The real buses.
controller::Result<std::unique_ptr<VelmoraMotorController>> open_controller_hardware(
    const std::optional<std::string>& serialport, const std::string& can_bus, const std::shared_ptr<LoopClock>& clock);

}  // namespace velmora::control_loop
