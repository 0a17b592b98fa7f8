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
#include "bindings/hardware_facts.hpp"
#include "bindings/joint_command_args.hpp"
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

PyRef read_all_positions(PyObject* self) {
  const auto positions = value_or_raise(locked(self, [](auto& c) { return c.read_all_positions(); }));
  return py_float_list(positions);
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

PyRef read_servo_state(PyObject* self, PyObject* args, PyObject* kwargs) {
  const auto id = bind_one("VelmoraMotorController.read_servo_state", "id", args, kwargs, to_u8);
  return py_servo_state(value_or_raise(locked(self, [&](auto& c) { return c.read_servo_state(id); })));
}

std::size_t neck_index(PyObject* obj, const char* param) {
  const std::size_t index = to_usize(obj, param);
  if (index >= control_loop::arg::kNeckJoints.size()) throw_value_error("neck index out of range: " + std::to_string(index));
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

// ---- joint commands (control_loop/joint_commands.def) ----

namespace arg = control_loop::arg;

// Neck goals are clamped to the joints' safety ranges with a warning, which
// reaches Python logging: before the lock is taken, so a log handler may use
// this controller. The controller's own clamp then changes nothing and warns
// no more.
template <class Arg>
void clamp_neck_goals(typename Arg::Value& goals) {
  if constexpr (std::is_same_v<Arg, arg::NeckGoals>) {
    for (std::size_t i = 0; i < goals.size(); ++i) goals[i] = VelmoraMotorController::clamp_neck_position(i, goals[i]);
  } else {
    goals = VelmoraMotorController::clamp_neck_position(Arg::index, goals);
  }
}

template <class Command>
PyRef run_joint_command(PyObject* self, Command command) {
  using Arg = typename Command::Argument;
  if constexpr (arg::NeckArg<Arg>) {
    refuse_if_unusable(self);
    clamp_neck_goals<Arg>(command.v);
  }
  auto result = locked(self, [&](auto& c) { return command.run(c); });
  if constexpr (Command::result == control_loop::Returns::Positions) {
    return py_float_list(value_or_raise(std::move(result)));
  } else if constexpr (Command::result == control_loop::Returns::Position) {
    return py_float(value_or_raise(std::move(result)));
  } else {
    return none_or_raise(std::move(result));
  }
}

template <class Command>
PyRef joint_command_with_argument(PyObject* self, PyObject* args, PyObject* kwargs) {
  return run_joint_command(self, Command{joint_argument<Owner::Controller, Command>(args, kwargs)});
}

template <class Command>
PyRef joint_command_alone(PyObject* self) {
  return run_joint_command(self, Command{});
}

template <class Command>
PyMethodDef joint_method() {
  const char* doc = method_doc<Owner::Controller, Command>();
  if constexpr (arg::is_none<typename Command::Argument>) {
    return method<joint_command_alone<Command>>(Command::python_name.data(), doc);
  } else {
    return method<joint_command_with_argument<Command>>(Command::python_name.data(), doc);
  }
}

// ---- the type ----

PyMethodDef g_methods[] = {
#define JOINT_COMMAND(Type, ...) joint_method<control_loop::cmd::Type>(),
#include "control_loop/joint_commands.def"
#undef JOINT_COMMAND
    method<is_torque_enabled>("is_torque_enabled", "is_torque_enabled($self)\n--\n\nIs torque enabled on all motors"),
    method<read_all_positions>("read_all_positions",
        "read_all_positions($self)\n--\n\nRead all motor positions as a 7-element array.\n"
        "Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]"),
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
    method<is_neck_torque_enabled>("is_neck_torque_enabled",
        "is_neck_torque_enabled($self)\n--\n\nLast commanded torque-enable state for the neck (in-memory; the\n"
        "Damiao firmware does not expose a readable enable register)."),
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
    method<read_servo_state>("read_servo_state",
        "read_servo_state($self, id)\n--\n\nRead servo `id`'s state in one read, no retry. Returns (model,\n"
        "supply_volts, temperature, position, offset, eeprom_locked, torque_enabled):\n"
        "degrees Celsius, rad and rad. Nothing is written."),
    joint_table_method(),
    minimum_servo_voltage_method(),
    neck_control_modes_method(),
    neck_control_mode_register_method(),
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
