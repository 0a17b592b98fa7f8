#include "bindings/core/py_ref.hpp"

namespace velmora::py {

void throw_error_already_set() { throw ErrorAlreadySet{}; }

PyRef check(PyObject* new_ref) {
  if (new_ref == nullptr) throw_error_already_set();
  return PyRef::steal(new_ref);
}

PyRef py_none() { return PyRef::borrow(Py_None); }

PyRef py_bool(bool value) { return PyRef::borrow(value ? Py_True : Py_False); }

PyRef py_float(double value) { return check(PyFloat_FromDouble(value)); }

PyRef py_int(std::int64_t value) { return check(PyLong_FromLongLong(value)); }

PyRef py_uint(std::uint64_t value) { return check(PyLong_FromUnsignedLongLong(value)); }

PyRef py_str(std::string_view text) {
  return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyRef py_bytes(std::span<const std::uint8_t> data) {
  return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                         static_cast<Py_ssize_t>(data.size())));
}

PyRef py_float_list(std::span<const double> values) {
  PyRef list = check(PyList_New(static_cast<Py_ssize_t>(values.size())));
  Py_ssize_t index = 0;
  for (double value : values) {
    PyList_SET_ITEM(list.get(), index++, py_float(value).release());
  }
  return list;
}

}  // namespace velmora::py
