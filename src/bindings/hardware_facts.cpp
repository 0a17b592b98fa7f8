#include "bindings/hardware_facts.hpp"

#include <cstddef>
#include <cstdint>

#include "bindings/core/errors.hpp"
#include "bindings/core/python_class.hpp"
#include "control_loop/control_loop.hpp"
#include "controller/controller.hpp"
#include "controller/joint_names.hpp"
#include "motorcom/damiao/driver.hpp"

namespace velmora::py {
namespace {

using controller::NECK_CAN_IDS;
using controller::NECK_JOINT_NAMES;
using controller::SERVO_IDS;
using controller::SERVO_JOINT_NAMES;

static_assert(SERVO_IDS.size() == SERVO_JOINT_NAMES.size() && NECK_CAN_IDS.size() == NECK_JOINT_NAMES.size());

PyRef joint_table(PyObject* /*no instance*/) {
  PyRef list = check(PyList_New(0));
  auto add = [&](std::string_view name, std::string_view bus, unsigned id) {
    PyRef entry = py_tuple(py_str(name), py_str(bus), py_int(id));
    if (PyList_Append(list.get(), entry.get()) < 0) throw_error_already_set();
  };
  for (std::size_t i = 0; i < SERVO_IDS.size(); ++i) add(SERVO_JOINT_NAMES[i], "serial", SERVO_IDS[i]);
  for (std::size_t i = 0; i < NECK_CAN_IDS.size(); ++i) add(NECK_JOINT_NAMES[i], "can", NECK_CAN_IDS[i]);
  return list;
}

PyRef minimum_servo_voltage(PyObject* /*no instance*/) { return py_float(control_loop::kMinimumDecivolts / 10.0); }

PyRef neck_control_modes(PyObject* /*no instance*/) {
  PyRef modes = check(PyDict_New());
  for (std::size_t i = 0; i < motorcom::damiao::kControlModeNames.size(); ++i) {
    PyRef mode = py_int(static_cast<std::int64_t>(i + 1));
    PyRef name = py_str(motorcom::damiao::kControlModeNames[i]);
    if (PyDict_SetItem(modes.get(), mode.get(), name.get()) < 0) throw_error_already_set();
  }
  return modes;
}

PyRef neck_control_mode_register(PyObject* /*no instance*/) { return py_int(motorcom::damiao::kCtrlModeRegister); }

// A method of the class rather than of an instance.
PyMethodDef as_static(PyMethodDef def) noexcept {
  def.ml_flags |= METH_STATIC;
  return def;
}

}  // namespace

PyMethodDef joint_table_method() noexcept {
  return as_static(method<joint_table>("joint_table",
      "joint_table()\n--\n\nThe ten joints as (name, bus, id): the seven servos on the \"serial\" bus\n"
      "by servo id, then the neck's motors on the \"can\" bus by CAN id, in joint\n"
      "order (yaw, pitch, roll)."));
}

PyMethodDef minimum_servo_voltage_method() noexcept {
  return as_static(method<minimum_servo_voltage>("minimum_servo_voltage",
      "minimum_servo_voltage()\n--\n\nThe supply in volts every servo must see before the control loop starts."));
}

PyMethodDef neck_control_modes_method() noexcept {
  return as_static(method<neck_control_modes>("neck_control_modes",
      "neck_control_modes()\n--\n\nThe neck motors' control modes by number, as the control-mode register\n"
      "holds them; enable_neck(True) puts each motor in 1, MIT."));
}

PyMethodDef neck_control_mode_register_method() noexcept {
  return as_static(method<neck_control_mode_register>("neck_control_mode_register",
      "neck_control_mode_register()\n--\n\nThe neck motors' control-mode register, for read_neck_register."));
}

PyRef py_servo_state(const servocom::ServoState& state) {
  return py_tuple(py_int(state.model), py_float(state.supply_volts), py_int(state.temperature),
                  py_float(state.position), py_float(state.offset), py_bool(state.eeprom_locked),
                  py_bool(state.torque_enabled));
}

}  // namespace velmora::py
