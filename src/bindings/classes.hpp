#pragma once
// Registration of the module's Python classes.

#include "bindings/core/python.hpp"

namespace velmora::py {

// Creates each class's type object (once per process) and adds it to `module`
// under its class name, in this order: VelmoraMotorController,
// VelmoraPyControlLoop, VelmoraTorsoPosition, ControlLoopStats. Returns 0, or
// -1 with a Python exception set at the first failure. Runs under guarded(),
// so it may also throw (see core/errors.hpp).
int add_classes(PyObject* module);

}  // namespace velmora::py
