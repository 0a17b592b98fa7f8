#include "bindings/control_loop_class.hpp"

#include <algorithm>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bindings/core/args.hpp"
#include "bindings/core/errors.hpp"
#include "bindings/core/gil.hpp"
#include "bindings/core/log_bridge.hpp"
#include "bindings/core/py_ref.hpp"
#include "bindings/lifecycle.hpp"
#include "bindings/records_classes.hpp"
#include "control_loop/control_loop.hpp"
#include "control_loop/controller_hardware.hpp"
#include "controller/joint_names.hpp"

namespace velmora::py {
namespace {

namespace cl = control_loop;
namespace cmd = control_loop::cmd;
using cl::MotorCommand;
using cl::VelmoraControlLoop;
using Loop = std::shared_ptr<VelmoraControlLoop>;

constexpr std::uint8_t kPidAddress = 21;

// ---- live loops, closed at interpreter exit ----
//
// A loop thread still running when the interpreter finalises could be killed
// in the middle of forwarding a log record; so every live loop is closed
// (its queue drained) from the exit hook, which runs before finalisation.

std::mutex g_live_mutex;
std::vector<std::weak_ptr<VelmoraControlLoop>> g_live_loops;

void track(const Loop& loop) {
  std::lock_guard lock(g_live_mutex);
  std::erase_if(g_live_loops, [](const auto& w) { return w.expired(); });
  g_live_loops.push_back(loop);
}

// Stops a loop and waits for its thread without the interpreter lock, so the
// loop can still forward its log records meanwhile.
void close_unlocked(VelmoraControlLoop& loop) {
  ReleaseGil unlocked;
  loop.close();
}

void close_live_loops() {
  std::vector<Loop> live;
  {
    std::lock_guard lock(g_live_mutex);
    for (auto& w : g_live_loops)
      if (auto loop = w.lock()) live.push_back(std::move(loop));
    g_live_loops.clear();
  }
  for (auto& loop : live) close_unlocked(*loop);
  ReleaseGil unlocked;  // the last reference may be ours: close() again is free
  live.clear();
}

// ---- the instance ----

struct LoopObject {
  PyObject_HEAD
  Loop loop;
  DeviceNames devices;  // for the repr
};

VelmoraControlLoop& loop_of(PyObject* self) { return *reinterpret_cast<LoopObject*>(self)->loop; }

// Queues a command; a full queue is waited on without the interpreter lock.
// False when the loop has stopped.
bool queue(VelmoraControlLoop& loop, MotorCommand command) {
  bool would_block = false;
  auto sent = loop.try_send(std::move(command), would_block);
  if (sent) return true;
  if (!would_block) return false;
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

// ---- constructor and lifetime ----

// The loop keeps its durations in nanoseconds and adds them to clock
// readings, so a timedelta of centuries would wrap around. Anything beyond a
// century is held at a century: no wait of a running loop gets that far.
constexpr std::chrono::nanoseconds kLongestDuration = std::chrono::hours(24) * 365 * 100;

std::chrono::nanoseconds to_loop_duration(PyObject* obj, const char* param) {
  const std::chrono::microseconds given = to_duration(obj, param);
  if (given >= std::chrono::duration_cast<std::chrono::microseconds>(kLongestDuration)) return kLongestDuration;
  return given;
}

PyObject* loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
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
    Loop loop(std::move(*created));

    PyObject* raw = type->tp_alloc(type, 0);
    if (raw == nullptr) {
      close_unlocked(*loop);
      throw_error_already_set();
    }
    std::construct_at(&reinterpret_cast<LoopObject*>(raw)->loop, loop);
    std::construct_at(&reinterpret_cast<LoopObject*>(raw)->devices, std::move(devices));
    track(loop);
    return PyRef::steal(raw);
  });
}

void loop_dealloc(PyObject* self) noexcept {
  guarded([&] {
    auto* obj = reinterpret_cast<LoopObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    {
      Loop loop = std::move(obj->loop);
      std::destroy_at(&obj->loop);
      std::destroy_at(&obj->devices);
      // Dropping the object closes the loop exactly like close().
      if (loop) {
        ReleaseGil unlocked;
        loop->close();
        loop.reset();
      }
    }
    type->tp_free(self);
    Py_DECREF(type);
  });
}

PyObject* loop_close(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    close_unlocked(loop_of(self));
    return py_none();
  });
}

// The context-manager protocol and the repr. A closed loop stays usable as
// close() leaves it (its readers keep answering), so entering one is no error.

PyObject* loop_enter(PyObject* self, PyObject*) noexcept { return guarded([&] { return PyRef::borrow(self); }); }

PyObject* loop_exit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    bind_exit_arguments("VelmoraPyControlLoop.__exit__", args, kwargs);
    close_unlocked(loop_of(self));
    return py_none();
  });
}

PyObject* loop_repr(PyObject* self) noexcept {
  return guarded([&] {
    auto* obj = reinterpret_cast<LoopObject*>(self);
    return device_repr("VelmoraPyControlLoop", obj->devices, obj->loop->is_open());
  });
}

// ---- readers ----

PyObject* get_motor_name_id(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    std::vector<std::pair<std::string, std::uint8_t>> entries(loop_of(self).motor_name_id().begin(),
                                                              loop_of(self).motor_name_id().end());
    std::ranges::sort(entries, [](const auto& a, const auto& b) { return a.second < b.second; });
    PyRef dict = check(PyDict_New());
    for (const auto& [name, id] : entries) {
      PyRef value = py_int(id);
      if (PyDict_SetItemString(dict.get(), name.c_str(), value.get()) < 0) throw_error_already_set();
    }
    return dict;
  });
}

PyObject* get_last_position(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    auto position = loop_of(self).get_last_position();
    if (!position) throw_runtime_error(position.error().message());
    return new_torso_position(*position);
  });
}

PyObject* is_torque_enabled(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    auto torque = loop_of(self).is_torque_enabled();
    if (!torque) throw_runtime_error(torque.error().message());
    return py_bool(*torque);
  });
}

PyObject* get_stats(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    auto stats = loop_of(self).get_stats();
    if (!stats) return py_none();
    return new_control_loop_stats(std::move(*stats));
  });
}

// ---- commands ----

// N goals for the joints named from `joints` on.
template <std::size_t N, class Command>
PyObject* positions_command(PyObject* self, PyObject* args, PyObject* kwargs, const char* name,
                            const std::string_view* joints) {
  return guarded([&] {
    const Signature<1> sig{name, {"position"}, 1};
    auto [position_o] = bind(sig, args, kwargs);
    const auto goals = to_f64_array<N>(position_o, "position");
    refuse_goals_not_a_number(name, std::span(joints, N), goals);
    return queue_or_raise(self, Command{goals});
  });
}

const std::string_view* servo_joints(std::size_t first) { return controller::SERVO_JOINT_NAMES.data() + first; }
const std::string_view* neck_joints(std::size_t first) { return controller::NECK_JOINT_NAMES.data() + first; }

PyObject* set_all_goal_positions(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraPyControlLoop.set_all_goal_positions", {"positions"}, 1};
    auto [positions_o] = bind(sig, args, kwargs);
    PyObject* positions = to_instance(positions_o, torso_position_type(), "positions");
    cmd::SetAllGoalPositions command{torso_position_value(positions)};
    refuse_goals_not_a_number(sig.name, controller::SERVO_JOINT_NAMES, command.positions.servo_goals());
    return queue_or_raise(self, std::move(command));
  });
}

PyObject* set_left_arm_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return positions_command<2, cmd::SetLeftArmPosition>(self, args, kwargs,
                                                        "VelmoraPyControlLoop.set_left_arm_position", servo_joints(0));
}
PyObject* set_right_arm_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return positions_command<2, cmd::SetRightArmPosition>(self, args, kwargs,
                                                         "VelmoraPyControlLoop.set_right_arm_position", servo_joints(2));
}
PyObject* set_arms_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return positions_command<4, cmd::SetArmsPosition>(self, args, kwargs, "VelmoraPyControlLoop.set_arms_position",
                                                     servo_joints(0));
}
PyObject* set_nose_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return positions_command<3, cmd::SetNosePosition>(self, args, kwargs, "VelmoraPyControlLoop.set_nose_position",
                                                     servo_joints(4));
}
PyObject* set_neck_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return positions_command<3, cmd::SetNeckPosition>(self, args, kwargs, "VelmoraPyControlLoop.set_neck_position",
                                                     neck_joints(0));
}

template <class Command>
PyObject* single_joint_command(PyObject* self, PyObject* args, PyObject* kwargs, const char* name,
                               std::size_t index) {
  return guarded([&] {
    const Signature<1> sig{name, {"position"}, 1};
    auto [position_o] = bind(sig, args, kwargs);
    const double goal = to_f64(position_o, "position");
    refuse_goals_not_a_number(name, std::span(neck_joints(index), 1), std::span(&goal, 1));
    return queue_or_raise(self, Command{goal});
  });
}

PyObject* set_neck_yaw_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return single_joint_command<cmd::SetNeckYawPosition>(self, args, kwargs,
                                                       "VelmoraPyControlLoop.set_neck_yaw_position", 0);
}
PyObject* set_neck_pitch_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return single_joint_command<cmd::SetNeckPitchPosition>(self, args, kwargs,
                                                         "VelmoraPyControlLoop.set_neck_pitch_position", 1);
}
PyObject* set_neck_roll_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return single_joint_command<cmd::SetNeckRollPosition>(self, args, kwargs,
                                                        "VelmoraPyControlLoop.set_neck_roll_position", 2);
}

template <class Command>
PyObject* flag_command(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
  return guarded([&] {
    const Signature<1> sig{name, {"enable"}, 1};
    auto [enable_o] = bind(sig, args, kwargs);
    return queue_or_raise(self, Command{to_bool(enable_o, "enable")});
  });
}

PyObject* enable_neck(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return flag_command<cmd::EnableNeck>(self, args, kwargs, "VelmoraPyControlLoop.enable_neck");
}
PyObject* enable_arms(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return flag_command<cmd::EnableArms>(self, args, kwargs, "VelmoraPyControlLoop.enable_arms");
}
PyObject* enable_nose(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return flag_command<cmd::EnableNose>(self, args, kwargs, "VelmoraPyControlLoop.enable_nose");
}

PyObject* enable_torque(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return queue_or_raise(self, cmd::EnableTorque{}); });
}
PyObject* disable_torque(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return queue_or_raise(self, cmd::DisableTorque{}); });
}

template <class Command>
PyObject* ids_command(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
  return guarded([&] {
    const Signature<1> sig{name, {"ids"}, 1};
    auto [ids_o] = bind(sig, args, kwargs);
    return queue_or_raise(self, Command{to_u8_list(ids_o, "ids")});
  });
}

PyObject* enable_torque_on_ids(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return ids_command<cmd::EnableTorqueOnIds>(self, args, kwargs, "VelmoraPyControlLoop.enable_torque_on_ids");
}
PyObject* disable_torque_on_ids(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return ids_command<cmd::DisableTorqueOnIds>(self, args, kwargs, "VelmoraPyControlLoop.disable_torque_on_ids");
}

// ---- raw register access ----

PyObject* async_read_raw_bytes(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<3> sig{"VelmoraPyControlLoop.async_read_raw_bytes", {"id", "addr", "length"}, 3};
    auto [id_o, addr_o, length_o] = bind(sig, args, kwargs);
    const auto id = to_u8(id_o, "id");
    const auto addr = to_u8(addr_o, "addr");
    const auto length = to_u8(length_o, "length");
    auto bytes = read_raw_unlocked(self, id, addr, length);
    if (!bytes) throw_runtime_error("Failed to read raw bytes: " + bytes.error().message());
    return py_bytes(*bytes);
  });
}

PyObject* async_write_raw_bytes(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<3> sig{"VelmoraPyControlLoop.async_write_raw_bytes", {"id", "addr", "data"}, 3};
    auto [id_o, addr_o, data_o] = bind(sig, args, kwargs);
    const auto id = to_u8(id_o, "id");
    const auto addr = to_u8(addr_o, "addr");
    auto data = to_u8_list(data_o, "data");
    if (!queue(loop_of(self), cmd::WriteRawBytes{id, addr, std::move(data)}))
      throw_runtime_error("Failed to write raw bytes: " + communication_text());
    return py_none();
  });
}

PyObject* async_read_pid_gains(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraPyControlLoop.async_read_pid_gains", {"id"}, 1};
    auto [id_o] = bind(sig, args, kwargs);
    const auto id = to_u8(id_o, "id");
    auto bytes = read_raw_unlocked(self, id, kPidAddress, 3);
    if (!bytes) throw_runtime_error("Failed to read pid gains: " + bytes.error().message());
    if (bytes->size() != 3) throw_runtime_error("Failed to read pid gains: " + communication_text());
    // Registers hold P, D, I in that order.
    return py_tuple(py_int((*bytes)[0]), py_int((*bytes)[2]), py_int((*bytes)[1]));
  });
}

PyObject* async_write_pid_gains(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<4> sig{"VelmoraPyControlLoop.async_write_pid_gains", {"id", "p", "i", "d"}, 4};
    auto [id_o, p_o, i_o, d_o] = bind(sig, args, kwargs);
    const auto id = to_u8(id_o, "id");
    const auto p = to_u16(p_o, "p");
    const auto i = to_u16(i_o, "i");
    const auto d = to_u16(d_o, "d");
    // One byte per gain: only the low 8 bits reach the servo.
    cl::Bytes data{static_cast<std::uint8_t>(p & 0xFF), static_cast<std::uint8_t>(d & 0xFF),
                   static_cast<std::uint8_t>(i & 0xFF)};
    if (!queue(loop_of(self), cmd::WriteRawBytes{id, kPidAddress, std::move(data)}))
      throw_runtime_error("Failed to write pid gains: " + communication_text());
    return py_none();
  });
}

PyObject* write_raw_packet(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraPyControlLoop.write_raw_packet", {"data"}, 1};
    auto [data_o] = bind(sig, args, kwargs);
    auto packet = to_bytes(data_o, "data");
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
  });
}

// ---- the type ----

#define VELMORA_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS
#define VELMORA_NOARGS(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_NOARGS

PyMethodDef g_methods[] = {
    {"close", VELMORA_NOARGS(loop_close), "close($self)\n--\n\nClose the control loop and release resources."},
    {"get_motor_name_id", VELMORA_NOARGS(get_motor_name_id),
     "get_motor_name_id($self)\n--\n\nGet the id/name motors used in this controller."},
    {"get_last_position", VELMORA_NOARGS(get_last_position),
     "get_last_position($self)\n--\n\nGet the last successfully read motor positions."},
    {"set_all_goal_positions", VELMORA_KW(set_all_goal_positions),
     "set_all_goal_positions($self, positions)\n--\n\nSet goal positions for all motors."},
    {"set_left_arm_position", VELMORA_KW(set_left_arm_position),
     "set_left_arm_position($self, position)\n--\n\nSet goal positions for the left arm (2 values: pitch, yaw)."},
    {"set_right_arm_position", VELMORA_KW(set_right_arm_position),
     "set_right_arm_position($self, position)\n--\n\nSet goal positions for the right arm (2 values: pitch, yaw)."},
    {"set_arms_position", VELMORA_KW(set_arms_position),
     "set_arms_position($self, position)\n--\n\nSet goal positions for both arms (4 values)."},
    {"set_nose_position", VELMORA_KW(set_nose_position),
     "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values)."},
    {"set_neck_position", VELMORA_KW(set_neck_position),
     "set_neck_position($self, position)\n--\n\nSet goal positions for the neck (3 values: yaw, pitch, roll)."},
    {"set_neck_yaw_position", VELMORA_KW(set_neck_yaw_position), "set_neck_yaw_position($self, position)\n--\n\n"},
    {"set_neck_pitch_position", VELMORA_KW(set_neck_pitch_position),
     "set_neck_pitch_position($self, position)\n--\n\n"},
    {"set_neck_roll_position", VELMORA_KW(set_neck_roll_position), "set_neck_roll_position($self, position)\n--\n\n"},
    {"enable_neck", VELMORA_KW(enable_neck), "enable_neck($self, enable)\n--\n\nEnable or disable the neck motors."},
    {"is_torque_enabled", VELMORA_NOARGS(is_torque_enabled),
     "is_torque_enabled($self)\n--\n\nCheck torque enabled status."},
    {"enable_torque", VELMORA_NOARGS(enable_torque), "enable_torque($self)\n--\n\nEnable torque on all motors."},
    {"enable_torque_on_ids", VELMORA_KW(enable_torque_on_ids),
     "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids."},
    {"disable_torque", VELMORA_NOARGS(disable_torque), "disable_torque($self)\n--\n\nDisable torque on all motors."},
    {"disable_torque_on_ids", VELMORA_KW(disable_torque_on_ids),
     "disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids."},
    {"enable_arms", VELMORA_KW(enable_arms), "enable_arms($self, enable)\n--\n\nEnable or disable the arm motors."},
    {"enable_nose", VELMORA_KW(enable_nose), "enable_nose($self, enable)\n--\n\nEnable or disable the nose motors."},
    {"get_stats", VELMORA_NOARGS(get_stats),
     "get_stats($self)\n--\n\nGet the latest control loop statistics, if available."},
    {"async_read_raw_bytes", VELMORA_KW(async_read_raw_bytes),
     "async_read_raw_bytes($self, id, addr, length)\n--\n\nPerform an asynchronous raw read of motor bytes."},
    {"async_write_raw_bytes", VELMORA_KW(async_write_raw_bytes),
     "async_write_raw_bytes($self, id, addr, data)\n--\n\nPerform an asynchronous raw write of motor bytes."},
    {"async_read_pid_gains", VELMORA_KW(async_read_pid_gains),
     "async_read_pid_gains($self, id)\n--\n\nRead PID gains for a given motor id. Returns (P, I, D)."},
    {"async_write_pid_gains", VELMORA_KW(async_write_pid_gains),
     "async_write_pid_gains($self, id, p, i, d)\n--\n\nWrite PID gains for a given motor id."},
    {"write_raw_packet", VELMORA_KW(write_raw_packet), "write_raw_packet($self, data)\n--\n\n"},
    {"__enter__", VELMORA_NOARGS(loop_enter), "__enter__($self)\n--\n\nReturn the loop itself."},
    {"__exit__", VELMORA_KW(loop_exit),
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the loop, also when the block raised."},
    {nullptr, nullptr, 0, nullptr},
};

#undef VELMORA_KW
#undef VELMORA_NOARGS

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("VelmoraPyControlLoop(serialport, read_position_loop_period, can_bus=..., "
                                  "allowed_retries=5, stats_pub_period=None, voltage_rampup_timeout=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(loop_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(loop_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(loop_repr)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {"builtins.VelmoraPyControlLoop", sizeof(LoopObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

PyTypeObject* g_type = nullptr;

}  // namespace

int add_control_loop_class(PyObject* module) {
  if (g_type == nullptr) {
    g_type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&g_spec)).release());
    add_exit_hook(close_live_loops);
  }
  Py_INCREF(g_type);
  if (PyModule_AddObject(module, "VelmoraPyControlLoop", reinterpret_cast<PyObject*>(g_type)) < 0) {
    Py_DECREF(g_type);
    return -1;
  }
  return 0;
}

}  // namespace velmora::py
