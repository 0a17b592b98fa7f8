#include "bindings/core/heap_type.hpp"

#include <cstring>

#include "bindings/core/errors.hpp"

namespace velmora::py {

PyTypeObject* HeapType::get() {
  if (type_ == nullptr) type_ = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec_)).release());
  return type_;
}

void HeapType::add_to(PyObject* module) {
  PyObject* type = reinterpret_cast<PyObject*>(get());
  const char* dot = std::strrchr(spec_.name, '.');
  if (PyModule_AddObjectRef(module, dot != nullptr ? dot + 1 : spec_.name, type) < 0) throw_error_already_set();
}

}  // namespace velmora::py
