#pragma once
// The synchronous controller: the serial servo bus (servo_controller.hpp) and
// the neck's CAN bus (neck_controller.hpp) behind one interface, plus what
// takes both. Not thread-safe: its users call one operation at a time.

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
#include <utility>
#include <vector>

#include "controller/can_link.hpp"
#include "controller/controller_error.hpp"
#include "controller/joint_names.hpp"
#include "controller/neck_controller.hpp"
#include "controller/serial_link.hpp"
#include "controller/servo_controller.hpp"
#include "motorcom/can.hpp"
#include "motorcom/damiao/driver.hpp"
#include "servocom/port.hpp"
#include "servocom/register_map.hpp"

namespace velmora::controller {

// One reading of all ten joints: the servos in bus order (ids 1 to 7), then
// the neck (yaw, pitch, roll, relative to each joint's turn).
struct TorsoReading {
  std::array<double, 7> servos{};
  std::array<double, 3> neck{};
};

class VelmoraMotorController {
 public:
  using Sleep = std::function<void(std::chrono::microseconds)>;
  // The monotonic clock every time-out of the controller is measured on
  // (reboot, raw replies, the serial port's drain, the neck's CAN replies).
  using Clock = motorcom::Clock;
  // Asked between the cycles of a long operation (neck homing, the wait for
  // rebooted servos); true stops it with an `interrupted` error. Empty: never.
  using StopRequested = std::function<bool()>;

  // How the buses' devices are found again after they went away: the
  // serial port by its path, the CAN interface by its name. Empty: never.
  struct Reopen {
    std::string serial_path;
    SerialLink::Open serial;
    std::string can_name;
    CanLink::Open can;
  };

  // Opens the serial port (when a path is given) and the CAN interface.
  // Empty sleep / clock select the real ones.
  static Result<std::unique_ptr<VelmoraMotorController>> create(const std::optional<std::string>& serialport,
                                                                const std::string& can_bus, Sleep sleep = {},
                                                                Clock clock = {});
  // Built around given buses (port may be null: neck-only).
  VelmoraMotorController(std::unique_ptr<servocom::Port> port, std::unique_ptr<motorcom::CanTransport> can,
                         Sleep sleep = {}, Clock clock = {}, Reopen reopen = {});
  ~VelmoraMotorController();
  VelmoraMotorController(const VelmoraMotorController&) = delete;
  VelmoraMotorController& operator=(const VelmoraMotorController&) = delete;

  bool has_serial_port() const { return servos_.has_serial_port(); }
  // A device that went away is tried again at most this often (zero, the
  // default: by every call that needs it).
  void set_reconnect_interval(std::chrono::nanoseconds interval) {
    servos_.set_reconnect_interval(interval);
    neck_.set_reconnect_interval(interval);
  }
  // Every packet and frame on the two buses goes to tap too (null: nowhere).
  void set_bus_tap(BusTap* tap) {
    servos_.set_tap(tap);
    neck_.set_tap(tap);
  }
  // How often the serial port was opened again after its device went away.
  std::uint64_t serial_reconnections() const { return servos_.reconnections(); }
  // The device a bus is on, for messages: "serial port /dev/ttyUSB0", "CAN interface can0".
  std::string device_name(ControllerError::Bus bus) const { return device_name(bus, servos_.path(), neck_.name()); }
  // The same before there is a controller: for a bus that failed to open.
  static std::string device_name(ControllerError::Bus bus, std::string_view serial_path, std::string_view can_name);

  // Inventory.
  std::vector<std::uint8_t> check_missing_ids() { return servos_.check_missing_ids(); }
  std::vector<std::string> check_missing_neck_motors() { return neck_.check_missing_neck_motors(); }
  static std::unordered_map<std::string, std::uint8_t> get_motor_name_id() { return ServoController::motor_name_id(); }
  Result<void> reboot(std::chrono::nanoseconds timeout, const StopRequested& stop = {}) {
    return servos_.reboot(timeout, stop);
  }

  // Servo groups.
  Result<std::array<double, 7>> read_all_positions() { return servos_.read_all_positions(); }
  Result<std::array<std::uint8_t, 7>> read_all_voltages() { return servos_.read_all_voltages(); }
  Result<bool> is_torque_enabled() { return servos_.is_torque_enabled(); }
  Result<void> set_all_goal_positions(const std::array<double, 7>& positions) {
    return servos_.set_all_goal_positions(positions);
  }
  Result<void> set_arms_position(const std::array<double, 4>& positions) {
    return servos_.set_arms_position(positions);
  }
  Result<void> set_left_arm_position(const std::array<double, 2>& positions) {
    return servos_.set_left_arm_position(positions);
  }
  Result<void> set_right_arm_position(const std::array<double, 2>& positions) {
    return servos_.set_right_arm_position(positions);
  }
  Result<void> set_nose_position(const std::array<double, 3>& positions) {
    return servos_.set_nose_position(positions);
  }
  Result<void> enable_torque() { return servos_.enable_torque(); }
  Result<void> disable_torque() { return servos_.disable_torque(); }
  Result<void> enable_arms(bool enable) { return servos_.enable_arms(enable); }
  Result<void> enable_nose(bool enable) { return servos_.enable_nose(enable); }
  Result<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable) {
    return servos_.set_torque_on_ids(ids, enable);
  }
  Result<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data) {
    return servos_.write_raw_packet(data);
  }
  // Single Feetech read / write of a servo's registers (no retry).
  Result<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address, std::uint8_t length) {
    return servos_.read_raw_bytes(id, address, length);
  }
  Result<void> write_raw_bytes(std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data) {
    return servos_.write_raw_bytes(id, address, data);
  }
  // One servo's registers from its model number to its temperature, decoded:
  // one read, no retry, nothing written.
  Result<servocom::ServoState> read_servo_state(std::uint8_t id) { return servos_.read_servo_state(id); }

  // Neck joints (index 0 yaw, 1 pitch, 2 roll). Positions and goals are
  // relative to the turn each joint rests on (neck_turns.hpp); a command to a
  // joint this controller has not heard from yet asks for its position first.
  // The goal limited to the joint's safety range, with a warning when it had
  // to move. A goal that is not a number comes back unchanged (callers refuse
  // it); an index past the neck comes back unchanged too. Touches no state.
  static double clamp_neck_position(std::size_t index, double position) {
    return NeckController::clamp_neck_position(index, position);
  }
  // The same limit without the warning.
  static double limited_neck_goal(std::size_t index, double position) {
    return NeckController::limited_neck_goal(index, position);
  }
  Result<void> set_neck_gains(std::size_t index, float kp, float kd) { return neck_.set_neck_gains(index, kp, kd); }
  Result<std::array<double, 3>> command_neck_mit(const std::array<double, 3>& positions, std::string_view context) {
    return neck_.command_neck_mit(positions, context);
  }
  Result<std::array<double, 3>> set_neck_position(const std::array<double, 3>& positions) {
    return neck_.set_neck_position(positions);
  }
  Result<double> set_single_neck_joint(std::size_t index, double position) {
    return neck_.set_single_neck_joint(index, position);
  }
  Result<void> enable_neck(bool enable) { return neck_.enable_neck(enable); }
  Result<std::array<double, 3>> read_neck_positions() { return neck_.read_neck_positions(); }
  // The same reading in two halves: the three feedback requests go out
  // together, and their replies, taken in any order, are collected later, so
  // other work (the servo reads) runs while they come in. A reply that came
  // within its motor's time-out counts however late it is collected.
  using NeckReading = NeckController::NeckReading;
  NeckReading start_neck_reading() { return neck_.start_neck_reading(); }
  Result<std::array<double, 3>> finish_neck_reading(NeckReading& reading) { return neck_.finish_neck_reading(reading); }
  // Both buses at once: the neck's feedback requests go out, the servos are
  // read while the motors answer, and the neck's replies are collected last,
  // so a reading takes about as long as its serial part. The first failure
  // is returned, servos before neck, with the text of read_all_positions or
  // read_neck_positions. Needs the serial port (refused before any traffic).
  Result<TorsoReading> read_torso_position();
  // The same, with the servo part done by `read_servos` (the loop retries it,
  // and reads zeros without a serial port).
  template <class ReadServos>
  Result<TorsoReading> read_torso_with(ReadServos&& read_servos) {
    auto neck_reading = start_neck_reading();
    Result<std::array<double, 7>> servos = std::forward<ReadServos>(read_servos)();
    if (!servos) return std::unexpected(std::move(servos.error()));
    auto neck = finish_neck_reading(neck_reading);
    if (!neck) return std::unexpected(std::move(neck.error()));
    return TorsoReading{*servos, *neck};
  }
  // One joint's full feedback (one feedback request) and one of its motor's
  // registers (one register read): what a bring-up check needs joint by
  // joint. Both only read; neither changes the motor or the controller.
  Result<motorcom::damiao::MitFeedback> read_neck_feedback(std::size_t index) {
    return neck_.read_neck_feedback(index);
  }
  Result<motorcom::damiao::RegisterValue> read_neck_register(std::size_t index, std::uint8_t register_id) {
    return neck_.read_neck_register(index, register_id);
  }
  bool is_neck_torque_enabled() const { return neck_.is_neck_torque_enabled(); }
  static std::array<std::pair<double, double>, 3> neck_position_limits() { return NECK_POSITION_LIMITS; }

  // Homing.
  Result<std::array<double, 3>> neck_home(double speed, double tolerance, std::optional<float> kp,
                                          std::optional<float> kd, const StopRequested& stop = {}) {
    return neck_.neck_home(speed, tolerance, kp, kd, stop);
  }
  Result<std::array<double, 4>> set_arm_home(double verify_tol) { return servos_.set_arm_home(verify_tol); }

  // The two parts, for operations on one bus alone (the joint commands).
  ServoController& servos() { return servos_; }
  NeckController& neck() { return neck_; }

 private:
  // The neck first: the serial port closes before the CAN interface.
  NeckController neck_;
  ServoController servos_;
};

}  // namespace velmora::controller
