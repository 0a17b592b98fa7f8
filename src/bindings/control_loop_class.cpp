// VelmoraPyControlLoop: a background loop thread reading all joints on a
// fixed period and executing queued commands. Methods only queue commands and
// read the loop's shared cells; every wait for the loop (a full queue, a
// reply, the thread's end) is done without the interpreter lock, so the loop
// can forward its log records meanwhile.

#include "bindings/control_loop_class.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/core/args.hpp"
#include "bindings/core/errors.hpp"
#include "bindings/core/gil.hpp"
#include "bindings/core/python_class.hpp"
#include "bindings/core/lifecycle.hpp"
#include "bindings/core/log_bridge.hpp"
#include "bindings/core/py_ref.hpp"
#include "bindings/joint_command_args.hpp"
#include "bindings/records_classes.hpp"
#include "bindings/recording_bridge.hpp"
#include "control_loop/control_loop.hpp"
#include "control_loop/controller_hardware.hpp"
#include "controller/joint_names.hpp"
#include "servocom/register_map.hpp"

namespace velmora::py {
namespace {

namespace cl = control_loop;
namespace cmd = control_loop::cmd;
using cl::MotorCommand;
using cl::VelmoraControlLoop;

ClosedAtExit<VelmoraControlLoop> g_live_loops;

struct LoopState {
  LoopState(std::shared_ptr<VelmoraControlLoop> started, DeviceNames names) noexcept
      : loop(std::move(started)), devices(std::move(names)) {}
  LoopState(LoopState&&) noexcept = default;
  LoopState& operator=(LoopState&&) = delete;
  // Dropping the object closes the loop exactly like close().
  ~LoopState() {
    if (!loop) return;  // moved into the Python object
    guarded([&] {
      close_and_finish();
      loop.reset();
    });
  }

  // close(): the loop drains its queue (still recorded), then a recording
  // still running is finished.
  void close_and_finish() {
    close_unlocked(*loop);
    recording.end_at_close(*loop);
  }

  std::shared_ptr<VelmoraControlLoop> loop;  // also tracked by g_live_loops
  DeviceNames devices;                       // for the repr
  LoopRecording recording;
};

VelmoraControlLoop& loop_of(PyObject* self) { return *value_of<LoopState>(self).loop; }

// Queues a command; a full queue is waited on without the interpreter lock.
// False when the loop has stopped.
bool queue(VelmoraControlLoop& loop, MotorCommand command) {
  bool would_block = false;
  auto sent = loop.try_send(std::move(command), would_block);
  if (sent) return true;
  if (!would_block) return false;
  // Only the loop thread itself makes room: a log handler running on it
  // would wait for ever.
  if (loop.on_loop_thread())
    throw_runtime_error("command queue full (" + std::to_string(cl::kCommandQueueCapacity) +
                        " commands): a log handler on the loop thread cannot wait for room");
  MotorCommand back = std::move(sent.error());
  ReleaseGil unlocked;
  return loop.send(std::move(back)).has_value();
}

PyRef queue_or_raise(PyObject* self, MotorCommand command) {
  if (!queue(loop_of(self), std::move(command))) throw_runtime_error("channel closed");
  return py_none();
}

std::string communication_text() { return cl::MotorError::communication().message(); }

std::expected<cl::Bytes, cl::MotorError> read_raw_unlocked(PyObject* self, std::uint8_t id, std::uint8_t addr,
                                                           std::uint8_t length) {
  VelmoraControlLoop& loop = loop_of(self);
  ReleaseGil unlocked;
  return loop.async_read_raw_bytes(id, addr, length);
}

// ---- construction and lifecycle ----

// The loop keeps its durations in nanoseconds and adds them to clock
// readings, so a timedelta of centuries would wrap around. Anything beyond a
// century is held at a century: no wait of a running loop gets that far.
constexpr std::chrono::nanoseconds kLongestDuration = std::chrono::hours(24) * 365 * 100;

std::chrono::nanoseconds to_loop_duration(PyObject* obj, const char* param) {
  const std::chrono::microseconds given = to_duration(obj, param);
  if (given >= std::chrono::duration_cast<std::chrono::microseconds>(kLongestDuration)) return kLongestDuration;
  return given;
}

PyRef loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<6> sig{"VelmoraPyControlLoop.__new__",
                                    {"serialport", "read_position_loop_period", "can_bus", "allowed_retries",
                                     "stats_pub_period", "voltage_rampup_timeout"},
                                    2};
  auto [port_o, period_o, can_o, retries_o, stats_o, voltage_o] = bind(sig, args, kwargs);
  cl::LoopSettings s;
  s.serialport = convert_optional(port_o, "serialport", to_str);
  s.read_position_loop_period = to_loop_duration(period_o, "read_position_loop_period");
  s.can_bus = convert_or(can_o, "can_bus", to_str, std::string("can0"));
  s.allowed_retries = convert_or(retries_o, "allowed_retries", to_u64, std::uint64_t{5});
  s.stats_pub_period = convert_optional(stats_o, "stats_pub_period", to_loop_duration);
  s.voltage_rampup_timeout = convert_or(voltage_o, "voltage_rampup_timeout", to_loop_duration,
                                        std::chrono::nanoseconds(std::chrono::seconds(30)));
  if (auto why = cl::invalid_settings(s)) throw_value_error(*why);

  DeviceNames devices{s.serialport, s.can_bus};
  // Ctrl-C stops the voltage wait and the reboot between their polls.
  auto created = VelmoraControlLoop::create(std::move(s), cl::open_controller_hardware, signal_handler_raised);
  if (!created && created.error().is<cl::MotorError::Interrupted>()) throw_error_already_set();
  if (!created) throw_runtime_error(created.error().message());
  // Closes the loop again if the object cannot be made.
  LoopState state(std::move(*created), std::move(devices));
  PyRef self = new_instance<LoopState>(type, std::move(state));
  g_live_loops.track(value_of<LoopState>(self.get()).loop);
  return self;
}

PyRef loop_close(PyObject* self) {
  value_of<LoopState>(self).close_and_finish();
  return py_none();
}

// A closed loop stays usable as close() leaves it (its readers keep
// answering), so entering one is no error.
PyRef loop_enter(PyObject* self) { return PyRef::borrow(self); }

PyRef loop_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  bind_exit_arguments("VelmoraPyControlLoop.__exit__", args, kwargs);
  value_of<LoopState>(self).close_and_finish();
  return py_none();
}

PyRef loop_repr(PyObject* self) {
  const LoopState& st = value_of<LoopState>(self);
  return device_repr("VelmoraPyControlLoop", st.devices, st.loop->is_open());
}

// ---- readers ----

PyRef get_motor_name_id(PyObject* self) {
  std::vector<std::pair<std::string, std::uint8_t>> entries(loop_of(self).motor_name_id().begin(),
                                                            loop_of(self).motor_name_id().end());
  std::ranges::sort(entries, [](const auto& a, const auto& b) { return a.second < b.second; });
  PyRef dict = check(PyDict_New());
  for (const auto& [name, id] : entries) {
    PyRef value = py_int(id);
    if (PyDict_SetItemString(dict.get(), name.c_str(), value.get()) < 0) throw_error_already_set();
  }
  return dict;
}

PyRef get_last_position(PyObject* self) {
  auto position = loop_of(self).get_last_position();
  if (!position) throw_runtime_error(position.error().message());
  return new_torso_position(*position);
}

PyRef is_torque_enabled(PyObject* self) {
  auto torque = loop_of(self).is_torque_enabled();
  if (!torque) throw_runtime_error(torque.error().message());
  return py_bool(*torque);
}

PyRef get_stats(PyObject* self) {
  auto stats = loop_of(self).get_stats();
  if (!stats) return py_none();
  return new_control_loop_stats(std::move(*stats));
}

// ---- joint commands (control_loop/joint_commands.def) ----

template <class Command>
PyRef queue_joint_command_with_argument(PyObject* self, PyObject* args, PyObject* kwargs) {
  return queue_or_raise(self, Command{joint_argument<Owner::Loop, Command>(args, kwargs)});
}

template <class Command>
PyRef queue_joint_command_alone(PyObject* self) {
  return queue_or_raise(self, Command{});
}

template <class Command>
PyMethodDef joint_method() {
  const char* doc = method_doc<Owner::Loop, Command>();
  if constexpr (control_loop::arg::is_none<typename Command::Argument>) {
    return method<queue_joint_command_alone<Command>>(Command::python_name.data(), doc);
  } else {
    return method<queue_joint_command_with_argument<Command>>(Command::python_name.data(), doc);
  }
}

// ---- raw register access ----

PyRef async_read_raw_bytes(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<3> sig{"VelmoraPyControlLoop.async_read_raw_bytes", {"id", "addr", "length"}, 3};
  auto [id_o, addr_o, length_o] = bind(sig, args, kwargs);
  const auto id = to_u8(id_o, "id");
  const auto addr = to_u8(addr_o, "addr");
  const auto length = to_u8(length_o, "length");
  auto bytes = read_raw_unlocked(self, id, addr, length);
  if (!bytes) throw_runtime_error("Failed to read raw bytes: " + bytes.error().message());
  return py_bytes(*bytes);
}

PyRef async_write_raw_bytes(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<3> sig{"VelmoraPyControlLoop.async_write_raw_bytes", {"id", "addr", "data"}, 3};
  auto [id_o, addr_o, data_o] = bind(sig, args, kwargs);
  const auto id = to_u8(id_o, "id");
  const auto addr = to_u8(addr_o, "addr");
  auto data = to_u8_list(data_o, "data");
  if (!queue(loop_of(self), cmd::WriteRawBytes{id, addr, std::move(data)}))
    throw_runtime_error("Failed to write raw bytes: " + communication_text());
  return py_none();
}

PyRef async_read_pid_gains(PyObject* self, PyObject* args, PyObject* kwargs) {
  const auto id = bind_one("VelmoraPyControlLoop.async_read_pid_gains", "id", args, kwargs, to_u8);
  auto bytes = read_raw_unlocked(self, id, servocom::kPidGainsAddress, servocom::kPidGainsLength);
  if (!bytes) throw_runtime_error("Failed to read pid gains: " + bytes.error().message());
  auto gains = servocom::decode_pid_gains(*bytes);
  if (!gains) throw_runtime_error("Failed to read pid gains: " + communication_text());
  return py_tuple(py_int(gains->p), py_int(gains->i), py_int(gains->d));
}

PyRef async_write_pid_gains(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<4> sig{"VelmoraPyControlLoop.async_write_pid_gains", {"id", "p", "i", "d"}, 4};
  auto [id_o, p_o, i_o, d_o] = bind(sig, args, kwargs);
  const auto id = to_u8(id_o, "id");
  const auto p = to_u16(p_o, "p");
  const auto i = to_u16(i_o, "i");
  const auto d = to_u16(d_o, "d");
  // The registers hold one byte each: only a gain's low 8 bits reach the servo.
  const auto registers = servocom::encode_pid_gains(
      {.p = static_cast<std::uint8_t>(p), .i = static_cast<std::uint8_t>(i), .d = static_cast<std::uint8_t>(d)});
  cl::Bytes data(registers.begin(), registers.end());
  if (!queue(loop_of(self), cmd::WriteRawBytes{id, servocom::kPidGainsAddress, std::move(data)}))
    throw_runtime_error("Failed to write pid gains: " + communication_text());
  return py_none();
}

PyRef write_raw_packet(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto packet = bind_one("VelmoraPyControlLoop.write_raw_packet", "data", args, kwargs, to_bytes);
  // From a log handler on the loop thread the reply could never come.
  if (loop_of(self).on_loop_thread())
    throw_runtime_error("Failed to receive raw packet response: receiving on a closed channel");
  auto [tx, rx] = cl::make_reply_channel<cl::Bytes>();
  if (!queue(loop_of(self), cmd::WriteRawPacket{std::move(packet), std::move(tx)}))
    throw_runtime_error("channel closed");
  std::optional<cl::Bytes> reply;
  {
    ReleaseGil unlocked;
    reply = rx.recv();
  }
  if (!reply) throw_runtime_error("Failed to receive raw packet response: receiving on a closed channel");
  return py_bytes(*reply);
}

// ---- recording ----

PyRef start_recording(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<2> sig{"VelmoraPyControlLoop.start_recording", {"path", "bus_traffic"}, 1};
  auto [path_o, traffic_o] = bind(sig, args, kwargs);
  std::string path = to_str(path_o, "path");
  const bool bus_traffic = convert_or(traffic_o, "bus_traffic", to_bool, false);
  LoopState& st = value_of<LoopState>(self);
  st.recording.start(*st.loop, std::move(path), bus_traffic);
  return py_none();
}

PyRef stop_recording(PyObject* self) {
  LoopState& st = value_of<LoopState>(self);
  return st.recording.stop(*st.loop);
}

// ---- scheduling ----

// Applied to the thread's handle, not queued: the loop need not take part, and
// nothing here waits for it. The call may wait for a close() joining the
// thread, so the interpreter lock is let go meanwhile.
PyRef set_realtime(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature<2> sig{"VelmoraPyControlLoop.set_realtime", {"priority", "cpu"}, 1};
  auto [priority_o, cpu_o] = bind(sig, args, kwargs);
  // Beyond an int is beyond any system's range: held at the int's bounds, it is refused as such.
  auto to_int = [](PyObject* obj, const char* param) {
    return static_cast<int>(std::clamp<std::int64_t>(to_i64(obj, param), std::numeric_limits<int>::min(),
                                                      std::numeric_limits<int>::max()));
  };
  const int priority = to_int(priority_o, "priority");
  const std::optional<int> cpu = convert_optional(cpu_o, "cpu", to_int);
  VelmoraControlLoop& loop = loop_of(self);
  std::expected<void, cl::RealtimeError> applied;
  {
    ReleaseGil unlocked;
    applied = loop.set_realtime(priority, cpu);
  }
  if (!applied && applied.error().kind == cl::RealtimeError::Kind::OutOfRange)
    throw_value_error(applied.error().message);
  if (!applied) throw_runtime_error(applied.error().message);
  return py_none();
}

// ---- the type ----

PyMethodDef g_methods[] = {
#define JOINT_COMMAND(Type, ...) joint_method<cmd::Type>(),
#include "control_loop/joint_commands.def"
#undef JOINT_COMMAND
    method<loop_close>("close", "close($self)\n--\n\nClose the control loop and release resources."),
    method<get_motor_name_id>("get_motor_name_id",
        "get_motor_name_id($self)\n--\n\nGet the id/name motors used in this controller."),
    method<get_last_position>("get_last_position",
        "get_last_position($self)\n--\n\nGet the last successfully read motor positions."),
    method<is_torque_enabled>("is_torque_enabled", "is_torque_enabled($self)\n--\n\nCheck torque enabled status."),
    method<get_stats>("get_stats", "get_stats($self)\n--\n\nGet the latest control loop statistics, if available."),
    method<async_read_raw_bytes>("async_read_raw_bytes",
        "async_read_raw_bytes($self, id, addr, length)\n--\n\nPerform an asynchronous raw read of motor bytes."),
    method<async_write_raw_bytes>("async_write_raw_bytes",
        "async_write_raw_bytes($self, id, addr, data)\n--\n\nPerform an asynchronous raw write of motor bytes."),
    method<async_read_pid_gains>("async_read_pid_gains",
        "async_read_pid_gains($self, id)\n--\n\nRead PID gains for a given motor id. Returns (P, I, D)."),
    method<async_write_pid_gains>("async_write_pid_gains",
        "async_write_pid_gains($self, id, p, i, d)\n--\n\nWrite PID gains for a given motor id."),
    method<write_raw_packet>("write_raw_packet", "write_raw_packet($self, data)\n--\n\n"),
    method<set_realtime>("set_realtime",
        "set_realtime($self, priority, cpu=None)\n--\n\n"
        "Run the loop thread under SCHED_FIFO at `priority` (1-99 on Linux), so\n"
        "other work on the host cannot delay a tick; with `cpu`, also pin it to\n"
        "that CPU. Raises ValueError for a priority or CPU the system does not\n"
        "have, RuntimeError when the system refuses (saying what is missing)."),
    method<start_recording>("start_recording",
        "start_recording($self, path, bus_traffic=False)\n--\n\n"
        "Record everything the loop does into an MCAP file at `path`: readings,\n"
        "faults, commands and their outcomes, each tick's timing and the module's\n"
        "log records; with `bus_traffic`, also every serial packet and CAN frame.\n"
        "The loop never waits for the file. Raises RuntimeError when already\n"
        "recording or when the file cannot be made."),
    method<stop_recording>("stop_recording",
        "stop_recording($self)\n--\n\n"
        "Finish the recording and return its counts (readings, failed_readings,\n"
        "commands, log_records, frames, dropped), or None when not recording."),
    method<loop_enter>("__enter__", "__enter__($self)\n--\n\nReturn the loop itself."),
    method<loop_exit>("__exit__",
        "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the loop, also when the block raised."),
    kEndOfMethods,
};

PyType_Slot g_slots[] = {
    slot(Py_tp_doc, "VelmoraPyControlLoop(serialport, read_position_loop_period, can_bus=..., "
                    "allowed_retries=5, stats_pub_period=None, voltage_rampup_timeout=...)\n--\n\n"),
    new_slot<loop_new>(),
    slot(Py_tp_dealloc, dealloc_instance<LoopState>),
    repr_slot<loop_repr>(),
    slot(Py_tp_methods, g_methods),
    kEndOfSlots,
};

HeapType g_type = heap_type<LoopState>("builtins.VelmoraPyControlLoop", g_slots);

}  // namespace

void add_control_loop_class(PyObject* module) {
  add_exit_hook([] { g_live_loops.close_all(); });
  g_type.add_to(module);
}

}  // namespace velmora::py
