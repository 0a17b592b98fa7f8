#pragma once
// What the torso is, for Python: its joints with the bus and id of each, what
// one read of a servo shows, and the supply the control loop waits for. The
// joint table and the supply are static methods of VelmoraMotorController, so
// a bring-up check has them before (or without) opening a bus.

#include "bindings/core/py_ref.hpp"
#include "bindings/core/python.hpp"
#include "servocom/register_map.hpp"

namespace velmora::py {

PyMethodDef joint_table_method() noexcept;
PyMethodDef minimum_servo_voltage_method() noexcept;
PyMethodDef neck_control_modes_method() noexcept;
PyMethodDef neck_control_mode_register_method() noexcept;

// (model, supply_volts, temperature, position, offset, eeprom_locked, torque_enabled)
PyRef py_servo_state(const servocom::ServoState& state);

}  // namespace velmora::py
