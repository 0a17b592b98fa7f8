#pragma once
// The Python class VelmoraPyControlLoop: a background loop thread reading all
// joints on a fixed period and executing queued commands.

#include "bindings/core/python.hpp"

namespace velmora::py {

// Creates the type (once per process), adds it to the module and arranges for
// live loops to be closed at interpreter exit. 0, or -1 with an exception set.
int add_control_loop_class(PyObject* module);

}  // namespace velmora::py
