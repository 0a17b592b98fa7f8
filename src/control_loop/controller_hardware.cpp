#include "control_loop/controller_hardware.hpp"

namespace velmora::control_loop {

controller::Result<std::unique_ptr<VelmoraMotorController>> open_controller_hardware(
    const std::optional<std::string>& serialport, const std::string& can_bus, const std::shared_ptr<LoopClock>& clock) {
  return VelmoraMotorController::create(
      serialport, can_bus, [clock](std::chrono::microseconds duration) { clock->sleep_for(duration); },
      [clock] { return clock->now(); });
}

}  // namespace velmora::control_loop
