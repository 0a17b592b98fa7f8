#pragma once
// Owning Python references and builders for method results.
//
// Every function here needs the interpreter lock. Builders throw
// ErrorAlreadySet when the interpreter fails, so a method body run under
// guarded() (errors.hpp) can simply `return py_float_list(values);`.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "bindings/core/python.hpp"

namespace velmora::py {

// Thrown once a Python exception has been set; guarded() turns it into the
// entry point's error return. Not a std::exception, so `catch (const
// std::exception&)` in class code sees only real faults.
struct ErrorAlreadySet {};

[[noreturn]] void throw_error_already_set();

// Owns one strong reference (or none). Destroy it only with the interpreter lock held.
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  // Adds a reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  // Hands the reference to the caller (e.g. as a method's return value).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Takes over the new reference a C API call returned; a null result (error set)
// throws ErrorAlreadySet.
PyRef check(PyObject* new_ref);

PyRef py_none();
PyRef py_bool(bool value);
PyRef py_float(double value);
PyRef py_int(std::int64_t value);
PyRef py_uint(std::uint64_t value);
// Invalid UTF-8 is replaced rather than failing the call.
PyRef py_str(std::string_view text);
PyRef py_bytes(std::span<const std::uint8_t> data);
PyRef py_float_list(std::span<const double> values);

// A tuple of the given references (each one is consumed).
template <class... Items>
PyRef py_tuple(Items&&... items) {
  PyRef tuple = check(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(Items))));
  Py_ssize_t index = 0;
  ((PyTuple_SET_ITEM(tuple.get(), index++, PyRef(std::forward<Items>(items)).release())), ...);
  return tuple;
}

}  // namespace velmora::py
