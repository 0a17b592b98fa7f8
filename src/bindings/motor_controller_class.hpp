#pragma once
// The Python class VelmoraMotorController: the synchronous controller behind
// a lock that is poisoned for good when a fault escapes an operation.

#include "bindings/core/python.hpp"

namespace velmora::py {

// Creates the type once per process and adds it to `module`. Returns 0, or -1
// with a Python exception set.
int add_motor_controller_class(PyObject* module);

}  // namespace velmora::py
