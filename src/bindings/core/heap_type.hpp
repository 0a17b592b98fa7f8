#pragma once
// How every class of the module is made: a heap type built from its slot
// array once per process, instances that hold one C++ value after the object
// header, and method tables whose calling convention follows each function's
// own signature.
//
//   struct Thing { ... };                          // the instance's value
//   PyObject* thing_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
//     return guarded([&] { return new_instance<Thing>(type, ...); });
//   }
//   PyMethodDef g_methods[] = {
//       method("close", thing_close, "close($self)\n--\n\nClose it."),
//       kEndOfMethods,
//   };
//   PyType_Slot g_slots[] = {
//       slot(Py_tp_new, thing_new), slot(Py_tp_dealloc, dealloc_instance<Thing>),
//       slot(Py_tp_methods, g_methods), kEndOfSlots,
//   };
//   HeapType g_type = heap_type<Thing>("builtins.Thing", g_slots);
//   ... g_type.add_to(module);

#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "bindings/core/py_ref.hpp"
#include "bindings/core/python.hpp"

namespace velmora::py {

// ---- instances ----

template <class T>
struct Instance {
  PyObject_HEAD
  T value;
};

template <class T>
T& value_of(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self)->value;
}

// A new instance of `type` holding T(args...). The value is built after the
// allocation, where a throw would leave an object that dealloc_instance cannot
// tell from a whole one, so building it must not throw.
template <class T, class... Args>
PyRef new_instance(PyTypeObject* type, Args&&... args) {
  static_assert(std::is_nothrow_constructible_v<T, Args&&...>, "build the value first, then move it in");
  PyRef obj = check(type->tp_alloc(type, 0));
  std::construct_at(&value_of<T>(obj.get()), std::forward<Args>(args)...);
  return obj;
}

// tp_dealloc of an Instance<T>. T's destructor releases what the object holds;
// one that may wait for a native thread releases the interpreter lock itself.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&value_of<T>(self));
  type->tp_free(self);
  Py_DECREF(type);  // heap type instances own a reference to their type
}

// ---- slot arrays and method tables ----

template <class Function>
PyType_Slot slot(int id, Function* function) noexcept {
  return {id, reinterpret_cast<void*>(function)};
}
inline PyType_Slot slot(int id, const char* text) noexcept { return {id, const_cast<char*>(text)}; }
inline constexpr PyType_Slot kEndOfSlots{0, nullptr};

// Every method is a noexcept entry point running its body under guarded().
using NoArgsMethod = PyObject* (*)(PyObject* self, PyObject* unused) noexcept;
using KeywordMethod = PyObject* (*)(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;

// `doc` starts with the text signature ("name($self, a, b)\n--\n\n"), which
// is what inspect.signature and the stub checker read.
inline PyMethodDef method(const char* name, NoArgsMethod function, const char* doc) noexcept {
  return {name, function, METH_NOARGS, doc};
}
inline PyMethodDef method(const char* name, KeywordMethod function, const char* doc) noexcept {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_VARARGS | METH_KEYWORDS,
          doc};
}
inline constexpr PyMethodDef kEndOfMethods{nullptr, nullptr, 0, nullptr};

// ---- types ----

// A class made from its spec on first use, once per process, and never
// freed: the module object lives as long as the process, and so do its classes.
class HeapType {
 public:
  HeapType(const char* qualified_name, int basic_size, unsigned flags, PyType_Slot* slots) noexcept
      : spec_{qualified_name, basic_size, 0, flags, slots} {}
  HeapType(const HeapType&) = delete;
  HeapType& operator=(const HeapType&) = delete;

  // Borrowed; throws ErrorAlreadySet when the interpreter cannot make it.
  PyTypeObject* get() {
    if (type_ == nullptr) type_ = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec_)).release());
    return type_;
  }

  // Adds the class to `module` under its name (the part after the last dot).
  void add_to(PyObject* module) {
    PyObject* type = reinterpret_cast<PyObject*>(get());
    const char* dot = std::strrchr(spec_.name, '.');
    if (PyModule_AddObjectRef(module, dot != nullptr ? dot + 1 : spec_.name, type) < 0) throw_error_already_set();
  }

 private:
  PyType_Spec spec_;
  PyTypeObject* type_ = nullptr;
};

// `qualified_name` is "builtins.ClassName": the classes name no module of
// their own, so Python shows them as builtins.
template <class T>
HeapType heap_type(const char* qualified_name, PyType_Slot* slots, unsigned flags = Py_TPFLAGS_DEFAULT) noexcept {
  return HeapType(qualified_name, static_cast<int>(sizeof(Instance<T>)), flags, slots);
}

}  // namespace velmora::py
