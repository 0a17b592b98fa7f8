#include "control_loop/control_loop.hpp"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/log.hpp"
#include "common/numfmt.hpp"
#include "common/text.hpp"
#include "control_loop/retry.hpp"

namespace velmora::control_loop {
namespace {

void info(const std::string& message) {
  if (log::enabled(log::Level::Info, log::kControlLoopTarget))
    log::write(log::Level::Info, log::kControlLoopTarget, message);
}

std::string name_of(const VelmoraControlLoop::NameIds& names, std::uint8_t id) {
  for (const auto& [name, value] : names)
    if (value == id) return name;
  return "Unknown(" + std::to_string(id) + ")";
}

std::expected<void, MotorError> check_motors(VelmoraMotorController& controller) {
  if (controller.has_serial_port()) {
    const auto missing = controller.check_missing_ids();
    if (missing.size() >= 7) return std::unexpected(MotorError(MotorError::NoMotorsDetected{}));
    if (!missing.empty()) {
      const auto names = VelmoraMotorController::get_motor_name_id();
      std::vector<std::string> missing_names;
      for (auto id : missing) missing_names.push_back(name_of(names, id));
      return std::unexpected(MotorError(MotorError::MissingMotors{std::move(missing_names)}));
    }
  }
  auto neck = controller.check_missing_neck_motors();
  if (!neck.empty()) return std::unexpected(MotorError(MotorError::MissingMotors{std::move(neck)}));
  return {};
}

// Start-up reports a failed step with a fixed error; the log says which
// step, which device and why, once.
void log_failed_step(std::string_view step, const std::string& device, const controller::ControllerError& why) {
  if (log::enabled(log::Level::Error, log::kControlLoopTarget)) {
    log::write(log::Level::Error, log::kControlLoopTarget,
               "start-up: " + std::string(step) + " failed (" + device + ": " + why.detail() + ")");
  }
}

MotorError failed_step(VelmoraMotorController& controller, std::string_view step,
                       const controller::ControllerError& why) {
  log_failed_step(step, controller.device_name(why.bus), why);
  return MotorError::communication();
}

// The servo supply must be up before the servos are rebooted into a known state.
std::expected<void, MotorError> wait_for_voltage_then_reboot(VelmoraMotorController& controller,
                                                             const LoopSettings& s, LoopClock& clock,
                                                             const StopRequested& stop) {
  // The texts name the servos' nominal 12 V supply; the wait itself is for kMinimumDecivolts.
  info("Waiting for voltage to be stable at 12V...");
  auto read = [&] { return with_retry(s.allowed_retries, clock, [&] { return controller.read_all_voltages(); }); };
  auto volts = read();
  if (!volts) return std::unexpected(failed_step(controller, "reading the supply voltage", volts.error()));
  const auto start = clock.now();
  auto low = [&] { return std::ranges::any_of(*volts, [](std::uint8_t v) { return v < kMinimumDecivolts; }); };
  while (low() && clock.now() - start < s.voltage_rampup_timeout) {
    clock.sleep_for(kVoltagePollInterval);
    if (stop && stop()) return std::unexpected(MotorError(MotorError::Interrupted{}));
    volts = read();
    if (!volts) return std::unexpected(failed_step(controller, "reading the supply voltage", volts.error()));
  }
  if (low()) {
    return std::unexpected(
        MotorError(MotorError::VoltageRampupTimeout{std::ranges::min(*volts), s.voltage_rampup_timeout}));
  }
  info("Voltage is stable at ~12V: " + text::bracketed(*volts, text::decimal) + " (took " +
       numfmt::duration(clock.now() - start) + ")");
  if (auto rebooted = controller.reboot(kRebootTimeout, stop); !rebooted) {
    if (rebooted.error().interrupted) return std::unexpected(MotorError(MotorError::Interrupted{}));
    return std::unexpected(failed_step(controller, "rebooting the servos", rebooted.error()));
  }
  return {};
}

// `failure` is already in its report form (a quoted message, or the marker
// of a failure that carries none).
void report_failure(const std::string& failure) {
  if (log::enabled(log::Level::Error, log::kControlLoopTarget))
    log::write(log::Level::Error, log::kControlLoopTarget, "Failed to join control loop thread: " + failure);
}

}  // namespace

std::optional<std::string> invalid_settings(const LoopSettings& settings) {
  if (settings.read_position_loop_period <= std::chrono::nanoseconds::zero())
    return "read_position_loop_period must be greater than zero";
  if (settings.allowed_retries == 0) return "allowed_retries must be at least 1";
  return std::nullopt;
}

std::expected<std::unique_ptr<VelmoraControlLoop>, MotorError> VelmoraControlLoop::create(LoopSettings s,
                                                                                          const HardwareFactory& open,
                                                                                          const StopRequested& stop) {
  if (auto why = invalid_settings(s)) throw std::invalid_argument(*why);
  auto commands = std::make_shared<MotorCommandQueue>();
  auto clock = s.clock ? s.clock : steady_loop_clock();

  if (s.serialport) {
    // The file system would look only at the part before an embedded NUL.
    std::error_code ec;
    if (s.serialport->find('\0') != std::string::npos || !std::filesystem::exists(*s.serialport, ec) || ec)
      return std::unexpected(MotorError(MotorError::PortNotFound{*s.serialport}));
  }
  auto opened = open(s.serialport, s.can_bus, clock);
  if (!opened) {
    const auto& why = opened.error();
    log_failed_step("opening the buses", VelmoraMotorController::device_name(why.bus, s.serialport.value_or(""), s.can_bus),
                    why);
    return std::unexpected(MotorError(MotorError::PortOpenFailed{s.serialport.value_or("")}));
  }
  std::unique_ptr<VelmoraMotorController> controller = std::move(*opened);
  // A running loop must not spend its ticks on a device that is away.
  controller->set_reconnect_interval(kReconnectInterval);

  if (auto ok = check_motors(*controller); !ok) return std::unexpected(ok.error());
  if (controller->has_serial_port()) {
    if (auto ok = wait_for_voltage_then_reboot(*controller, s, *clock, stop); !ok) return std::unexpected(ok.error());
  }
  NameIds names = VelmoraMotorController::get_motor_name_id();

  controller::ControllerError why;
  auto first = read_pos(*controller, s.allowed_retries, *clock, &why);
  if (!first) return std::unexpected(failed_step(*controller, "the first reading", why));

  TorqueResult torque = false;
  if (controller->has_serial_port()) {
    auto t = with_retry(s.allowed_retries, *clock, [&] { return controller->is_torque_enabled(); });
    if (!t) return std::unexpected(failed_step(*controller, "reading the torque state", t.error()));
    torque = *t;
  }

  auto cells = std::make_shared<SharedCells>(std::move(*first), torque, s.stats_pub_period);
  std::unique_ptr<VelmoraControlLoop> loop(new VelmoraControlLoop(commands, cells, std::move(names), clock));
  LoopContext ctx{.controller = std::move(controller),
                  .commands = commands,
                  .cells = cells,
                  .period = s.read_position_loop_period,
                  .allowed_retries = s.allowed_retries,
                  .choice_seed = std::nullopt,
                  .clock = clock};
  try {
    loop->thread_ = std::thread([ctx = std::move(ctx), record = loop->thread_record_]() mutable {
      record->id.store(std::this_thread::get_id());
      try {
        run(std::move(ctx));
      } catch (const std::exception& e) {
        record->failure = text::quoted(e.what());
      } catch (...) {
        record->failure = "Any { .. }";
      }
      // A later thread may be given this id once this one is joined.
      record->id.store(std::thread::id{});
      if (record->orphaned && record->failure) report_failure(*record->failure);
    });
  } catch (const std::system_error&) {
    throw std::runtime_error("failed to spawn thread");
  }
  // Named here rather than by the thread itself, so it has its name by the
  // time anyone can look: top -H and ps -L tell it from the interpreter's.
  (void)::pthread_setname_np(loop->thread_.native_handle(), kLoopThreadName);
  return loop;
}

VelmoraControlLoop::~VelmoraControlLoop() {
  close();
  // Dropped on its own thread, which cannot join itself: the thread finishes
  // its drain unowned and reports its own failure, if any.
  std::lock_guard lock(join_mutex_);
  if (thread_.joinable()) {
    thread_record_->orphaned = true;
    thread_.detach();
  }
}

void VelmoraControlLoop::close() {
  cells_->stop_flag.set(true);
  // What is queued now is executed before the thread ends; later sends are
  // refused, or busy senders could keep the drain, and this close, going
  // for ever.
  commands_->stop_accepting();
  commands_->nudge();
  if (on_loop_thread()) return;  // the thread ends after its drain; another close joins it
  std::lock_guard lock(join_mutex_);
  if (!thread_.joinable()) return;
  thread_.join();
  if (thread_record_->failure) report_failure(*thread_record_->failure);
}

std::expected<void, RealtimeError> VelmoraControlLoop::set_realtime(int priority, std::optional<int> cpu) {
  // Running on the loop thread (a log handler), the thread is alive, and a
  // close() joining it may hold the lock: waiting for it would never end.
  if (on_loop_thread()) return apply_realtime(::pthread_self(), priority, cpu);
  // The handle is valid until the join, which close() does under this lock.
  std::lock_guard lock(join_mutex_);
  if (!thread_.joinable() || !is_open())
    return std::unexpected(RealtimeError{RealtimeError::Kind::Failed, "control loop is closed"});
  return apply_realtime(thread_.native_handle(), priority, cpu);
}

std::optional<ControlLoopStats> VelmoraControlLoop::get_stats() const {
  if (!cells_->stats_pub_period) return std::nullopt;
  // Only block pointers are copied under the lock the loop thread takes at
  // every tick; the samples are copied after.
  return cells_->last_stats.read([](const StatsWindows& w) { return w.snapshot(); }).flatten();
}

std::expected<Bytes, MotorError> VelmoraControlLoop::async_read_raw_bytes(std::uint8_t id, std::uint8_t addr,
                                                                         std::uint8_t length) {
  // On the loop thread the reply could only come after this call returned.
  if (on_loop_thread()) return std::unexpected(MotorError::communication());
  auto [tx, rx] = make_reply_channel<Bytes>();
  if (!send(cmd::ReadRawBytes{id, addr, length, std::move(tx)})) return std::unexpected(MotorError::communication());
  auto reply = rx.recv_for(*clock_, kReadRawBytesTimeout);
  if (!reply) return std::unexpected(MotorError::communication());
  return std::move(*reply);
}

}  // namespace velmora::control_loop
