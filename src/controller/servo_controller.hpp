#pragma once
// The serial servo bus: the seven Feetech servos (arms on the SM40BL map, nose
// on the STS3025BL map) behind one serial port, which may be absent (a
// neck-only controller refuses every operation with kNeckOnlyError). Not
// thread-safe: its users call one operation at a time.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "controller/bus_tap.hpp"
#include "controller/controller_error.hpp"
#include "controller/serial_link.hpp"
#include "motorcom/can.hpp"
#include "servocom/feetech_handler.hpp"
#include "servocom/port.hpp"
#include "servocom/register_map.hpp"

namespace velmora::controller {

inline constexpr std::string_view kNeckOnlyError = "serial port not configured (neck-only controller)";

inline constexpr std::array<std::uint8_t, 4> ARM_IDS{1, 2, 3, 4};
inline constexpr std::array<std::uint8_t, 2> LEFT_ARM_IDS{1, 2};
inline constexpr std::array<std::uint8_t, 2> RIGHT_ARM_IDS{3, 4};
inline constexpr std::array<std::uint8_t, 3> NOSE_IDS{5, 6, 7};
inline constexpr std::array<std::uint8_t, 7> SERVO_IDS{1, 2, 3, 4, 5, 6, 7};

class ServoController {
 public:
  using Sleep = std::function<void(std::chrono::microseconds)>;
  using Clock = motorcom::Clock;
  using StopRequested = std::function<bool()>;

  // port null: no serial port. reopen empty: a lost port is never opened
  // again. sleep and clock must be set.
  ServoController(std::unique_ptr<servocom::Port> port, std::string path, SerialLink::Open reopen, Sleep sleep,
                  Clock clock);

  bool has_serial_port() const { return serial_.has_value(); }
  void set_reconnect_interval(std::chrono::nanoseconds interval) {
    if (serial_) serial_->set_reopen_interval(interval);
  }
  void set_tap(BusTap* tap) {
    if (serial_) serial_->set_tap(tap);
  }
  std::uint64_t reconnections() const { return serial_ ? serial_->reconnections() : 0; }
  // The serial port's path; empty without one.
  std::string_view path() const { return serial_ ? std::string_view(serial_->path()) : std::string_view(); }

  // Inventory: the servos that do not answer a ping (none without a port).
  std::vector<std::uint8_t> check_missing_ids();
  static std::unordered_map<std::string, std::uint8_t> motor_name_id();
  // Reboots every servo and waits for all of them to answer again.
  Result<void> reboot(std::chrono::nanoseconds timeout, const StopRequested& stop);

  Result<std::array<double, 7>> read_all_positions();
  Result<std::array<std::uint8_t, 7>> read_all_voltages();
  Result<bool> is_torque_enabled();
  Result<void> set_all_goal_positions(const std::array<double, 7>& positions);
  Result<void> set_arms_position(const std::array<double, 4>& positions);
  Result<void> set_left_arm_position(const std::array<double, 2>& positions);
  Result<void> set_right_arm_position(const std::array<double, 2>& positions);
  Result<void> set_nose_position(const std::array<double, 3>& positions);
  Result<void> enable_torque();
  Result<void> disable_torque();
  Result<void> enable_arms(bool enable);
  Result<void> enable_nose(bool enable);
  Result<void> set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable);
  Result<std::vector<std::uint8_t>> write_raw_packet(std::span<const std::uint8_t> data);
  Result<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address, std::uint8_t length);
  Result<void> write_raw_bytes(std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data);
  Result<servocom::ServoState> read_servo_state(std::uint8_t id);

  // Arm homing: the present arm pose becomes the servos' stored zero.
  Result<std::array<double, 4>> set_arm_home(double verify_tol);

 private:
  // What an operation on the servo bus is, for the link's count of failed readings.
  enum class Use : std::uint8_t { Reading, Other };
  // Runs op on the serial port: refused without one (neck-only), reopened
  // first when its device went away, and the outcome told to its link.
  template <class Op>
  auto on_servos(Use use, Op&& op) -> decltype(op(std::declval<servocom::Port&>()));
  // Arm homing's bus work, once its argument is checked.
  Result<std::array<double, 4>> rewrite_arm_offsets(servocom::Port& port, double verify_tol);
  // The servos among `ids` that do not answer a ping, in the order given.
  std::vector<std::uint8_t> silent_servos(std::span<const std::uint8_t> ids);

  servocom::FeetechProtocolHandler feetech_handler_;
  std::optional<SerialLink> serial_;
  Sleep sleep_;
  Clock clock_;
};

template <class Op>
auto ServoController::on_servos(Use use, Op&& op) -> decltype(op(std::declval<servocom::Port&>())) {
  if (!serial_) return std::unexpected(ControllerError::text(std::string(kNeckOnlyError)));
  const bool reading = use == Use::Reading;
  auto port = serial_->acquire(clock_());
  if (!port) {
    serial_->settle(false, reading, clock_());
    return std::unexpected(port.error());
  }
  auto result = op(**port);
  serial_->settle(result.has_value(), reading, clock_());
  if (!result) {
    // The operation that found the device gone says so, as the next ones do.
    if (!serial_->connected()) return std::unexpected(serial_->disconnection());
    result.error().bus = ControllerError::Bus::Servos;
  }
  return result;
}

}  // namespace velmora::controller
