#include "bindings/records_classes.hpp"

#include <algorithm>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "bindings/core/args.hpp"
#include "bindings/core/errors.hpp"

namespace velmora::py {
namespace {

using control_loop::ControlLoopStats;
using control_loop::VelmoraTorsoPosition;

// ---- shared helpers ----

template <class Object>
void destroy_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<Object*>(self)->value);
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Object, class T>
PyRef allocate(PyTypeObject* type, T&& value) {
  PyRef obj = check(type->tp_alloc(type, 0));
  std::construct_at(&reinterpret_cast<Object*>(obj.get())->value, std::forward<T>(value));
  return obj;
}

PyTypeObject* make_type(PyType_Spec& spec) {
  return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)).release());
}

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  Py_INCREF(type);
  if (PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

// A sequence of any length, each element converted as a float. A str is
// refused as a whole, like every variable-length list of the module.
std::vector<double> to_f64_list(PyObject* obj, const char* param) {
  if (PyUnicode_Check(obj) != 0) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    detail::fail_argument(param);
  }
  if (PySequence_Check(obj) == 0) {
    PyRef name = check(PyType_GetQualName(Py_TYPE(obj)));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", name.get());
    detail::fail_argument(param);
  }
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) detail::fail_argument(param);
  std::vector<double> values;
  values.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) detail::fail_argument(param);
    values.push_back(to_f64(item.get(), param));
  }
  return values;
}

// ---- VelmoraTorsoPosition ----

struct TorsoPositionObject {
  PyObject_HEAD
  VelmoraTorsoPosition value;
};

const VelmoraTorsoPosition& position_of(PyObject* self) {
  return reinterpret_cast<TorsoPositionObject*>(self)->value;
}

PyObject* torso_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<4> sig{"VelmoraTorsoPosition.__new__", {"left_arm", "right_arm", "nose", "neck"}, 4};
    auto [left_o, right_o, nose_o, neck_o] = bind(sig, args, kwargs);
    auto left = to_f64_list(left_o, "left_arm");
    auto right = to_f64_list(right_o, "right_arm");
    auto nose = to_f64_list(nose_o, "nose");
    auto neck = to_f64_list(neck_o, "neck");
    if (left.size() != 2 || right.size() != 2 || nose.size() != 3 || neck.size() != 3) {
      // A wrong length is the caller's argument error, not a failure of the robot.
      PyErr_SetString(PyExc_ValueError, "Each arm must have 2 positions, nose must have 3, neck must have 3.");
      throw_error_already_set();
    }
    VelmoraTorsoPosition p;
    std::copy(left.begin(), left.end(), p.left_arm.begin());
    std::copy(right.begin(), right.end(), p.right_arm.begin());
    std::copy(nose.begin(), nose.end(), p.nose.begin());
    std::copy(neck.begin(), neck.end(), p.neck.begin());
    p.timestamp = control_loop::wall_clock_timestamp();
    return allocate<TorsoPositionObject>(type, p);
  });
}

void torso_dealloc(PyObject* self) noexcept { destroy_instance<TorsoPositionObject>(self); }

PyObject* torso_repr(PyObject* self) noexcept {
  return guarded([&] { return py_str(position_of(self).repr()); });
}

template <auto Field>
PyObject* torso_list(PyObject* self, void*) noexcept {
  return guarded([&] { return py_float_list(position_of(self).*Field); });
}

PyObject* torso_timestamp(PyObject* self, void*) noexcept {
  return guarded([&] { return py_float(position_of(self).timestamp); });
}

PyGetSetDef g_torso_getset[] = {
    {"left_arm", torso_list<&VelmoraTorsoPosition::left_arm>, nullptr, nullptr, nullptr},
    {"right_arm", torso_list<&VelmoraTorsoPosition::right_arm>, nullptr, nullptr, nullptr},
    {"nose", torso_list<&VelmoraTorsoPosition::nose>, nullptr, nullptr, nullptr},
    {"neck", torso_list<&VelmoraTorsoPosition::neck>, nullptr, "Neck joint positions in rad: [yaw, pitch, roll].",
     nullptr},
    {"timestamp", torso_timestamp, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_torso_slots[] = {
    {Py_tp_doc, const_cast<char*>("VelmoraTorsoPosition(left_arm, right_arm, nose, neck)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(torso_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(torso_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(torso_repr)},
    {Py_tp_getset, g_torso_getset},
    {0, nullptr},
};

PyType_Spec g_torso_spec = {"builtins.VelmoraTorsoPosition", sizeof(TorsoPositionObject), 0, Py_TPFLAGS_DEFAULT,
                            g_torso_slots};

PyTypeObject* g_torso_type = nullptr;

// ---- ControlLoopStats ----

struct StatsObject {
  PyObject_HEAD
  ControlLoopStats value;
};

const ControlLoopStats& stats_of(PyObject* self) { return reinterpret_cast<StatsObject*>(self)->value; }

void stats_dealloc(PyObject* self) noexcept { destroy_instance<StatsObject>(self); }

PyObject* stats_repr(PyObject* self) noexcept {
  return guarded([&] { return py_str(stats_of(self).repr()); });
}

template <auto Field>
PyObject* stats_list(PyObject* self, void*) noexcept {
  return guarded([&] { return py_float_list(stats_of(self).*Field); });
}

PyGetSetDef g_stats_getset[] = {
    {"period", stats_list<&ControlLoopStats::period>, nullptr, nullptr, nullptr},
    {"read_dt", stats_list<&ControlLoopStats::read_dt>, nullptr, nullptr, nullptr},
    {"write_dt", stats_list<&ControlLoopStats::write_dt>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_stats_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stats_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(stats_repr)},
    {Py_tp_getset, g_stats_getset},
    {0, nullptr},
};

// No constructor: instances only come from a running loop's statistics.
PyType_Spec g_stats_spec = {"builtins.ControlLoopStats", sizeof(StatsObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_stats_slots};

PyTypeObject* g_stats_type = nullptr;

PyTypeObject* stats_type() {
  if (g_stats_type == nullptr) g_stats_type = make_type(g_stats_spec);
  return g_stats_type;
}

}  // namespace

PyTypeObject* torso_position_type() {
  if (g_torso_type == nullptr) g_torso_type = make_type(g_torso_spec);
  return g_torso_type;
}

PyRef new_torso_position(const VelmoraTorsoPosition& value) {
  return allocate<TorsoPositionObject>(torso_position_type(), value);
}

const VelmoraTorsoPosition& torso_position_value(PyObject* obj) { return position_of(obj); }

PyRef new_control_loop_stats(ControlLoopStats value) { return allocate<StatsObject>(stats_type(), std::move(value)); }

int add_torso_position_class(PyObject* module) {
  return add_type(module, "VelmoraTorsoPosition", torso_position_type());
}

int add_control_loop_stats_class(PyObject* module) {
  return add_type(module, "ControlLoopStats", stats_type());
}

}  // namespace velmora::py
