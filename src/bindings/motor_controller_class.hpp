#pragma once
// The Python class VelmoraMotorController: the synchronous controller behind
// a lock that is poisoned for good when a fault escapes an operation.

#include "bindings/core/python.hpp"

namespace velmora::py {

// Adds the class to `module`, making its type on first use.
void add_motor_controller_class(PyObject* module);

}  // namespace velmora::py
