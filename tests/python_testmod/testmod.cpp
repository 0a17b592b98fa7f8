// velmora_testmod: every converter, the fault translation and the log bridge,
// callable from pytest. It links its own copy of the binding core, so its log
// bridge and PanicException are separate from the real module's.

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bindings/core/args.hpp"
#include "bindings/core/errors.hpp"
#include "bindings/core/gil.hpp"
#include "bindings/core/python_class.hpp"
#include "bindings/core/log_bridge.hpp"
#include "bindings/core/py_ref.hpp"
#include "bindings/core/python.hpp"
#include "common/log.hpp"

namespace py = velmora::py;
namespace vlog = velmora::log;

namespace {

using py::PyRef;

#define VELMORA_CONVERTER(fn, param, body)                                           \
  PyRef fn(PyObject*, PyObject* args, PyObject* kwargs) {                            \
    return py::bind_one(#fn, param, args, kwargs, [](PyObject* obj, const char* p) body); \
  }

VELMORA_CONVERTER(f64, "value", { return py::py_float(py::to_f64(obj, p)); })
VELMORA_CONVERTER(u8, "value", { return py::py_uint(py::to_u8(obj, p)); })
VELMORA_CONVERTER(u16, "value", { return py::py_uint(py::to_u16(obj, p)); })
VELMORA_CONVERTER(u64, "value", { return py::py_uint(py::to_u64(obj, p)); })
VELMORA_CONVERTER(usize, "value", { return py::py_uint(py::to_usize(obj, p)); })
VELMORA_CONVERTER(boolean, "enable", { return py::py_bool(py::to_bool(obj, p)); })
VELMORA_CONVERTER(string, "can_bus", {
  const std::string text = py::to_str(obj, p);
  return py::py_str(text);
})
VELMORA_CONVERTER(byte_string, "data", {
  const std::vector<std::uint8_t> data = py::to_bytes(obj, p);
  return py::py_bytes(data);
})
VELMORA_CONVERTER(ids, "ids", {
  const std::vector<std::uint8_t> ids = py::to_u8_list(obj, p);
  return py::py_bytes(ids);
})
VELMORA_CONVERTER(position, "position", {
  const auto values = py::to_f64_array<3>(obj, p);
  return py::py_float_list(values);
})
VELMORA_CONVERTER(duration_us, "read_position_loop_period", {
  return py::py_int(py::to_duration(obj, p).count());
})
VELMORA_CONVERTER(optional_duration_us, "stats_pub_period", {
  auto value = py::convert_optional(obj, p, py::to_duration);
  return value ? py::py_int(value->count()) : py::py_none();
})

#undef VELMORA_CONVERTER

// probe(serialport, read_position_loop_period, can_bus="can0", allowed_retries=5):
// the binding rules with required, defaulted and optional parameters.
PyRef probe(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Signature<4> sig{
      "Probe.__new__", {"serialport", "read_position_loop_period", "can_bus", "allowed_retries"}, 2};
  auto [port_o, period_o, bus_o, retries_o] = py::bind(sig, args, kwargs);
  auto port = py::convert_optional(port_o, "serialport", py::to_str);
  auto period = py::to_duration(period_o, "read_position_loop_period");
  auto bus = py::convert_or(bus_o, "can_bus", py::to_str, std::string("can0"));
  auto retries = py::convert_or(retries_o, "allowed_retries", py::to_u64, std::uint64_t{5});
  return py::py_tuple(port ? py::py_str(*port) : py::py_none(), py::py_int(period.count()), py::py_str(bus),
                      py::py_uint(retries));
}

PyRef instance_of(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Signature<2> sig{"instance_of", {"positions", "cls"}, 2};
  auto [obj, cls] = py::bind(sig, args, kwargs);
  if (!PyType_Check(cls)) throw std::logic_error("cls must be a type");
  return PyRef::borrow(py::to_instance(obj, reinterpret_cast<PyTypeObject*>(cls), "positions"));
}

PyRef panic(PyObject*, PyObject* args, PyObject* kwargs) {
  throw std::logic_error(py::bind_one("panic", "message", args, kwargs, py::to_str));
}

PyRef out_of_memory(PyObject*) { throw std::bad_alloc(); }

PyRef runtime_error(PyObject*, PyObject* args, PyObject* kwargs) {
  py::throw_runtime_error(py::bind_one("runtime_error", "message", args, kwargs, py::to_str));
}

PyRef panic_type(PyObject*) { return PyRef::borrow(py::panic_exception_type()); }

vlog::Level to_level(PyObject* obj) {
  const std::uint8_t level = py::to_u8(obj, "level");
  if (level < 1 || level > 5) {
    PyErr_SetString(PyExc_ValueError, "level must be 1 (error) .. 5 (trace)");
    py::throw_error_already_set();
  }
  return static_cast<vlog::Level>(level);
}

// log(level, target, message): one record from the calling thread.
PyRef log(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Signature<3> sig{"log", {"level", "target", "message"}, 3};
  auto [level_o, target_o, message_o] = py::bind(sig, args, kwargs);
  const vlog::Level level = to_level(level_o);
  const std::string target = py::to_str(target_o, "target");
  const std::string message = py::to_str(message_o, "message");
  vlog::write(level, target, message);
  return py::py_none();
}

// log_with_pending_error(target, message): logs while a ValueError("pending")
// is already set, then returns with that error, as a method that logs on its
// way out of a failure does.
PyRef log_with_pending_error(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Signature<2> sig{"log_with_pending_error", {"target", "message"}, 2};
  auto [target_o, message_o] = py::bind(sig, args, kwargs);
  const std::string target = py::to_str(target_o, "target");
  const std::string message = py::to_str(message_o, "message");
  PyErr_SetString(PyExc_ValueError, "pending");
  vlog::write(vlog::Level::Warn, target, message);
  return PyRef{};
}

// log_from_thread(level, target, message, count=1): records from a native
// thread, joined with the interpreter lock released.
PyRef log_from_thread(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Signature<4> sig{"log_from_thread", {"level", "target", "message", "count"}, 3};
  auto [level_o, target_o, message_o, count_o] = py::bind(sig, args, kwargs);
  const vlog::Level level = to_level(level_o);
  const std::string target = py::to_str(target_o, "target");
  const std::string message = py::to_str(message_o, "message");
  const std::uint64_t count = py::convert_or(count_o, "count", py::to_u64, std::uint64_t{1});
  std::thread worker([&] {
    for (std::uint64_t i = 0; i < count; ++i) vlog::write(level, target, message);
  });
  {
    py::ReleaseGil unlocked;
    worker.join();
  }
  return py::py_none();
}

PyRef log_enabled(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Signature<2> sig{"log_enabled", {"level", "target"}, 2};
  auto [level_o, target_o] = py::bind(sig, args, kwargs);
  const vlog::Level level = to_level(level_o);
  return py::py_bool(vlog::enabled(level, py::to_str(target_o, "target")));
}

PyRef bridge_counters(PyObject*) {
  const py::LogBridgeCounters c = py::log_bridge_counters();
  PyRef dict = py::check(PyDict_New());
  auto put = [&](const char* key, std::uint64_t value) {
    if (PyDict_SetItemString(dict.get(), key, py::py_uint(value).get()) < 0) py::throw_error_already_set();
  };
  put("forwarded", c.forwarded);
  put("dropped_cached", c.dropped_cached);
  put("lock_taken", c.lock_taken);
  put("get_logger_calls", c.get_logger_calls);
  put("level_queries", c.level_queries);
  put("dropped_exiting", c.dropped_exiting);
  return dict;
}

// start_background_logger(target, message, interval_us=1000): a detached native
// thread that logs a warning every interval for the rest of the process,
// through interpreter exit and finalisation.
PyRef start_background_logger(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Signature<3> sig{"start_background_logger", {"target", "message", "interval_us"}, 2};
  auto [target_o, message_o, interval_o] = py::bind(sig, args, kwargs);
  const auto interval =
      std::chrono::microseconds(py::convert_or(interval_o, "interval_us", py::to_u64, std::uint64_t{1000}));
  std::thread([target = py::to_str(target_o, "target"), message = py::to_str(message_o, "message"), interval] {
    for (;;) {
      vlog::write(vlog::Level::Warn, target, message);
      std::this_thread::sleep_for(interval);
    }
  }).detach();
  return py::py_none();
}

// log_at_exit(target, message): an exit hook that logs from a native thread and
// joins it with the lock released, as a control loop closed at exit does.
PyRef log_at_exit(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr py::Signature<2> sig{"log_at_exit", {"target", "message"}, 2};
  auto [target_o, message_o] = py::bind(sig, args, kwargs);
  py::add_exit_hook([target = py::to_str(target_o, "target"), message = py::to_str(message_o, "message")] {
    std::thread worker([&] { vlog::write(vlog::Level::Warn, target, message); });
    py::ReleaseGil unlocked;
    worker.join();
  });
  return py::py_none();
}

PyRef bridge_stopped(PyObject*) { return py::py_bool(py::log_bridge_stopped()); }

PyMethodDef g_methods[] = {
    py::method<f64>("f64", nullptr),
    py::method<u8>("u8", nullptr),
    py::method<u16>("u16", nullptr),
    py::method<u64>("u64", nullptr),
    py::method<usize>("usize", nullptr),
    py::method<boolean>("boolean", nullptr),
    py::method<string>("string", nullptr),
    py::method<byte_string>("byte_string", nullptr),
    py::method<ids>("ids", nullptr),
    py::method<position>("position", nullptr),
    py::method<duration_us>("duration_us", nullptr),
    py::method<optional_duration_us>("optional_duration_us", nullptr),
    py::method<probe>("probe", nullptr),
    py::method<instance_of>("instance_of", nullptr),
    py::method<panic>("panic", nullptr),
    py::method<out_of_memory>("out_of_memory", nullptr),
    py::method<runtime_error>("runtime_error", nullptr),
    py::method<panic_type>("panic_type", nullptr),
    py::method<log>("log", nullptr),
    py::method<log_from_thread>("log_from_thread", nullptr),
    py::method<log_with_pending_error>("log_with_pending_error", nullptr),
    py::method<log_enabled>("log_enabled", nullptr),
    py::method<bridge_counters>("bridge_counters", nullptr),
    py::method<bridge_stopped>("bridge_stopped", nullptr),
    py::method<start_background_logger>("start_background_logger", nullptr),
    py::method<log_at_exit>("log_at_exit", nullptr),
    py::kEndOfMethods,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "velmora_testmod", "Test-only access to the binding core.", -1, g_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_velmora_testmod() {
  return py::guarded([] {
    PyRef module = py::check(PyModule_Create(&g_module_def));
    py::install_log_bridge();
    return module;
  });
}
