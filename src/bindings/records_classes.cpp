#include "bindings/records_classes.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "bindings/core/args.hpp"
#include "bindings/core/errors.hpp"
#include "bindings/core/python_class.hpp"

namespace velmora::py {
namespace {

using control_loop::ControlLoopStats;
using control_loop::VelmoraTorsoPosition;

// Both records show their own repr and their lists as read-only attributes.
template <class Record>
PyRef record_repr(PyObject* self) {
  return py_str(value_of<Record>(self).repr());
}

template <class Record, auto Field>
PyRef float_list(PyObject* self) {
  return py_float_list(value_of<Record>(self).*Field);
}

// ---- VelmoraTorsoPosition ----

PyRef torso_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<4> sig{"VelmoraTorsoPosition.__new__", {"left_arm", "right_arm", "nose", "neck"}, 4};
  auto [left_o, right_o, nose_o, neck_o] = bind(sig, args, kwargs);
  auto left = to_f64_list(left_o, "left_arm");
  auto right = to_f64_list(right_o, "right_arm");
  auto nose = to_f64_list(nose_o, "nose");
  auto neck = to_f64_list(neck_o, "neck");
  if (left.size() != 2 || right.size() != 2 || nose.size() != 3 || neck.size() != 3) {
    // A wrong length is the caller's argument error, not a failure of the robot.
    throw_value_error("Each arm must have 2 positions, nose must have 3, neck must have 3.");
  }
  VelmoraTorsoPosition p;
  std::ranges::copy(left, p.left_arm.begin());
  std::ranges::copy(right, p.right_arm.begin());
  std::ranges::copy(nose, p.nose.begin());
  std::ranges::copy(neck, p.neck.begin());
  p.timestamp = control_loop::wall_clock_timestamp();
  return new_instance<VelmoraTorsoPosition>(type, p);
}

PyRef torso_timestamp(PyObject* self) { return py_float(value_of<VelmoraTorsoPosition>(self).timestamp); }

PyGetSetDef g_torso_getset[] = {
    getter<float_list<VelmoraTorsoPosition, &VelmoraTorsoPosition::left_arm>>("left_arm"),
    getter<float_list<VelmoraTorsoPosition, &VelmoraTorsoPosition::right_arm>>("right_arm"),
    getter<float_list<VelmoraTorsoPosition, &VelmoraTorsoPosition::nose>>("nose"),
    getter<float_list<VelmoraTorsoPosition, &VelmoraTorsoPosition::neck>>(
        "neck", "Neck joint positions in rad: [yaw, pitch, roll]."),
    getter<torso_timestamp>("timestamp"),
    kEndOfGetters,
};

PyType_Slot g_torso_slots[] = {
    slot(Py_tp_doc, "VelmoraTorsoPosition(left_arm, right_arm, nose, neck)\n--\n\n"),
    new_slot<torso_new>(),
    slot(Py_tp_dealloc, dealloc_instance<VelmoraTorsoPosition>),
    repr_slot<record_repr<VelmoraTorsoPosition>>(),
    slot(Py_tp_getset, g_torso_getset),
    kEndOfSlots,
};

HeapType g_torso_type = heap_type<VelmoraTorsoPosition>("builtins.VelmoraTorsoPosition", g_torso_slots);

// ---- ControlLoopStats ----

PyGetSetDef g_stats_getset[] = {
    getter<float_list<ControlLoopStats, &ControlLoopStats::period>>("period"),
    getter<float_list<ControlLoopStats, &ControlLoopStats::read_dt>>("read_dt"),
    getter<float_list<ControlLoopStats, &ControlLoopStats::write_dt>>("write_dt"),
    kEndOfGetters,
};

PyType_Slot g_stats_slots[] = {
    slot(Py_tp_dealloc, dealloc_instance<ControlLoopStats>),
    repr_slot<record_repr<ControlLoopStats>>(),
    slot(Py_tp_getset, g_stats_getset),
    kEndOfSlots,
};

// No constructor: instances only come from a running loop's statistics.
HeapType g_stats_type = heap_type<ControlLoopStats>("builtins.ControlLoopStats", g_stats_slots,
                                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION);

}  // namespace

PyTypeObject* torso_position_type() { return g_torso_type.get(); }

PyRef new_torso_position(const VelmoraTorsoPosition& value) {
  return new_instance<VelmoraTorsoPosition>(g_torso_type.get(), value);
}

const VelmoraTorsoPosition& torso_position_value(PyObject* obj) { return value_of<VelmoraTorsoPosition>(obj); }

PyRef new_control_loop_stats(ControlLoopStats value) {
  return new_instance<ControlLoopStats>(g_stats_type.get(), std::move(value));
}

void add_torso_position_class(PyObject* module) { g_torso_type.add_to(module); }

void add_control_loop_stats_class(PyObject* module) { g_stats_type.add_to(module); }

}  // namespace velmora::py
