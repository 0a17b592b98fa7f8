// VelmoraMotorController: every method converts its arguments, runs one
// controller operation under the controller lock, and converts the result
// after the lock is released. Methods keep the interpreter lock throughout, so
// the controller lock mostly guards against re-entry and poisoning. The only
// log records the operations reachable from here emit are neck clamp
// warnings, and those are produced before the lock is taken. The one Python
// code that can run under the controller lock is a signal handler run between
// homing cycles (Ctrl-C); another thread may get the interpreter lock then, so
// waiting for the controller lock is done without the interpreter lock.
//
// close() ends the object's use of the hardware for good: it destroys the
// controller (closing both buses and releasing the serial port's lock) and
// every later method raises "controller is closed".

#include "bindings/motor_controller_class.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "bindings/core/args.hpp"
#include "bindings/core/errors.hpp"
#include "bindings/core/gil.hpp"
#include "bindings/core/py_ref.hpp"
#include "bindings/lifecycle.hpp"
#include "controller/controller.hpp"
#include "controller/narrow.hpp"

namespace velmora::py {
namespace {

using controller::VelmoraMotorController;

constexpr const char* kLockFailed = "Failed to lock motor controller";
constexpr const char* kClosed = "controller is closed";

struct State {
  std::mutex mutex;
  // The thread inside an operation, so a re-entry from that same thread is
  // refused instead of deadlocking on the mutex.
  std::atomic<std::thread::id> owner{};
  bool poisoned = false;
  // Null once closed.
  std::unique_ptr<VelmoraMotorController> controller;
  // For the repr, which must not wait for an operation in progress.
  DeviceNames devices;
  std::atomic<bool> open{true};
};

struct ControllerObject {
  PyObject_HEAD
  State* state;
};

State& state_of(PyObject* self) { return *reinterpret_cast<ControllerObject*>(self)->state; }

class OwnerMark {
 public:
  explicit OwnerMark(State& st) : st_(st) { st_.owner.store(std::this_thread::get_id()); }
  ~OwnerMark() { st_.owner.store(std::thread::id{}); }
  OwnerMark(const OwnerMark&) = delete;
  OwnerMark& operator=(const OwnerMark&) = delete;

 private:
  State& st_;
};

// The controller lock, waited for (if another thread holds it) without the
// interpreter lock. Re-entry from the holding thread is refused.
std::unique_lock<std::mutex> acquire(State& st) {
  if (st.owner.load() == std::this_thread::get_id()) throw_runtime_error(kLockFailed);
  std::unique_lock lock(st.mutex, std::defer_lock);
  while (!lock.try_lock()) {
    ReleaseGil unlocked;
    const std::lock_guard wait(st.mutex);
  }
  return lock;
}

// Runs `op` on the controller under its lock. A fault escaping `op` poisons
// the lock for the life of the object.
template <class Op>
auto locked(PyObject* self, Op&& op) {
  State& st = state_of(self);
  std::unique_lock lock = acquire(st);
  if (!st.controller) {
    lock.unlock();
    throw_runtime_error(kClosed);
  }
  if (st.poisoned) {
    lock.unlock();
    throw_runtime_error(kLockFailed);
  }
  OwnerMark mark(st);
  try {
    return op(*st.controller);
  } catch (...) {
    if (handling_fault()) st.poisoned = true;
    throw;
  }
}

// A poisoned or closed object refuses before anything else happens, the neck
// setters' early clamp warnings included.
void refuse_if_poisoned(PyObject* self) {
  State& st = state_of(self);
  const std::unique_lock lock = acquire(st);
  if (!st.controller) throw_runtime_error(kClosed);
  if (st.poisoned) throw_runtime_error(kLockFailed);
}

// The operation's value, or RuntimeError with its display text. An operation
// stopped by a signal handler's exception lets that exception propagate.
template <class T>
T value_or_raise(controller::Result<T>&& result) {
  if (!result && result.error().interrupted) throw_error_already_set();
  if (!result) throw_runtime_error(result.error().message);
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

PyRef none_or_raise(controller::Result<void>&& result) {
  value_or_raise(std::move(result));
  return py_none();
}

// ---- construction and destruction ----

PyObject* controller_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<2> sig{"VelmoraMotorController.__new__", {"serialport", "can_bus"}, 0};
    auto [serialport_o, can_bus_o] = bind(sig, args, kwargs);
    std::optional<std::string> serialport = convert_optional(serialport_o, "serialport", to_str);
    std::string can_bus = convert_or(can_bus_o, "can_bus", to_str, std::string("can0"));

    auto created = VelmoraMotorController::create(serialport, can_bus);
    if (!created) throw_runtime_error(created.error().message);

    auto state = std::make_unique<State>();
    state->controller = std::move(*created);
    state->devices = DeviceNames{std::move(serialport), std::move(can_bus)};
    PyRef self = check(type->tp_alloc(type, 0));
    reinterpret_cast<ControllerObject*>(self.get())->state = state.release();
    return self.release();
  });
}

void controller_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  guarded([&] {
    // Closes the serial port and the CAN socket.
    delete reinterpret_cast<ControllerObject*>(self)->state;
    reinterpret_cast<ControllerObject*>(self)->state = nullptr;
  });
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- lifecycle ----

// Closes both buses now, poisoned or not: the serial port's lock goes with its
// descriptor, so the same device can be opened again at once. A thread still
// inside an operation keeps the controller until it leaves, and close waits
// for it with the interpreter lock released (an operation that gives up the
// interpreter lock must be able to take it back to finish). The controller is
// destroyed outside both locks.
void close_controller(State& st) {
  if (st.owner.load() == std::this_thread::get_id()) throw_runtime_error(kLockFailed);
  ReleaseGil unlocked;
  std::unique_ptr<VelmoraMotorController> closing;
  {
    std::lock_guard lock(st.mutex);
    closing = std::move(st.controller);
    st.open.store(false);
  }
  closing.reset();
}

PyObject* controller_close(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    close_controller(state_of(self));
    return py_none();
  });
}

PyObject* controller_enter(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    locked(self, [](auto&) {});
    return PyRef::borrow(self);
  });
}

PyObject* controller_exit(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    bind_exit_arguments("VelmoraMotorController.__exit__", args, kwargs);
    close_controller(state_of(self));
    return py_none();
  });
}

PyObject* controller_repr(PyObject* self) noexcept {
  return guarded([&] {
    const State& st = state_of(self);
    return device_repr("VelmoraMotorController", st.devices, st.open.load());
  });
}

// ---- servo groups ----

PyObject* is_torque_enabled(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    return py_bool(value_or_raise(locked(self, [](auto& c) { return c.is_torque_enabled(); })));
  });
}

PyObject* enable_torque(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return none_or_raise(locked(self, [](auto& c) { return c.enable_torque(); })); });
}

PyObject* disable_torque(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return none_or_raise(locked(self, [](auto& c) { return c.disable_torque(); })); });
}

PyRef torque_on_ids(PyObject* self, PyObject* args, PyObject* kwargs, const char* name, bool enable) {
  const Signature<1> sig{name, {"ids"}, 1};
  auto [ids_o] = bind(sig, args, kwargs);
  const std::vector<std::uint8_t> ids = to_u8_list(ids_o, "ids");
  return none_or_raise(locked(self, [&](auto& c) { return c.set_torque_on_ids(ids, enable); }));
}

PyObject* enable_torque_on_ids(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return torque_on_ids(self, args, kwargs, "VelmoraMotorController.enable_torque_on_ids", true); });
}

PyObject* disable_torque_on_ids(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&] { return torque_on_ids(self, args, kwargs, "VelmoraMotorController.disable_torque_on_ids", false); });
}

PyObject* read_all_positions(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    const auto positions = value_or_raise(locked(self, [](auto& c) { return c.read_all_positions(); }));
    return py_float_list(positions);
  });
}

// One positions parameter of N floats for the servos from `first` on in bus
// order, handed to a controller setter.
template <std::size_t N, class Setter>
PyRef set_positions(PyObject* self, PyObject* args, PyObject* kwargs, const char* name, const char* param,
                    std::size_t first, Setter setter) {
  const Signature<1> sig{name, {param}, 1};
  auto [positions_o] = bind(sig, args, kwargs);
  const std::array<double, N> positions = to_f64_array<N>(positions_o, param);
  refuse_goals_not_a_number(name, std::span(controller::SERVO_JOINT_NAMES).subspan(first, N), positions);
  return none_or_raise(locked(self, [&](auto& c) { return (c.*setter)(positions); }));
}

PyObject* set_all_goal_positions(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    return set_positions<7>(self, args, kwargs, "VelmoraMotorController.set_all_goal_positions", "positions", 0,
                            &VelmoraMotorController::set_all_goal_positions);
  });
}

PyObject* set_left_arm_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    return set_positions<2>(self, args, kwargs, "VelmoraMotorController.set_left_arm_position", "position", 0,
                            &VelmoraMotorController::set_left_arm_position);
  });
}

PyObject* set_right_arm_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    return set_positions<2>(self, args, kwargs, "VelmoraMotorController.set_right_arm_position", "position", 2,
                            &VelmoraMotorController::set_right_arm_position);
  });
}

PyObject* set_arms_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    return set_positions<4>(self, args, kwargs, "VelmoraMotorController.set_arms_position", "position", 0,
                            &VelmoraMotorController::set_arms_position);
  });
}

PyObject* set_nose_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    return set_positions<3>(self, args, kwargs, "VelmoraMotorController.set_nose_position", "position", 4,
                            &VelmoraMotorController::set_nose_position);
  });
}

PyObject* enable_arms(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraMotorController.enable_arms", {"enable"}, 1};
    auto [enable_o] = bind(sig, args, kwargs);
    const bool enable = to_bool(enable_o, "enable");
    return none_or_raise(locked(self, [&](auto& c) { return c.enable_arms(enable); }));
  });
}

PyObject* enable_nose(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraMotorController.enable_nose", {"enable"}, 1};
    auto [enable_o] = bind(sig, args, kwargs);
    const bool enable = to_bool(enable_o, "enable");
    return none_or_raise(locked(self, [&](auto& c) { return c.enable_nose(enable); }));
  });
}

PyObject* set_arm_home(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraMotorController.set_arm_home", {"verify_tol"}, 0};
    auto [tol_o] = bind(sig, args, kwargs);
    const double verify_tol = convert_or(tol_o, "verify_tol", to_f64, 0.05);
    const auto verified = value_or_raise(locked(self, [&](auto& c) { return c.set_arm_home(verify_tol); }));
    return py_float_list(verified);
  });
}

PyObject* write_raw_packet(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraMotorController.write_raw_packet", {"data"}, 1};
    auto [data_o] = bind(sig, args, kwargs);
    const std::vector<std::uint8_t> data = to_bytes(data_o, "data");
    // The reply bytes are collected by the controller and dropped here.
    value_or_raise(locked(self, [&](auto& c) { return c.write_raw_packet(data); }));
    return py_none();
  });
}

// ---- neck ----

PyObject* set_neck_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraMotorController.set_neck_position", {"position"}, 1};
    auto [position_o] = bind(sig, args, kwargs);
    std::array<double, 3> goals = to_f64_array<3>(position_o, "position");
    refuse_goals_not_a_number(sig.name, controller::NECK_JOINT_NAMES, goals);
    refuse_if_poisoned(self);
    // Clamp warnings reach Python logging: emit them before taking the lock.
    // Clamping again inside the operation changes nothing and warns no more.
    for (std::size_t i = 0; i < goals.size(); ++i) goals[i] = VelmoraMotorController::clamp_neck_position(i, goals[i]);
    const auto reported = value_or_raise(locked(self, [&](auto& c) { return c.set_neck_position(goals); }));
    return py_float_list(reported);
  });
}

PyRef set_one_neck_joint(PyObject* self, PyObject* args, PyObject* kwargs, const char* name, std::size_t index) {
  const Signature<1> sig{name, {"position"}, 1};
  auto [position_o] = bind(sig, args, kwargs);
  const double requested = to_f64(position_o, "position");
  refuse_goals_not_a_number(name, std::span(controller::NECK_JOINT_NAMES).subspan(index, 1),
                            std::span(&requested, 1));
  refuse_if_poisoned(self);
  const double goal = VelmoraMotorController::clamp_neck_position(index, requested);
  return py_float(value_or_raise(locked(self, [&](auto& c) { return c.set_single_neck_joint(index, goal); })));
}

PyObject* set_neck_yaw_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&] { return set_one_neck_joint(self, args, kwargs, "VelmoraMotorController.set_neck_yaw_position", 0); });
}

PyObject* set_neck_pitch_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&] { return set_one_neck_joint(self, args, kwargs, "VelmoraMotorController.set_neck_pitch_position", 1); });
}

PyObject* set_neck_roll_position(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&] { return set_one_neck_joint(self, args, kwargs, "VelmoraMotorController.set_neck_roll_position", 2); });
}

PyObject* neck_position_limits(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    const auto limits = locked(self, [](auto& c) { return c.neck_position_limits(); });
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(limits.size())));
    for (std::size_t i = 0; i < limits.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      py_tuple(py_float(limits[i].first), py_float(limits[i].second)).release());
    }
    return list;
  });
}

PyObject* read_neck_positions(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    const auto positions = value_or_raise(locked(self, [](auto& c) { return c.read_neck_positions(); }));
    return py_float_list(positions);
  });
}

PyObject* set_neck_gains(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<3> sig{"VelmoraMotorController.set_neck_gains", {"index", "kp", "kd"}, 3};
    auto [index_o, kp_o, kd_o] = bind(sig, args, kwargs);
    const std::size_t index = to_usize(index_o, "index");
    const float kp = controller::to_single(to_f64(kp_o, "kp"));
    const float kd = controller::to_single(to_f64(kd_o, "kd"));
    return none_or_raise(locked(self, [&](auto& c) { return c.set_neck_gains(index, kp, kd); }));
  });
}

std::optional<float> single(std::optional<double> v) {
  if (!v) return std::nullopt;
  return controller::to_single(*v);
}

PyObject* neck_home(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<4> sig{"VelmoraMotorController.neck_home", {"speed", "tolerance", "kp", "kd"}, 0};
    auto [speed_o, tolerance_o, kp_o, kd_o] = bind(sig, args, kwargs);
    const double speed = convert_or(speed_o, "speed", to_f64, 0.4);
    const double tolerance = convert_or(tolerance_o, "tolerance", to_f64, 0.15);
    const std::optional<float> kp = single(convert_optional(kp_o, "kp", to_f64));
    const std::optional<float> kd = single(convert_optional(kd_o, "kd", to_f64));
    // Ctrl-C stops homing between cycles, the neck holding its last setpoint.
    const auto observed = value_or_raise(
        locked(self, [&](auto& c) { return c.neck_home(speed, tolerance, kp, kd, signal_handler_raised); }));
    return py_float_list(observed);
  });
}

PyObject* enable_neck(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraMotorController.enable_neck", {"enable"}, 1};
    auto [enable_o] = bind(sig, args, kwargs);
    const bool enable = to_bool(enable_o, "enable");
    return none_or_raise(locked(self, [&](auto& c) { return c.enable_neck(enable); }));
  });
}

PyObject* is_neck_torque_enabled(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return py_bool(locked(self, [](auto& c) { return c.is_neck_torque_enabled(); })); });
}

// ---- read-only access for bring-up checks ----

PyObject* read_raw_bytes(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<3> sig{"VelmoraMotorController.read_raw_bytes", {"id", "addr", "length"}, 3};
    auto [id_o, addr_o, length_o] = bind(sig, args, kwargs);
    const auto id = to_u8(id_o, "id");
    const auto addr = to_u8(addr_o, "addr");
    const auto length = to_u8(length_o, "length");
    return py_bytes(value_or_raise(locked(self, [&](auto& c) { return c.read_raw_bytes(id, addr, length); })));
  });
}

std::size_t neck_index(PyObject* obj) {
  const std::size_t index = to_usize(obj, "index");
  if (index >= controller::NECK_JOINT_NAMES.size()) {
    PyErr_Format(PyExc_ValueError, "neck index out of range: %zu", index);
    throw_error_already_set();
  }
  return index;
}

PyObject* read_neck_feedback(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<1> sig{"VelmoraMotorController.read_neck_feedback", {"index"}, 1};
    auto [index_o] = bind(sig, args, kwargs);
    const std::size_t index = neck_index(index_o);
    const auto fb = value_or_raise(locked(self, [&](auto& c) { return c.read_neck_feedback(index); }));
    return py_tuple(py_float(fb.position), py_float(fb.velocity), py_float(fb.torque), py_int(fb.status),
                    py_int(fb.temperature1), py_int(fb.temperature2));
  });
}

PyObject* read_neck_register(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static constexpr Signature<2> sig{"VelmoraMotorController.read_neck_register", {"index", "register"}, 2};
    auto [index_o, register_o] = bind(sig, args, kwargs);
    const std::size_t index = neck_index(index_o);
    const auto register_id = to_u8(register_o, "register");
    const auto value = value_or_raise(locked(self, [&](auto& c) { return c.read_neck_register(index, register_id); }));
    if (value.kind == motorcom::damiao::RegisterKind::Float) return py_float(static_cast<double>(value.as_float()));
    return py_uint(value.as_uint32());
  });
}

// ---- the type ----

// Docstrings: the text signature block, then the method's text.
#define SIG(text) text "\n--\n\n"
constexpr const char* kDocIsTorqueEnabled = SIG("is_torque_enabled($self)") "Is torque enabled on all motors";
constexpr const char* kDocEnableTorque = SIG("enable_torque($self)") "Enable torque on all motors.";
constexpr const char* kDocEnableTorqueOnIds = SIG("enable_torque_on_ids($self, ids)") "Enable torque on ids";
constexpr const char* kDocDisableTorque = SIG("disable_torque($self)") "Disable torque on all motors.";
constexpr const char* kDocDisableTorqueOnIds = SIG("disable_torque_on_ids($self, ids)") "Disable torque on ids";
constexpr const char* kDocReadAllPositions =
    SIG("read_all_positions($self)") "Read all motor positions as a 7-element array.\n"
    "Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]";
constexpr const char* kDocSetAllGoalPositions =
    SIG("set_all_goal_positions($self, positions)") "Set goal positions for all motors (7 values).\n\n"
    "# Arguments\n"
    "* `positions` - Array of 7 goal positions\n"
    "  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right).";
constexpr const char* kDocSetLeftArmPosition =
    SIG("set_left_arm_position($self, position)") "Set goal positions for the left arm (2 values: pitch, yaw).";
constexpr const char* kDocSetRightArmPosition =
    SIG("set_right_arm_position($self, position)") "Set goal positions for the right arm (2 values: pitch, yaw).";
constexpr const char* kDocSetArmsPosition =
    SIG("set_arms_position($self, position)")
    "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw).";
constexpr const char* kDocSetNosePosition =
    SIG("set_nose_position($self, position)") "Set goal positions for the nose (3 values).";
constexpr const char* kDocSetNeckPosition =
    SIG("set_neck_position($self, position)") "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
    "the observed positions reported by the motor replies.";
constexpr const char* kDocSetNeckYawPosition = SIG("set_neck_yaw_position($self, position)");
constexpr const char* kDocSetNeckPitchPosition = SIG("set_neck_pitch_position($self, position)");
constexpr const char* kDocSetNeckRollPosition = SIG("set_neck_roll_position($self, position)");
constexpr const char* kDocNeckPositionLimits =
    SIG("neck_position_limits($self)") "Hard safety bounds (lower, upper) in rad for each neck joint.\n"
    "Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds\n"
    "before commanding the motor.";
constexpr const char* kDocReadNeckPositions =
    SIG("read_neck_positions($self)") "Read the current neck positions (yaw, pitch, roll) via a Damiao\n"
    "feedback request.";
constexpr const char* kDocSetNeckGains =
    SIG("set_neck_gains($self, index, kp, kd)") "Override the MIT impedance gains (kp, kd) for a single neck joint.\n"
    "`index`: 0=yaw, 1=pitch, 2=roll.";
constexpr const char* kDocNeckHome =
    SIG("neck_home($self, speed=0.4, tolerance=0.15, kp=None, kd=None)")
    "Home the 3 neck joints to the nearest physical zero.\n"
    "\n"
    "Each joint's goal is snapped to the multiple of 2\u03c0 nearest to its current\n"
    "reported position. After a power cycle the Damiao multi-turn counter\n"
    "resets, so a naive move to 0 could spin the head a full turn; rounding\n"
    "keeps the travel within \u00b1\u03c0 and lands at a physically equivalent zero.\n"
    "\n"
    "Neck torque is enabled if it is not already, and is not disabled on exit\n"
    "(the caller owns the torque lifecycle). The joints ramp at `speed` rad/s\n"
    "on a 10 ms cycle; the observed positions are returned once every joint is\n"
    "within `tolerance` rad of its goal. Raises on time-out.\n"
    "\n"
    "`kp` / `kd` are optional overrides applied to all three joints for the\n"
    "duration of homing and left in place afterwards; `None` keeps the\n"
    "per-joint defaults of the controller.";
constexpr const char* kDocEnableNeck =
    SIG("enable_neck($self, enable)") "Enable or disable the neck motors. On enable, also forces each motor\n"
    "into MIT control mode.";
constexpr const char* kDocIsNeckTorqueEnabled =
    SIG("is_neck_torque_enabled($self)") "Last commanded torque-enable state for the neck (in-memory; the\n"
    "Damiao firmware does not expose a readable enable register).";
constexpr const char* kDocEnableArms = SIG("enable_arms($self, enable)") "Enable or disable the arm motors.";
constexpr const char* kDocSetArmHome =
    SIG("set_arm_home($self, verify_tol=0.05)")
    "Make the current physical arm pose the new radian zero by rewriting each\n"
    "Feetech arm servo's Position Offset EEPROM register (0x1F); the new zero\n"
    "persists across power cycles.\n"
    "\n"
    "Disables arm torque, reads present position plus offset for every arm\n"
    "servo and computes a new offset equal to the absolute encoder position\n"
    "(present position + old offset), so later present-position reads of this\n"
    "pose give 0 rad and a goal position of 0 leaves the arm where it is. Then\n"
    "unlocks the EEPROM, writes the offsets, re-locks it and verifies by\n"
    "reading the present positions back. The arms are left torque-off on exit.\n"
    "\n"
    "Returns the observed post-write present positions (rad) of the four joints\n"
    "`[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises `RuntimeError`\n"
    "when verification fails (a joint not within `verify_tol` rad of 0) or any\n"
    "bus call fails.";
constexpr const char* kDocEnableNose = SIG("enable_nose($self, enable)") "Enable or disable the nose motors.";
constexpr const char* kDocWriteRawPacket =
    SIG("write_raw_packet($self, data)") "Write raw packet data to the serial port.\n\n"
    "# Arguments\n"
    "* `data` - Byte array of raw packet data to send.";
constexpr const char* kDocClose =
    SIG("close($self)") "Close the serial port and the CAN bus now and release the serial port's\n"
    "lock, so the same devices can be opened again at once. Calling it again\n"
    "does nothing; every other method raises afterwards.";
constexpr const char* kDocEnter = SIG("__enter__($self)") "Return the controller itself.";
constexpr const char* kDocExit =
    SIG("__exit__($self, exc_type, exc_value, traceback)") "Close the controller, also when the block raised.";
constexpr const char* kDocReadRawBytes =
    SIG("read_raw_bytes($self, id, addr, length)") "Read `length` register bytes of servo `id` from address `addr`.\n"
    "One read instruction, no retry; nothing is written.";
constexpr const char* kDocReadNeckFeedback =
    SIG("read_neck_feedback($self, index)") "Ask one neck motor (0=yaw, 1=pitch, 2=roll) for its feedback.\n"
    "Returns (position, velocity, torque, status, mos_temperature,\n"
    "rotor_temperature): rad, rad/s, N m, the motor's status code (0 disabled,\n"
    "1 enabled, higher values are faults) and degrees Celsius. Commands nothing.";
constexpr const char* kDocReadNeckRegister =
    SIG("read_neck_register($self, index, register)")
    "Read one parameter register of a neck motor (0=yaw, 1=pitch, 2=roll):\n"
    "an int or a float, as the register holds. Register 10 is the control\n"
    "mode (1 MIT, 2 position-velocity, 3 velocity, 4 force-position).";
#undef SIG

template <class F>
PyCFunction cfunc(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kWithArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"is_torque_enabled", cfunc(is_torque_enabled), METH_NOARGS, kDocIsTorqueEnabled},
    {"enable_torque", cfunc(enable_torque), METH_NOARGS, kDocEnableTorque},
    {"enable_torque_on_ids", cfunc(enable_torque_on_ids), kWithArgs, kDocEnableTorqueOnIds},
    {"disable_torque", cfunc(disable_torque), METH_NOARGS, kDocDisableTorque},
    {"disable_torque_on_ids", cfunc(disable_torque_on_ids), kWithArgs, kDocDisableTorqueOnIds},
    {"read_all_positions", cfunc(read_all_positions), METH_NOARGS, kDocReadAllPositions},
    {"set_all_goal_positions", cfunc(set_all_goal_positions), kWithArgs, kDocSetAllGoalPositions},
    {"set_left_arm_position", cfunc(set_left_arm_position), kWithArgs, kDocSetLeftArmPosition},
    {"set_right_arm_position", cfunc(set_right_arm_position), kWithArgs, kDocSetRightArmPosition},
    {"set_arms_position", cfunc(set_arms_position), kWithArgs, kDocSetArmsPosition},
    {"set_nose_position", cfunc(set_nose_position), kWithArgs, kDocSetNosePosition},
    {"set_neck_position", cfunc(set_neck_position), kWithArgs, kDocSetNeckPosition},
    {"set_neck_yaw_position", cfunc(set_neck_yaw_position), kWithArgs, kDocSetNeckYawPosition},
    {"set_neck_pitch_position", cfunc(set_neck_pitch_position), kWithArgs, kDocSetNeckPitchPosition},
    {"set_neck_roll_position", cfunc(set_neck_roll_position), kWithArgs, kDocSetNeckRollPosition},
    {"neck_position_limits", cfunc(neck_position_limits), METH_NOARGS, kDocNeckPositionLimits},
    {"read_neck_positions", cfunc(read_neck_positions), METH_NOARGS, kDocReadNeckPositions},
    {"set_neck_gains", cfunc(set_neck_gains), kWithArgs, kDocSetNeckGains},
    {"neck_home", cfunc(neck_home), kWithArgs, kDocNeckHome},
    {"enable_neck", cfunc(enable_neck), kWithArgs, kDocEnableNeck},
    {"is_neck_torque_enabled", cfunc(is_neck_torque_enabled), METH_NOARGS, kDocIsNeckTorqueEnabled},
    {"enable_arms", cfunc(enable_arms), kWithArgs, kDocEnableArms},
    {"set_arm_home", cfunc(set_arm_home), kWithArgs, kDocSetArmHome},
    {"enable_nose", cfunc(enable_nose), kWithArgs, kDocEnableNose},
    {"write_raw_packet", cfunc(write_raw_packet), kWithArgs, kDocWriteRawPacket},
    {"close", cfunc(controller_close), METH_NOARGS, kDocClose},
    {"__enter__", cfunc(controller_enter), METH_NOARGS, kDocEnter},
    {"__exit__", cfunc(controller_exit), kWithArgs, kDocExit},
    {"read_raw_bytes", cfunc(read_raw_bytes), kWithArgs, kDocReadRawBytes},
    {"read_neck_feedback", cfunc(read_neck_feedback), kWithArgs, kDocReadNeckFeedback},
    {"read_neck_register", cfunc(read_neck_register), kWithArgs, kDocReadNeckRegister},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>("VelmoraMotorController(serialport=None, can_bus=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(controller_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(controller_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(controller_repr)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "builtins.VelmoraMotorController",
    static_cast<int>(sizeof(ControllerObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_slots,
};

PyObject* g_type = nullptr;  // created once per process

}  // namespace

int add_motor_controller_class(PyObject* module) {
  if (g_type == nullptr) {
    g_type = PyType_FromSpec(&g_spec);
    if (g_type == nullptr) return -1;
  }
  return PyModule_AddObjectRef(module, "VelmoraMotorController", g_type);
}

}  // namespace velmora::py
