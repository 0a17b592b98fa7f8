#pragma once
// The Python faces of the loop's two records: VelmoraTorsoPosition and
// ControlLoopStats.

#include "bindings/core/py_ref.hpp"
#include "bindings/core/python.hpp"
#include "control_loop/loop_stats.hpp"
#include "control_loop/torso_position.hpp"

namespace velmora::py {

// Add the class to `module`, making its type on first use.
void add_torso_position_class(PyObject* module);
void add_control_loop_stats_class(PyObject* module);

// The VelmoraTorsoPosition type (borrowed); created on first use.
PyTypeObject* torso_position_type();
// A new VelmoraTorsoPosition object holding a copy of `value`.
PyRef new_torso_position(const control_loop::VelmoraTorsoPosition& value);
// The value held by a VelmoraTorsoPosition object (checked by the caller).
const control_loop::VelmoraTorsoPosition& torso_position_value(PyObject* obj);
// A new ControlLoopStats object taking over `value`.
PyRef new_control_loop_stats(control_loop::ControlLoopStats value);

}  // namespace velmora::py
