#pragma once
// What every class of the module is made of: instances holding one C++ value
// after the object header, plain C++ bodies turned into noexcept entry points
// that run them under guarded() (errors.hpp), method tables and slot arrays
// of those entry points, and a heap type made from its slot array once per
// process.
//
//   struct Thing { ... };                                // the instance's value
//   PyRef thing_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
//     ...                                                // may throw
//     return new_instance<Thing>(type, ...);
//   }
//   PyRef thing_close(PyObject* self) { ...; return py_none(); }
//
//   PyMethodDef g_methods[] = {
//       method<thing_close>("close", "close($self)\n--\n\nClose it."),
//       kEndOfMethods,
//   };
//   PyType_Slot g_slots[] = {
//       new_slot<thing_new>(), slot(Py_tp_dealloc, dealloc_instance<Thing>),
//       slot(Py_tp_methods, g_methods), kEndOfSlots,
//   };
//   HeapType g_type = heap_type<Thing>("builtins.Thing", g_slots);
//   ... g_type.add_to(module);

#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "bindings/core/errors.hpp"
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

// ---- entry points around plain bodies ----

using KeywordBody = PyRef (*)(PyObject* self, PyObject* args, PyObject* kwargs);
using SelfBody = PyRef (*)(PyObject* self);
using NewBody = PyRef (*)(PyTypeObject* type, PyObject* args, PyObject* kwargs);

namespace detail {
template <KeywordBody Body>
PyObject* keyword_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return Body(self, args, kwargs); });
}
template <SelfBody Body>
PyObject* no_args_entry(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return Body(self); });
}
template <SelfBody Body>
PyObject* self_entry(PyObject* self) noexcept {
  return guarded([&] { return Body(self); });
}
template <SelfBody Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
  return guarded([&] { return Body(self); });
}
template <NewBody Body>
PyObject* new_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return Body(type, args, kwargs); });
}
}  // namespace detail

// A method table entry; the body's parameters pick the calling convention.
// `doc` starts with the text signature ("name($self, a, b)\n--\n\n"), which is
// what inspect.signature and the stub checker read.
template <KeywordBody Body>
PyMethodDef method(const char* name, const char* doc) noexcept {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detail::keyword_entry<Body>)),
          METH_VARARGS | METH_KEYWORDS, doc};
}
template <SelfBody Body>
PyMethodDef method(const char* name, const char* doc) noexcept {
  return {name, detail::no_args_entry<Body>, METH_NOARGS, doc};
}
inline constexpr PyMethodDef kEndOfMethods{nullptr, nullptr, 0, nullptr};

// A read-only attribute.
template <SelfBody Body>
PyGetSetDef getter(const char* name, const char* doc = nullptr) noexcept {
  return {name, detail::getter_entry<Body>, nullptr, doc, nullptr};
}
inline constexpr PyGetSetDef kEndOfGetters{nullptr, nullptr, nullptr, nullptr, nullptr};

// ---- slot arrays ----

template <class Pointer>
PyType_Slot slot(int id, Pointer* pointer) noexcept {
  return {id, reinterpret_cast<void*>(pointer)};
}
inline PyType_Slot slot(int id, const char* text) noexcept { return {id, const_cast<char*>(text)}; }
template <NewBody Body>
PyType_Slot new_slot() noexcept {
  return slot(Py_tp_new, detail::new_entry<Body>);
}
template <SelfBody Body>
PyType_Slot repr_slot() noexcept {
  return slot(Py_tp_repr, detail::self_entry<Body>);
}
inline constexpr PyType_Slot kEndOfSlots{0, nullptr};

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

// `qualified_name` is "builtins.ClassName": Python takes the part before the
// dot for the class's __module__.
template <class T>
HeapType heap_type(const char* qualified_name, PyType_Slot* slots, unsigned flags = Py_TPFLAGS_DEFAULT) noexcept {
  return HeapType(qualified_name, static_cast<int>(sizeof(Instance<T>)), flags, slots);
}

}  // namespace velmora::py
