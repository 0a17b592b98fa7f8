#include "bindings/core/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace velmora::py {
namespace {

PyObject* g_panic_type = nullptr;  // one per process, never released

[[noreturn]] void abort_at_boundary() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_panic(const char* message) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) abort_at_boundary();
  PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::char_traits<char>::length(message)),
                                        "replace");
  if (text == nullptr) abort_at_boundary();
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// Invalid UTF-8 in `text` is replaced rather than failing the raise.
[[noreturn]] void throw_error(PyObject* type, std::string_view text) {
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message != nullptr) {
    PyErr_SetObject(type, message);
    Py_DECREF(message);
  }
  throw ErrorAlreadySet{};
}

}  // namespace

void throw_runtime_error(std::string_view text) { throw_error(PyExc_RuntimeError, text); }

void throw_value_error(std::string_view text) { throw_error(PyExc_ValueError, text); }

bool signal_handler_raised() noexcept { return PyErr_CheckSignals() != 0; }

PyObject* panic_exception_type() noexcept {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "velmora_motor_controller.PanicException",
        "Raised when an internal invariant of the module is broken. Derives from\n"
        "BaseException so that ordinary `except Exception` handlers do not hide it.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

PyRef take_pending_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void restore_pending_exception(PyRef exception) noexcept {
  if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

bool handling_fault() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    return false;
  } catch (...) {
    return true;
  }
}

void translate_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const ErrorAlreadySet&) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
      }
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& fault) {
      raise_panic(fault.what());
    } catch (...) {
      raise_panic("unknown fault");
    }
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace velmora::py
