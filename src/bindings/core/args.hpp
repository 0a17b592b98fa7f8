#pragma once
// Argument binding and conversion for every Python-visible method.
//
// Usage, in a method body (python_class.hpp runs it under guarded()):
//
//   // def neck_home($self, speed=0.4, tolerance=0.15, kp=None, kd=None)
//   PyRef neck_home(PyObject* self, PyObject* args, PyObject* kwargs) {
//     static constexpr py::Signature<4> sig{"VelmoraMotorController.neck_home",
//                                           {"speed", "tolerance", "kp", "kd"}, /*required=*/0};
//     auto [speed_o, tolerance_o, kp_o, kd_o] = py::bind(sig, args, kwargs);
//     double speed = py::convert_or(speed_o, "speed", py::to_f64, 0.4);
//     double tolerance = py::convert_or(tolerance_o, "tolerance", py::to_f64, 0.15);
//     std::optional<double> kp = py::convert_optional(kp_o, "kp", py::to_f64);
//     std::optional<double> kd = py::convert_optional(kd_o, "kd", py::to_f64);
//     ...
//     return py::py_float_list(observed);
//   }
//   // method table entry: method<neck_home>("neck_home", doc)
//   // constructors: tp_new(type, args, kwargs) binds with "ClassName.__new__".
//   // one required parameter: bind_one(name, param, args, kwargs, converter).
//   // no parameters: PyRef body(PyObject* self), nothing to bind.
//
// bind() reports missing, surplus, duplicated and unknown arguments with the
// interpreter's own TypeError wording. Converters take a borrowed object and
// the parameter name; on failure they set the Python exception and throw
// ErrorAlreadySet. A TypeError is re-raised as "argument '<name>': <message>";
// ValueError and OverflowError pass unchanged.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/core/errors.hpp"
#include "bindings/core/python.hpp"

namespace velmora::py {

template <std::size_t N>
struct Signature {
  const char* name;                   // "ClassName.method" as it appears in messages
  std::array<const char*, N> params;  // every parameter is positional-or-keyword
  std::size_t required;               // the first `required` params have no default
};

namespace detail {
inline constexpr std::size_t kMaxParams = 8;
// Returns false with TypeError set. `out` receives borrowed references, null
// for parameters not given.
bool bind_raw(const char* name, const char* const* params, std::size_t count, std::size_t required,
              PyObject* args, PyObject* kwargs, PyObject** out);
// Re-raises a pending TypeError with the argument prefix, then throws ErrorAlreadySet.
[[noreturn]] void fail_argument(const char* param);
}  // namespace detail

// Binds the call's arguments to the parameters; absent optional parameters are null.
template <std::size_t N>
std::array<PyObject*, N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  static_assert(N <= detail::kMaxParams, "raise kMaxParams");
  std::array<PyObject*, N> out{};
  if (!detail::bind_raw(sig.name, sig.params.data(), N, sig.required, args, kwargs, out.data())) {
    throw_error_already_set();
  }
  return out;
}

// The one parameter of a method that has exactly one, required, converted.
template <class Convert>
auto bind_one(const char* name, const char* param, PyObject* args, PyObject* kwargs, Convert convert) {
  const Signature<1> sig{name, {param}, 1};
  auto [obj] = bind(sig, args, kwargs);
  return convert(obj, param);
}

// ---- converters: T to_x(PyObject* obj, const char* param) ----

// Anything float() accepts without parsing text: float, int, __float__, __index__.
double to_f64(PyObject* obj, const char* param);
// Ints and objects with __index__; out of range (negative included) -> OverflowError.
std::uint8_t to_u8(PyObject* obj, const char* param);
std::uint16_t to_u16(PyObject* obj, const char* param);
std::uint64_t to_u64(PyObject* obj, const char* param);
// Ints and objects with __index__, negative ones too; beyond 64 bits -> OverflowError.
std::int64_t to_i64(PyObject* obj, const char* param);
std::size_t to_usize(PyObject* obj, const char* param);
// Only True and False (and numpy booleans); ints are refused.
bool to_bool(PyObject* obj, const char* param);
// Only str (UTF-8 out).
std::string to_str(PyObject* obj, const char* param);
// Only bytes and its subclasses (bytearray is refused).
std::vector<std::uint8_t> to_bytes(PyObject* obj, const char* param);
// Any sequence of ints in 0..255 except str.
std::vector<std::uint8_t> to_u8_list(PyObject* obj, const char* param);
// Any sequence except str, each element converted as by to_f64.
std::vector<double> to_f64_list(PyObject* obj, const char* param);
// Only datetime.timedelta, not negative, microsecond resolution. A timedelta
// beyond the range of std::chrono::microseconds (about 292,000 years) raises
// OverflowError. Callers adding it to a clock reading must still guard against
// overflow of their clock's representation.
std::chrono::microseconds to_duration(PyObject* obj, const char* param);

namespace detail {
void to_f64_span(PyObject* obj, const char* param, double* out, std::size_t count);
}
// Any sequence of exactly N elements, each converted as by to_f64. Wrong length
// -> ValueError "expected a sequence of length N (got M)".
template <std::size_t N>
std::array<double, N> to_f64_array(PyObject* obj, const char* param) {
  std::array<double, N> out{};
  detail::to_f64_span(obj, param, out.data(), N);
  return out;
}

// Joint goals, one per joint name: the first that is not a number raises
// ValueError "{method}({joint}): goal is not a number", `method` being the
// part of the qualified name ("ClassName.method") after the class.
void refuse_goals_not_a_number(std::string_view qualified, std::span<const std::string_view> joints,
                               std::span<const double> goals);

// Instance of `type` (or a subclass); returns `obj` itself (borrowed).
// Otherwise TypeError "'list' object cannot be converted to 'VelmoraTorsoPosition'".
PyObject* to_instance(PyObject* obj, PyTypeObject* type, const char* param);

// ---- optional and defaulted parameters ----

// Absent (null) or None -> empty; otherwise converted.
template <class Convert>
auto convert_optional(PyObject* obj, const char* param, Convert convert)
    -> std::optional<std::decay_t<decltype(convert(obj, param))>> {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return convert(obj, param);
}

// Absent (null) -> `fallback`; otherwise converted (None is converted, and refused
// unless the converter accepts it).
template <class Convert, class T>
auto convert_or(PyObject* obj, const char* param, Convert convert, T fallback)
    -> std::decay_t<decltype(convert(obj, param))> {
  if (obj == nullptr) return fallback;
  return convert(obj, param);
}

}  // namespace velmora::py
