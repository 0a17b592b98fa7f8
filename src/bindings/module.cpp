// Entry point of the extension module: one module object per process, loaded
// only into the first interpreter that imports it.

#include <cstdint>

#include "bindings/control_loop_class.hpp"
#include "bindings/core/errors.hpp"
#include "bindings/core/log_bridge.hpp"
#include "bindings/core/py_ref.hpp"
#include "bindings/core/python.hpp"
#include "bindings/motor_controller_class.hpp"
#include "bindings/records_classes.hpp"

namespace {

using velmora::py::PyRef;

std::int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;  // kept for the life of the process

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora_motor_controller",
    "",       // empty docstring
    0,        // no per-module state: everything lives in the class instances
    nullptr,  // no module-level functions
    nullptr, nullptr, nullptr, nullptr,
};

void register_module(PyObject* module) {
  velmora::py::install_log_bridge();
  // The module's attributes, in this order.
  velmora::py::add_motor_controller_class(module);
  velmora::py::add_control_loop_class(module);
  velmora::py::add_torso_position_class(module);
  velmora::py::add_control_loop_stats_class(module);
}

PyRef create_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) velmora::py::throw_error_already_set();
  if (g_interpreter_id == -1) {
    g_interpreter_id = id;
  } else if (g_interpreter_id != id) {
    PyErr_SetString(PyExc_ImportError,
                    "velmora_motor_controller is loaded in another interpreter of this process; "
                    "sub-interpreters are not supported");
    velmora::py::throw_error_already_set();
  }
  if (g_module != nullptr) return PyRef::borrow(g_module);

  // Created up front so raising it later never needs to allocate a type.
  if (velmora::py::panic_exception_type() == nullptr) velmora::py::throw_error_already_set();
  PyRef module = velmora::py::check(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
  register_module(module.get());
  g_module = PyRef::borrow(module.get()).release();
  return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_velmora_motor_controller() {
  return velmora::py::guarded([] { return create_module(); });
}
