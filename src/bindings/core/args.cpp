#include "bindings/core/args.hpp"

#include <datetime.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "bindings/core/py_ref.hpp"
#include "controller/goal_checks.hpp"

namespace velmora::py {
namespace detail {

bool bind_raw(const char* name, const char* const* params, std::size_t count, std::size_t required,
              PyObject* args, PyObject* kwargs, PyObject** out) {
  // The interpreter's own parser gives the usual wording for missing, surplus,
  // duplicated and unknown arguments; every item is a plain object ("O") and
  // the conversion is ours.
  std::string format(required, 'O');
  if (count > required) {
    format += '|';
    format.append(count - required, 'O');
  }
  format += ':';
  format += name;

  std::array<char*, kMaxParams + 1> keywords{};
  for (std::size_t i = 0; i < count; ++i) keywords[i] = const_cast<char*>(params[i]);

  std::array<PyObject*, kMaxParams> slots{};
  PyObject* empty_args = nullptr;
  if (args == nullptr) {
    empty_args = PyTuple_New(0);
    if (empty_args == nullptr) return false;
    args = empty_args;
  }
  const int ok = PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &slots[0], &slots[1],
                                             &slots[2], &slots[3], &slots[4], &slots[5], &slots[6], &slots[7]);
  Py_XDECREF(empty_args);
  if (!ok) return false;
  for (std::size_t i = 0; i < count; ++i) out[i] = slots[i];
  return true;
}

void fail_argument(const char* param) {
  // Only the exact TypeError gets the prefix; subclasses, ValueError and
  // OverflowError pass unchanged.
  if (param != nullptr && PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_TypeError) != 0) {
    PyRef error = take_pending_exception();
    if (error && Py_TYPE(error.get()) == reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
      PyRef text = PyRef::steal(PyObject_Str(error.get()));
      if (text) {
        PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
        throw_error_already_set();
      }
      PyErr_Clear();
    }
    restore_pending_exception(std::move(error));
  }
  throw_error_already_set();
}

}  // namespace detail

namespace {

using detail::fail_argument;

// Sets TypeError "'<type>' object cannot be converted to '<target>'".
void set_cannot_convert(PyObject* obj, const char* target) {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

std::optional<double> raw_f64(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred() != nullptr) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> raw_unsigned(PyObject* obj, std::uint64_t max) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) return std::nullopt;
  if (max == std::numeric_limits<std::uint64_t>::max()) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return std::nullopt;
    return static_cast<std::uint64_t>(value);
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred() != nullptr) return std::nullopt;
  if (overflow != 0 || value < 0 || static_cast<unsigned long long>(value) > max) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

bool is_numpy_bool(PyObject* obj) {
  // Recognised by name so numpy is never imported on our account.
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// Checks the sequence protocol and returns the length, or -1 with an error set.
Py_ssize_t sequence_length(PyObject* obj) {
  if (PySequence_Check(obj) == 0) {
    set_cannot_convert(obj, "Sequence");
    return -1;
  }
  return PySequence_Size(obj);
}

// Any sequence except str (a str is refused as a whole, not read as a list of
// characters), each item converted by `raw`, which returns nothing with an
// error set when it cannot.
template <class T, class Raw>
std::vector<T> to_list(PyObject* obj, const char* param, Raw raw) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    fail_argument(param);
  }
  const Py_ssize_t length = sequence_length(obj);
  if (length < 0) fail_argument(param);
  std::vector<T> values;
  values.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, i));
    if (!item) fail_argument(param);
    auto value = raw(item.get());
    if (!value) fail_argument(param);
    values.push_back(static_cast<T>(*value));
  }
  return values;
}

bool ensure_datetime_api() {
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
  }
  return PyDateTimeAPI != nullptr;
}

}  // namespace

double to_f64(PyObject* obj, const char* param) {
  if (auto value = raw_f64(obj)) return *value;
  fail_argument(param);
}

std::uint8_t to_u8(PyObject* obj, const char* param) {
  if (auto value = raw_unsigned(obj, std::numeric_limits<std::uint8_t>::max())) {
    return static_cast<std::uint8_t>(*value);
  }
  fail_argument(param);
}

std::uint16_t to_u16(PyObject* obj, const char* param) {
  if (auto value = raw_unsigned(obj, std::numeric_limits<std::uint16_t>::max())) {
    return static_cast<std::uint16_t>(*value);
  }
  fail_argument(param);
}

std::uint64_t to_u64(PyObject* obj, const char* param) {
  if (auto value = raw_unsigned(obj, std::numeric_limits<std::uint64_t>::max())) return *value;
  fail_argument(param);
}

std::int64_t to_i64(PyObject* obj, const char* param) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) fail_argument(param);
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred() != nullptr) fail_argument(param);
  return static_cast<std::int64_t>(value);
}

std::size_t to_usize(PyObject* obj, const char* param) {
  static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
  return static_cast<std::size_t>(to_u64(obj, param));
}

bool to_bool(PyObject* obj, const char* param) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth >= 0) return truth != 0;
  } else {
    set_cannot_convert(obj, "PyBool");
  }
  fail_argument(param);
}

std::string to_str(PyObject* obj, const char* param) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  } else {
    set_cannot_convert(obj, "PyString");
  }
  fail_argument(param);
}

std::vector<std::uint8_t> to_bytes(PyObject* obj, const char* param) {
  if (!PyBytes_Check(obj)) {
    set_cannot_convert(obj, "PyBytes");
    fail_argument(param);
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
  return std::vector<std::uint8_t>(data, data + PyBytes_GET_SIZE(obj));
}

std::vector<std::uint8_t> to_u8_list(PyObject* obj, const char* param) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint8_t>::max();
  return to_list<std::uint8_t>(obj, param, [](PyObject* item) { return raw_unsigned(item, kMax); });
}

std::vector<double> to_f64_list(PyObject* obj, const char* param) { return to_list<double>(obj, param, raw_f64); }

void detail::to_f64_span(PyObject* obj, const char* param, double* out, std::size_t count) {
  const Py_ssize_t length = sequence_length(obj);
  if (length < 0) fail_argument(param);
  if (static_cast<std::size_t>(length) != count) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length %zu (got %zd)", count, length);
    fail_argument(param);
  }
  for (std::size_t i = 0; i < count; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(obj, static_cast<Py_ssize_t>(i)));
    if (!item) fail_argument(param);
    auto value = raw_f64(item.get());
    if (!value) fail_argument(param);
    out[i] = *value;
  }
}

std::chrono::microseconds to_duration(PyObject* obj, const char* param) {
  if (!ensure_datetime_api()) fail_argument(param);
  if (!PyDelta_Check(obj)) {
    set_cannot_convert(obj, "PyDelta");
    fail_argument(param);
  }
  // timedelta keeps seconds in 0..86399 and microseconds in 0..999999, so the
  // sign lives in the days alone.
  const auto* delta = reinterpret_cast<const PyDateTime_Delta*>(obj);
  const long long days = delta->days;
  const long long seconds = delta->seconds;
  const long long micros = delta->microseconds;
  if (days < 0) {
    PyErr_SetString(PyExc_ValueError, "negative timedelta cannot be converted to a duration");
    fail_argument(param);
  }
  constexpr long long kMicrosPerDay = 86'400'000'000LL;
  constexpr long long kMaxDays = (std::numeric_limits<long long>::max() - kMicrosPerDay) / kMicrosPerDay;
  if (days > kMaxDays) {
    PyErr_SetString(PyExc_OverflowError, "timedelta too large to convert to a duration");
    fail_argument(param);
  }
  return std::chrono::microseconds(days * kMicrosPerDay + seconds * 1'000'000LL + micros);
}

void refuse_goals_not_a_number(std::string_view qualified, std::span<const std::string_view> joints,
                               std::span<const double> goals) {
  const std::string_view method = qualified.substr(qualified.find('.') + 1);
  if (auto why = controller::goal_not_a_number(method, joints, goals)) throw_value_error(*why);
}

PyObject* to_instance(PyObject* obj, PyTypeObject* type, const char* param) {
  if (PyObject_TypeCheck(obj, type)) return obj;
  PyRef expected = PyRef::steal(PyType_GetQualName(type));
  PyRef given = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (expected && given) {
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%U'", given.get(), expected.get());
  }
  fail_argument(param);
}

}  // namespace velmora::py
