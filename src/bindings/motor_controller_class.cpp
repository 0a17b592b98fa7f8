// VelmoraMotorController: every method converts its arguments, runs one
// controller operation under the controller lock (core/poisoning_lock.hpp),
// and converts the result after the lock is released. The only log records
// the operations reachable from here emit are neck clamp warnings, and those
// are produced before the lock is taken. The one Python code that can run
// under the controller lock is a signal handler run between homing cycles
// (Ctrl-C).
//
// close() ends the object's use of the hardware for good: it destroys the
// controller (closing both buses and releasing the serial port's lock) and
// every later method raises "controller is closed".

#include "bindings/motor_controller_class.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/core/args.hpp"
#include "bindings/core/errors.hpp"
#include "bindings/core/python_class.hpp"
#include "bindings/core/lifecycle.hpp"
#include "bindings/core/poisoning_lock.hpp"
#include "bindings/core/py_ref.hpp"
#include "bindings/records_classes.hpp"
#include "control_loop/torso_position.hpp"
#include "controller/controller.hpp"
#include "controller/narrow.hpp"

namespace velmora::py {
namespace {

using controller::VelmoraMotorController;

struct ControllerState {
  ControllerState(std::unique_ptr<VelmoraMotorController> opened, DeviceNames names) noexcept
      : controller(std::move(opened), {"Failed to lock motor controller", "controller is closed"}),
        devices(std::move(names)) {}

  PoisoningLock<VelmoraMotorController> controller;
  DeviceNames devices;  // for the repr
};

PoisoningLock<VelmoraMotorController>& controller_of(PyObject* self) {
  return value_of<ControllerState>(self).controller;
}

template <class Op>
auto locked(PyObject* self, Op&& op) {
  return controller_of(self).run(std::forward<Op>(op));
}

// A poisoned or closed object refuses before anything else happens, the neck
// setters' early clamp warnings included.
void refuse_if_unusable(PyObject* self) { controller_of(self).refuse_if_unusable(); }

// The operation's value, or RuntimeError with its display text. An operation
// stopped by a signal handler's exception lets that exception propagate.
template <class T>
T value_or_raise(controller::Result<T>&& result) {
  if (!result && result.error().interrupted) throw_error_already_set();
  if (!result) throw_runtime_error(result.error().message);
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

PyRef none_or_raise(controller::Result<void>&& result) {
  value_or_raise(std::move(result));
  return py_none();
}

// ---- construction and lifecycle ----

PyRef controller_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<2> sig{"VelmoraMotorController.__new__", {"serialport", "can_bus"}, 0};
  auto [serialport_o, can_bus_o] = bind(sig, args, kwargs);
  std::optional<std::string> serialport = convert_optional(serialport_o, "serialport", to_str);
  std::string can_bus = convert_or(can_bus_o, "can_bus", to_str, std::string("can0"));

  auto created = VelmoraMotorController::create(serialport, can_bus);
  if (!created) throw_runtime_error(created.error().message);
  return new_instance<ControllerState>(type, std::move(*created),
                                       DeviceNames{std::move(serialport), std::move(can_bus)});
}

// Closes both buses now, poisoned or not: the serial port's lock goes with its
// descriptor, so the same device can be opened again at once.
PyRef controller_close(PyObject* self) {
  controller_of(self).close();
  return py_none();
}

PyRef controller_enter(PyObject* self) {
  refuse_if_unusable(self);
  return PyRef::borrow(self);
}

PyRef controller_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  bind_exit_arguments("VelmoraMotorController.__exit__", args, kwargs);
  controller_of(self).close();
  return py_none();
}

PyRef controller_repr(PyObject* self) {
  const ControllerState& st = value_of<ControllerState>(self);
  return device_repr("VelmoraMotorController", st.devices, st.controller.is_open());
}

// ---- servo groups ----

PyRef is_torque_enabled(PyObject* self) {
  return py_bool(value_or_raise(locked(self, [](auto& c) { return c.is_torque_enabled(); })));
}

PyRef enable_torque(PyObject* self) {
  return none_or_raise(locked(self, [](auto& c) { return c.enable_torque(); }));
}

PyRef disable_torque(PyObject* self) {
  return none_or_raise(locked(self, [](auto& c) { return c.disable_torque(); }));
}

PyRef torque_on_ids(PyObject* self, PyObject* args, PyObject* kwargs, const char* name, bool enable) {
  const std::vector<std::uint8_t> ids = bind_one(name, "ids", args, kwargs, to_u8_list);
  return none_or_raise(locked(self, [&](auto& c) { return c.set_torque_on_ids(ids, enable); }));
}

PyRef enable_torque_on_ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  return torque_on_ids(self, args, kwargs, "VelmoraMotorController.enable_torque_on_ids", true);
}

PyRef disable_torque_on_ids(PyObject* self, PyObject* args, PyObject* kwargs) {
  return torque_on_ids(self, args, kwargs, "VelmoraMotorController.disable_torque_on_ids", false);
}

PyRef read_all_positions(PyObject* self) {
  const auto positions = value_or_raise(locked(self, [](auto& c) { return c.read_all_positions(); }));
  return py_float_list(positions);
}

constexpr std::span kServoJoints{controller::SERVO_JOINT_NAMES};
constexpr std::span kNeckJoints{controller::NECK_JOINT_NAMES};

// One goal for each of `joints`, handed to a controller setter.
template <std::size_t N, class Setter>
PyRef set_goals(PyObject* self, PyObject* args, PyObject* kwargs, const char* name, const char* param,
                std::span<const std::string_view, N> joints, Setter setter) {
  const std::array<double, N> goals = bind_one(name, param, args, kwargs, to_f64_array<N>);
  refuse_goals_not_a_number(name, joints, goals);
  return none_or_raise(locked(self, [&](auto& c) { return (c.*setter)(goals); }));
}

PyRef set_all_goal_positions(PyObject* self, PyObject* args, PyObject* kwargs) {
  return set_goals(self, args, kwargs, "VelmoraMotorController.set_all_goal_positions", "positions", kServoJoints,
                   &VelmoraMotorController::set_all_goal_positions);
}

PyRef set_left_arm_position(PyObject* self, PyObject* args, PyObject* kwargs) {
  return set_goals(self, args, kwargs, "VelmoraMotorController.set_left_arm_position", "position",
                   kServoJoints.subspan<0, 2>(), &VelmoraMotorController::set_left_arm_position);
}

PyRef set_right_arm_position(PyObject* self, PyObject* args, PyObject* kwargs) {
  return set_goals(self, args, kwargs, "VelmoraMotorController.set_right_arm_position", "position",
                   kServoJoints.subspan<2, 2>(), &VelmoraMotorController::set_right_arm_position);
}

PyRef set_arms_position(PyObject* self, PyObject* args, PyObject* kwargs) {
  return set_goals(self, args, kwargs, "VelmoraMotorController.set_arms_position", "position",
                   kServoJoints.subspan<0, 4>(), &VelmoraMotorController::set_arms_position);
}

PyRef set_nose_position(PyObject* self, PyObject* args, PyObject* kwargs) {
  return set_goals(self, args, kwargs, "VelmoraMotorController.set_nose_position", "position",
                   kServoJoints.subspan<4, 3>(), &VelmoraMotorController::set_nose_position);
}

PyRef enable_arms(PyObject* self, PyObject* args, PyObject* kwargs) {
  const bool enable = bind_one("VelmoraMotorController.enable_arms", "enable", args, kwargs, to_bool);
  return none_or_raise(locked(self, [&](auto& c) { return c.enable_arms(enable); }));
}

PyRef enable_nose(PyObject* self, PyObject* args, PyObject* kwargs) {
  const bool enable = bind_one("VelmoraMotorController.enable_nose", "enable", args, kwargs, to_bool);
  return none_or_raise(locked(self, [&](auto& c) { return c.enable_nose(enable); }));
}

PyRef set_arm_home(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<1> sig{"VelmoraMotorController.set_arm_home", {"verify_tol"}, 0};
  auto [tol_o] = bind(sig, args, kwargs);
  const double verify_tol = convert_or(tol_o, "verify_tol", to_f64, 0.05);
  const auto verified = value_or_raise(locked(self, [&](auto& c) { return c.set_arm_home(verify_tol); }));
  return py_float_list(verified);
}

PyRef write_raw_packet(PyObject* self, PyObject* args, PyObject* kwargs) {
  const std::vector<std::uint8_t> data =
      bind_one("VelmoraMotorController.write_raw_packet", "data", args, kwargs, to_bytes);
  // The reply bytes are collected by the controller and dropped here.
  value_or_raise(locked(self, [&](auto& c) { return c.write_raw_packet(data); }));
  return py_none();
}

// ---- neck ----

PyRef set_neck_position(PyObject* self, PyObject* args, PyObject* kwargs) {
  const char* name = "VelmoraMotorController.set_neck_position";
  std::array<double, 3> goals = bind_one(name, "position", args, kwargs, to_f64_array<3>);
  refuse_goals_not_a_number(name, kNeckJoints, goals);
  refuse_if_unusable(self);
  // Clamp warnings reach Python logging: emit them before taking the lock.
  // Clamping again inside the operation changes nothing and warns no more.
  for (std::size_t i = 0; i < goals.size(); ++i) goals[i] = VelmoraMotorController::clamp_neck_position(i, goals[i]);
  const auto reported = value_or_raise(locked(self, [&](auto& c) { return c.set_neck_position(goals); }));
  return py_float_list(reported);
}

// set_neck_yaw_position, set_neck_pitch_position, set_neck_roll_position.
template <std::size_t Index>
PyRef set_neck_joint_position(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kNames[] = {"VelmoraMotorController.set_neck_yaw_position",
                                           "VelmoraMotorController.set_neck_pitch_position",
                                           "VelmoraMotorController.set_neck_roll_position"};
  const double requested = bind_one(kNames[Index], "position", args, kwargs, to_f64);
  refuse_goals_not_a_number(kNames[Index], kNeckJoints.subspan<Index, 1>(), std::span(&requested, 1));
  refuse_if_unusable(self);
  const double goal = VelmoraMotorController::clamp_neck_position(Index, requested);
  return py_float(value_or_raise(locked(self, [&](auto& c) { return c.set_single_neck_joint(Index, goal); })));
}

PyRef neck_position_limits(PyObject* self) {
  const auto limits = locked(self, [](auto& c) { return c.neck_position_limits(); });
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(limits.size())));
  for (std::size_t i = 0; i < limits.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                    py_tuple(py_float(limits[i].first), py_float(limits[i].second)).release());
  }
  return list;
}

PyRef read_neck_positions(PyObject* self) {
  const auto positions = value_or_raise(locked(self, [](auto& c) { return c.read_neck_positions(); }));
  return py_float_list(positions);
}

PyRef read_torso_position(PyObject* self) {
  const auto reading = value_or_raise(locked(self, [](auto& c) { return c.read_torso_position(); }));
  return new_torso_position(control_loop::VelmoraTorsoPosition::from_readings(reading.servos, reading.neck));
}

PyRef set_neck_gains(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<3> sig{"VelmoraMotorController.set_neck_gains", {"index", "kp", "kd"}, 3};
  auto [index_o, kp_o, kd_o] = bind(sig, args, kwargs);
  const std::size_t index = to_usize(index_o, "index");
  const float kp = controller::to_single(to_f64(kp_o, "kp"));
  const float kd = controller::to_single(to_f64(kd_o, "kd"));
  return none_or_raise(locked(self, [&](auto& c) { return c.set_neck_gains(index, kp, kd); }));
}

PyRef neck_home(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<4> sig{"VelmoraMotorController.neck_home", {"speed", "tolerance", "kp", "kd"}, 0};
  auto [speed_o, tolerance_o, kp_o, kd_o] = bind(sig, args, kwargs);
  const double speed = convert_or(speed_o, "speed", to_f64, 0.4);
  const double tolerance = convert_or(tolerance_o, "tolerance", to_f64, 0.15);
  const std::optional<float> kp = convert_optional(kp_o, "kp", to_f64).transform(controller::to_single);
  const std::optional<float> kd = convert_optional(kd_o, "kd", to_f64).transform(controller::to_single);
  // Ctrl-C stops homing between cycles, the neck holding its last setpoint.
  const auto observed = value_or_raise(
      locked(self, [&](auto& c) { return c.neck_home(speed, tolerance, kp, kd, signal_handler_raised); }));
  return py_float_list(observed);
}

PyRef enable_neck(PyObject* self, PyObject* args, PyObject* kwargs) {
  const bool enable = bind_one("VelmoraMotorController.enable_neck", "enable", args, kwargs, to_bool);
  return none_or_raise(locked(self, [&](auto& c) { return c.enable_neck(enable); }));
}

PyRef is_neck_torque_enabled(PyObject* self) {
  return py_bool(locked(self, [](auto& c) { return c.is_neck_torque_enabled(); }));
}

// ---- read-only access for bring-up checks ----

PyRef read_raw_bytes(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<3> sig{"VelmoraMotorController.read_raw_bytes", {"id", "addr", "length"}, 3};
  auto [id_o, addr_o, length_o] = bind(sig, args, kwargs);
  const auto id = to_u8(id_o, "id");
  const auto addr = to_u8(addr_o, "addr");
  const auto length = to_u8(length_o, "length");
  return py_bytes(value_or_raise(locked(self, [&](auto& c) { return c.read_raw_bytes(id, addr, length); })));
}

std::size_t neck_index(PyObject* obj, const char* param) {
  const std::size_t index = to_usize(obj, param);
  if (index >= kNeckJoints.size()) throw_value_error("neck index out of range: " + std::to_string(index));
  return index;
}

PyRef read_neck_feedback(PyObject* self, PyObject* args, PyObject* kwargs) {
  const std::size_t index =
      bind_one("VelmoraMotorController.read_neck_feedback", "index", args, kwargs, neck_index);
  const auto fb = value_or_raise(locked(self, [&](auto& c) { return c.read_neck_feedback(index); }));
  return py_tuple(py_float(fb.position), py_float(fb.velocity), py_float(fb.torque), py_int(fb.status),
                  py_int(fb.temperature1), py_int(fb.temperature2));
}

PyRef read_neck_register(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<2> sig{"VelmoraMotorController.read_neck_register", {"index", "register"}, 2};
  auto [index_o, register_o] = bind(sig, args, kwargs);
  const std::size_t index = neck_index(index_o, "index");
  const auto register_id = to_u8(register_o, "register");
  const auto value = value_or_raise(locked(self, [&](auto& c) { return c.read_neck_register(index, register_id); }));
  if (value.kind == motorcom::damiao::RegisterKind::Float) return py_float(static_cast<double>(value.as_float()));
  return py_uint(value.as_uint32());
}

// ---- the type ----

PyMethodDef g_methods[] = {
    method<is_torque_enabled>("is_torque_enabled", "is_torque_enabled($self)\n--\n\nIs torque enabled on all motors"),
    method<enable_torque>("enable_torque", "enable_torque($self)\n--\n\nEnable torque on all motors."),
    method<enable_torque_on_ids>("enable_torque_on_ids",
        "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids"),
    method<disable_torque>("disable_torque", "disable_torque($self)\n--\n\nDisable torque on all motors."),
    method<disable_torque_on_ids>("disable_torque_on_ids",
        "disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids"),
    method<read_all_positions>("read_all_positions",
        "read_all_positions($self)\n--\n\nRead all motor positions as a 7-element array.\n"
        "Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]"),
    method<set_all_goal_positions>("set_all_goal_positions",
        "set_all_goal_positions($self, positions)\n--\n\nSet goal positions for all motors (7 values).\n\n"
        "# Arguments\n"
        "* `positions` - Array of 7 goal positions\n"
        "  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right)."),
    method<set_left_arm_position>("set_left_arm_position",
        "set_left_arm_position($self, position)\n--\n\nSet goal positions for the left arm (2 values: pitch, yaw)."),
    method<set_right_arm_position>("set_right_arm_position",
        "set_right_arm_position($self, position)\n--\n\n"
        "Set goal positions for the right arm (2 values: pitch, yaw)."),
    method<set_arms_position>("set_arms_position",
        "set_arms_position($self, position)\n--\n\n"
        "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw)."),
    method<set_nose_position>("set_nose_position",
        "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values)."),
    method<set_neck_position>("set_neck_position",
        "set_neck_position($self, position)\n--\n\n"
        "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
        "the observed positions reported by the motor replies."),
    method<set_neck_joint_position<0>>("set_neck_yaw_position", "set_neck_yaw_position($self, position)\n--\n\n"),
    method<set_neck_joint_position<1>>("set_neck_pitch_position", "set_neck_pitch_position($self, position)\n--\n\n"),
    method<set_neck_joint_position<2>>("set_neck_roll_position", "set_neck_roll_position($self, position)\n--\n\n"),
    method<neck_position_limits>("neck_position_limits",
        "neck_position_limits($self)\n--\n\nHard safety bounds (lower, upper) in rad for each neck joint.\n"
        "Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds\n"
        "before commanding the motor."),
    method<read_neck_positions>("read_neck_positions",
        "read_neck_positions($self)\n--\n\nRead the current neck positions (yaw, pitch, roll) via a Damiao\n"
        "feedback request."),
    method<read_torso_position>("read_torso_position",
        "read_torso_position($self)\n--\n\nRead all ten joints at once: the neck's feedback requests go out first,\n"
        "the servos are read while the motors answer, then the neck's replies are\n"
        "collected, so it takes about as long as read_all_positions alone.\n"
        "Raises with the text of read_all_positions or read_neck_positions for\n"
        "the first joint that failed."),
    method<set_neck_gains>("set_neck_gains",
        "set_neck_gains($self, index, kp, kd)\n--\n\n"
        "Override the MIT impedance gains (kp, kd) for a single neck joint.\n"
        "`index`: 0=yaw, 1=pitch, 2=roll."),
    method<neck_home>("neck_home",
        "neck_home($self, speed=0.4, tolerance=0.15, kp=None, kd=None)\n--\n\n"
        "Home the 3 neck joints to the nearest physical zero.\n"
        "\n"
        "Each joint's goal is snapped to the multiple of 2\u03c0 nearest to its current\n"
        "reported position. After a power cycle the Damiao multi-turn counter\n"
        "resets, so a naive move to 0 could spin the head a full turn; rounding\n"
        "keeps the travel within \u00b1\u03c0 and lands at a physically equivalent zero.\n"
        "\n"
        "Neck torque is enabled if it is not already, and is not disabled on exit\n"
        "(the caller owns the torque lifecycle). The joints ramp at `speed` rad/s\n"
        "on a 10 ms cycle; the observed positions are returned once every joint is\n"
        "within `tolerance` rad of its goal. Raises on time-out.\n"
        "\n"
        "`kp` / `kd` are optional overrides applied to all three joints for the\n"
        "duration of homing and left in place afterwards; `None` keeps the\n"
        "per-joint defaults of the controller."),
    method<enable_neck>("enable_neck",
        "enable_neck($self, enable)\n--\n\nEnable or disable the neck motors. On enable, also forces each motor\n"
        "into MIT control mode."),
    method<is_neck_torque_enabled>("is_neck_torque_enabled",
        "is_neck_torque_enabled($self)\n--\n\nLast commanded torque-enable state for the neck (in-memory; the\n"
        "Damiao firmware does not expose a readable enable register)."),
    method<enable_arms>("enable_arms", "enable_arms($self, enable)\n--\n\nEnable or disable the arm motors."),
    method<set_arm_home>("set_arm_home",
        "set_arm_home($self, verify_tol=0.05)\n--\n\n"
        "Make the current physical arm pose the new radian zero by rewriting each\n"
        "Feetech arm servo's Position Offset EEPROM register (0x1F); the new zero\n"
        "persists across power cycles.\n"
        "\n"
        "Disables arm torque, reads present position plus offset for every arm\n"
        "servo and computes a new offset equal to the absolute encoder position\n"
        "(present position + old offset), so later present-position reads of this\n"
        "pose give 0 rad and a goal position of 0 leaves the arm where it is. Then\n"
        "unlocks the EEPROM, writes the offsets, re-locks it and verifies by\n"
        "reading the present positions back. The arms are left torque-off on exit.\n"
        "\n"
        "Returns the observed post-write present positions (rad) of the four joints\n"
        "`[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises `RuntimeError`\n"
        "when verification fails (a joint not within `verify_tol` rad of 0) or any\n"
        "bus call fails."),
    method<enable_nose>("enable_nose", "enable_nose($self, enable)\n--\n\nEnable or disable the nose motors."),
    method<write_raw_packet>("write_raw_packet",
        "write_raw_packet($self, data)\n--\n\nWrite raw packet data to the serial port.\n\n"
        "# Arguments\n"
        "* `data` - Byte array of raw packet data to send."),
    method<controller_close>("close",
        "close($self)\n--\n\nClose the serial port and the CAN bus now and release the serial port's\n"
        "lock, so the same devices can be opened again at once. Calling it again\n"
        "does nothing; every other method raises afterwards."),
    method<controller_enter>("__enter__", "__enter__($self)\n--\n\nReturn the controller itself."),
    method<controller_exit>("__exit__",
        "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the controller, also when the block raised."),
    method<read_raw_bytes>("read_raw_bytes",
        "read_raw_bytes($self, id, addr, length)\n--\n\n"
        "Read `length` register bytes of servo `id` from address `addr`.\n"
        "One read instruction, no retry; nothing is written."),
    method<read_neck_feedback>("read_neck_feedback",
        "read_neck_feedback($self, index)\n--\n\nAsk one neck motor (0=yaw, 1=pitch, 2=roll) for its feedback.\n"
        "Returns (position, velocity, torque, status, mos_temperature,\n"
        "rotor_temperature): rad, rad/s, N m, the motor's status code (0 disabled,\n"
        "1 enabled, higher values are faults) and degrees Celsius. Commands nothing."),
    method<read_neck_register>("read_neck_register",
        "read_neck_register($self, index, register)\n--\n\n"
        "Read one parameter register of a neck motor (0=yaw, 1=pitch, 2=roll):\n"
        "an int or a float, as the register holds. Register 10 is the control\n"
        "mode (1 MIT, 2 position-velocity, 3 velocity, 4 force-position)."),
    kEndOfMethods,
};

PyType_Slot g_slots[] = {
    slot(Py_tp_doc, "VelmoraMotorController(serialport=None, can_bus=...)\n--\n\n"),
    new_slot<controller_new>(),
    slot(Py_tp_dealloc, dealloc_instance<ControllerState>),
    repr_slot<controller_repr>(),
    slot(Py_tp_methods, g_methods),
    kEndOfSlots,
};

HeapType g_type = heap_type<ControllerState>("builtins.VelmoraMotorController", g_slots);

}  // namespace

void add_motor_controller_class(PyObject* module) { g_type.add_to(module); }

}  // namespace velmora::py
