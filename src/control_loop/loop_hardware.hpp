#pragma once
// What the control loop needs of the motor controller. The real controller
// sits behind ControllerHardware (controller_hardware.hpp); tests use fakes.

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmora::control_loop {

inline constexpr std::string_view kNeckOnlyError = "serial port not configured (neck-only controller)";

struct HardwareError {
  std::string message;
  // An I/O error that timed out or was interrupted: the only kind retried.
  bool retryable = false;
  // The operation stopped because StopRequested said so.
  bool interrupted = false;
};

template <class T>
using HwResult = std::expected<T, HardwareError>;

// Asked between the cycles of a long start-up wait; true stops it. Empty: never.
using StopRequested = std::function<bool()>;

class LoopHardware {
 public:
  virtual ~LoopHardware() = default;

  virtual bool has_serial_port() const = 0;

  // Start-up checks.
  virtual std::vector<std::uint8_t> check_missing_ids() = 0;
  virtual std::vector<std::string> check_missing_neck_motors() = 0;
  virtual std::unordered_map<std::string, std::uint8_t> motor_name_id() const = 0;
  virtual HwResult<std::array<std::uint8_t, 7>> read_all_voltages() = 0;
  virtual HwResult<void> reboot(std::chrono::nanoseconds timeout, const StopRequested& stop) = 0;
  virtual HwResult<bool> is_torque_enabled() = 0;

  // Position reads.
  virtual HwResult<std::array<double, 7>> read_all_positions() = 0;
  // The neck reading in two halves: its requests go out, and later its
  // replies are taken, so the servo reads run while they come in.
  virtual void start_neck_reading() = 0;
  virtual HwResult<std::array<double, 3>> finish_neck_reading() = 0;

  // Servo groups (ids 1-4 SM40BL arms, 5-7 STS3025BL nose).
  virtual HwResult<void> set_all_goal_positions(const std::array<double, 7>& positions) = 0;
  virtual HwResult<void> set_left_arm_position(const std::array<double, 2>& positions) = 0;
  virtual HwResult<void> set_right_arm_position(const std::array<double, 2>& positions) = 0;
  virtual HwResult<void> set_arms_position(const std::array<double, 4>& positions) = 0;
  virtual HwResult<void> set_nose_position(const std::array<double, 3>& positions) = 0;
  virtual HwResult<void> enable_torque() = 0;
  virtual HwResult<void> disable_torque() = 0;
  virtual HwResult<void> enable_arms(bool enable) = 0;
  virtual HwResult<void> enable_nose(bool enable) = 0;
  virtual HwResult<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable) = 0;
  virtual HwResult<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                             std::uint8_t length) = 0;
  virtual HwResult<void> write_raw_bytes(std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data) = 0;
  virtual HwResult<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data) = 0;

  // Neck joints (index 0 yaw, 1 pitch, 2 roll).
  virtual double clamp_neck_position(std::size_t index, double position) const = 0;
  virtual HwResult<void> command_neck_mit(const std::array<double, 3>& positions, std::string_view context) = 0;
  virtual HwResult<void> set_single_neck_joint(std::size_t index, double position) = 0;
  virtual HwResult<void> enable_neck(bool enable) = 0;
};

// Opens the hardware for a loop: the serial port (when a path is given) and
// the CAN interface. The error text is for logs only.
using HardwareFactory = std::function<HwResult<std::unique_ptr<LoopHardware>>(
    const std::optional<std::string>& serialport, const std::string& can_bus)>;

}  // namespace velmora::control_loop
