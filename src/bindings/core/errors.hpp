#pragma once
// Error translation at the Python boundary, done in one place: guarded().
//
// Every CPython entry point of the module (methods, tp_new, getters, ...) is
// noexcept and runs its body through guarded(); python_class.hpp makes the
// entry points of the classes around their plain bodies:
//
//   PyObject* entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
//     return py::guarded([&] {
//       ...                                   // may throw, see below
//       return py::py_none();                 // PyRef, or nothing (see below)
//     });
//   }
//
// What may leave the body:
// - ErrorAlreadySet (py_ref.hpp): a Python exception is already set
//   (converters, builders, throw_runtime_error). The entry point returns its
//   error value.
// - std::bad_alloc: becomes MemoryError.
// - anything else is a fault (a broken internal invariant) and becomes
//   PanicException carrying what() as its message. PanicException derives from
//   BaseException, exists once per process and is not a module attribute.

#include <exception>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "bindings/core/py_ref.hpp"
#include "bindings/core/python.hpp"

namespace velmora::py {

// Sets RuntimeError with `text` (the failure's display text) and throws ErrorAlreadySet.
[[noreturn]] void throw_runtime_error(std::string_view text);
// Sets ValueError with `text` and throws ErrorAlreadySet.
[[noreturn]] void throw_value_error(std::string_view text);

// Runs the Python handlers of signals that have arrived (only on the main
// thread; elsewhere it does nothing). True when a handler raised, Ctrl-C's
// KeyboardInterrupt for one: the exception is then pending, and the caller
// stops what it is doing and lets it propagate. Holding the interpreter lock.
bool signal_handler_raised() noexcept;

// The process's PanicException type (borrowed); created on first use.
// Null only if the interpreter could not create it (error set).
PyObject* panic_exception_type() noexcept;

// Takes the pending Python exception out of the thread's error state, as one
// normalised exception object (traceback attached); empty when none is pending.
PyRef take_pending_exception() noexcept;
// Makes `exception` (from take_pending_exception) pending again; empty is a no-op.
void restore_pending_exception(PyRef exception) noexcept;

// Sets the Python exception for the exception being handled. Call only from a
// catch block; never throws (aborts with "uncaught panic at ffi boundary" if
// even that fails).
void translate_current_exception() noexcept;

// True when the exception being handled is a fault rather than a Python error
// already set. Lets class code mark its state poisoned before rethrowing:
//   catch (...) { if (py::handling_fault()) poisoned = true; throw; }
bool handling_fault() noexcept;

template <class F>
auto guarded(F&& body) noexcept {
  using R = std::invoke_result_t<F&>;
  if constexpr (std::is_same_v<R, PyRef>) {
    try {
      return body().release();
    } catch (...) {
      translate_current_exception();
      return static_cast<PyObject*>(nullptr);
    }
  } else {
    static_assert(std::is_void_v<R>, "guarded bodies return PyRef or void");
    // For code with no error return (a destructor, an exit hook): the error
    // is reported as unraisable instead of being left pending.
    try {
      body();
    } catch (...) {
      translate_current_exception();
      PyErr_WriteUnraisable(nullptr);
    }
  }
}

}  // namespace velmora::py
