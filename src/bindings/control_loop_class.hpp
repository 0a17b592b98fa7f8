#pragma once
// The Python class VelmoraPyControlLoop: a background loop thread reading all
// joints on a fixed period and executing queued commands.

#include "bindings/core/python.hpp"

namespace velmora::py {

// Adds the class to `module`, making its type on first use, and arranges for
// live loops to be closed at interpreter exit.
void add_control_loop_class(PyObject* module);

}  // namespace velmora::py
