#pragma once
// The synchronous controller: owns the serial servo bus and the neck's CAN
// bus. Not thread-safe: its users call one operation at a time.

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
#include "controller/neck_turns.hpp"
#include "controller/serial_link.hpp"
#include "motorcom/can.hpp"
#include "motorcom/damiao/driver.hpp"
#include "servocom/error.hpp"
#include "servocom/feetech_handler.hpp"
#include "servocom/port.hpp"
#include "servocom/register_map.hpp"

namespace velmora::controller {

inline constexpr std::string_view kNeckOnlyError = "serial port not configured (neck-only controller)";

// One reading of all ten joints: the servos in bus order (ids 1 to 7), then
// the neck (yaw, pitch, roll, relative to each joint's turn).
struct TorsoReading {
  std::array<double, 7> servos{};
  std::array<double, 3> neck{};
};

inline constexpr std::array<std::uint8_t, 4> ARM_IDS{1, 2, 3, 4};
inline constexpr std::array<std::uint8_t, 2> LEFT_ARM_IDS{1, 2};
inline constexpr std::array<std::uint8_t, 2> RIGHT_ARM_IDS{3, 4};
inline constexpr std::array<std::uint8_t, 3> NOSE_IDS{5, 6, 7};
inline constexpr std::array<std::uint8_t, 7> SERVO_IDS{1, 2, 3, 4, 5, 6, 7};
// The neck motors' CAN ids (each answers on the same id), in joint order.
inline constexpr std::array<std::uint16_t, 3> NECK_CAN_IDS{1, 2, 3};
inline constexpr std::array<std::pair<double, double>, 3> NECK_POSITION_LIMITS{
    {{-0.5, 0.5}, {0.0, 0.45}, {-0.4, 0.4}}};

class VelmoraMotorController {
 public:
  using Sleep = std::function<void(std::chrono::microseconds)>;
  // The monotonic clock every time-out of the controller is measured on
  // (reboot, raw replies, the neck's CAN replies).
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

  bool has_serial_port() const { return serial_.has_value(); }
  // A device that went away is tried again at most this often (zero, the
  // default: by every call that needs it).
  void set_reconnect_interval(std::chrono::nanoseconds interval);
  // Every packet and frame on the two buses goes to tap too (null: nowhere).
  void set_bus_tap(BusTap* tap) {
    if (serial_) serial_->set_tap(tap);
    can_transport_->set_tap(tap);
  }
  // How often the serial port was opened again after its device went away.
  std::uint64_t serial_reconnections() const { return serial_ ? serial_->reconnections() : 0; }
  // The device a bus is on, for messages: "serial port /dev/ttyUSB0", "CAN interface can0".
  std::string device_name(ControllerError::Bus bus) const;
  // The same before there is a controller: for a bus that failed to open.
  static std::string device_name(ControllerError::Bus bus, std::string_view serial_path, std::string_view can_name);

  // Inventory.
  std::vector<std::uint8_t> check_missing_ids();
  std::vector<std::string> check_missing_neck_motors();
  static std::unordered_map<std::string, std::uint8_t> get_motor_name_id();
  Result<void> reboot(std::chrono::nanoseconds timeout, const StopRequested& stop = {});

  // Servo groups.
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
  // Single Feetech read / write of a servo's registers (no retry).
  Result<std::vector<std::uint8_t>> read_raw_bytes(std::uint8_t id, std::uint8_t address, std::uint8_t length);
  Result<void> write_raw_bytes(std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data);
  // One servo's registers from its model number to its temperature, decoded:
  // one read, no retry, nothing written.
  Result<servocom::ServoState> read_servo_state(std::uint8_t id);

  // Neck joints (index 0 yaw, 1 pitch, 2 roll). Positions and goals are
  // relative to the turn each joint rests on (neck_turns.hpp); a command to a
  // joint this controller has not heard from yet asks for its position first.
  // The goal limited to the joint's safety range, with a warning when it had
  // to move. A goal that is not a number comes back unchanged (callers refuse
  // it); an index past the neck comes back unchanged too. Touches no state.
  static double clamp_neck_position(std::size_t index, double position);
  // The same limit without the warning.
  static double limited_neck_goal(std::size_t index, double position);
  Result<void> set_neck_gains(std::size_t index, float kp, float kd);
  Result<std::array<double, 3>> command_neck_mit(const std::array<double, 3>& positions, std::string_view context);
  Result<std::array<double, 3>> set_neck_position(const std::array<double, 3>& positions);
  Result<double> set_single_neck_joint(std::size_t index, double position);
  Result<void> enable_neck(bool enable);
  Result<std::array<double, 3>> read_neck_positions();
  // The same reading in two halves: the three feedback requests go out
  // together, and their replies, taken in any order, are collected later, so
  // other work (the servo reads) runs while they come in. A reply that came
  // within its motor's time-out counts however late it is collected.
  struct NeckReading {
    motorcom::PendingReplies pending;
    std::array<std::size_t, 3> requests{};
  };
  NeckReading start_neck_reading();
  Result<std::array<double, 3>> finish_neck_reading(NeckReading& reading);
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
  Result<motorcom::damiao::MitFeedback> read_neck_feedback(std::size_t index);
  Result<motorcom::damiao::RegisterValue> read_neck_register(std::size_t index, std::uint8_t register_id);
  bool is_neck_torque_enabled() const { return neck_torque_enabled_; }
  static std::array<std::pair<double, double>, 3> neck_position_limits() { return NECK_POSITION_LIMITS; }

  // Homing.
  Result<std::array<double, 3>> neck_home(double speed, double tolerance, std::optional<float> kp,
                                          std::optional<float> kd, const StopRequested& stop = {});
  Result<std::array<double, 4>> set_arm_home(double verify_tol);

 private:
  std::array<motorcom::damiao::Damiao, 3> neck_motors_;
  servocom::FeetechProtocolHandler feetech_handler_;
  std::unique_ptr<CanLink> can_transport_;
  std::optional<SerialLink> serial_;
  std::array<motorcom::damiao::MitCommand, 3> neck_commands_;
  NeckTurns neck_turns_;
  // Joints whose motor last reported the end of its position range: where
  // they are is not known, and they are not commanded.
  std::array<bool, 3> neck_out_of_range_{};
  bool neck_torque_enabled_ = false;
  Sleep sleep_;
  Clock clock_;

  // What an operation on the servo bus is, for the link's count of failed readings.
  enum class Use : std::uint8_t { Reading, Other };
  // Runs op on the serial port: refused without one (neck-only), reopened
  // first when its device went away, and the outcome told to its link.
  template <class Op>
  auto on_servos(Use use, Op&& op) -> decltype(op(std::declval<servocom::Port&>()));
  // Before every operation on the neck: a CAN interface bound anew means
  // the motors may have been through anything, so every joint's turn and
  // range are taken again from its next report.
  void prepare_neck();
  // Arm homing's bus work, once its argument is checked.
  Result<std::array<double, 4>> rewrite_arm_offsets(servocom::Port& port, double verify_tol);
  // A driver failure lifted with its context; while the interface is lost,
  // the interface and why instead of the transport's bare text.
  ControllerError neck_failure(std::string_view context, const motorcom::damiao::Error& e) const;
  // The servos among `ids` that do not answer a ping, in the order given.
  std::vector<std::uint8_t> silent_servos(std::span<const std::uint8_t> ids);
  // The three positions as the motors' counters report them.
  Result<std::array<double, 3>> read_neck_counters();
  Result<std::array<double, 3>> finish_neck_counters(NeckReading& reading);
  // Every position a neck joint reports passes through here. One at the end
  // of the range the feedback can carry leaves the joint's position unknown
  // (the error says so) until a report within it; any other moves the
  // joint's turn when its counter has moved, with a warning. The position as
  // reported, on the motor's counter.
  Result<double> take_neck_report(std::size_t index, float position);
  // One MIT command with the position on the motor's own counter (the joint's
  // turn known); the reply's position on that counter too.
  Result<double> send_neck_counter(std::size_t index, double counter);
  // One MIT command with a goal relative to the joint's turn, learning the
  // turn first when it is unknown; the reply's position relative to the turn.
  Result<double> command_neck_joint(std::size_t index, double goal);
};

template <class Op>
auto VelmoraMotorController::on_servos(Use use, Op&& op) -> decltype(op(std::declval<servocom::Port&>())) {
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
