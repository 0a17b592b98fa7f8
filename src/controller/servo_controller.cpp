#include "controller/servo_controller.hpp"

#include <source_location>

#include "common/log.hpp"
#include "common/text.hpp"
#include "controller/joint_names.hpp"
#include "controller/lift.hpp"

namespace velmora::controller {
namespace {

constexpr std::chrono::milliseconds kRebootPollInterval{100};

std::string servo_name(std::uint8_t id) {
  for (const auto& [name, servo_id] : ServoController::motor_name_id()) {
    if (servo_id == id) return name;
  }
  return "unknown";
}

// The record carries the caller's source line, not this helper's.
void warn(const std::string& message, std::source_location where = std::source_location::current()) {
  log::write(log::Level::Warn, log::kControllerTarget, message, where);
}

}  // namespace

ServoController::ServoController(std::unique_ptr<servocom::Port> port, std::string path, SerialLink::Open reopen,
                                 Sleep sleep, Clock clock)
    : feetech_handler_(std::nullopt, sleep), sleep_(std::move(sleep)), clock_(std::move(clock)) {
  if (port) serial_.emplace(std::move(path), std::move(port), std::move(reopen));
}

std::vector<std::uint8_t> ServoController::silent_servos(std::span<const std::uint8_t> ids) {
  std::vector<std::uint8_t> silent;
  for (std::uint8_t id : ids) {
    auto answered = on_servos(Use::Other, [&](servocom::Port& port) { return lift(feetech_handler_.ping(port, id)); });
    if (!answered || !*answered) silent.push_back(id);
  }
  return silent;
}

std::vector<std::uint8_t> ServoController::check_missing_ids() {
  if (!serial_) return {};
  return silent_servos(SERVO_IDS);
}

std::unordered_map<std::string, std::uint8_t> ServoController::motor_name_id() {
  std::unordered_map<std::string, std::uint8_t> names;
  for (std::size_t i = 0; i < SERVO_IDS.size(); ++i) names.emplace(SERVO_JOINT_NAMES[i], SERVO_IDS[i]);
  return names;
}

Result<void> ServoController::reboot(std::chrono::nanoseconds timeout, const StopRequested& stop) {
  if (!serial_) return {};
  for (std::uint8_t id : SERVO_IDS) {
    warn("Rebooting motor " + servo_name(id) + " (id=" + std::to_string(id) + ")");
    // Whether the servo answered the reboot instruction does not matter; only
    // a failure to send it does.
    auto sent = on_servos(Use::Other, [&](servocom::Port& port) -> Result<void> {
      if (auto r = feetech_handler_.reboot(port, id); !r) return std::unexpected(lifted(r.error()));
      return {};
    });
    if (!sent) return std::unexpected(sent.error());
  }

  std::vector<std::uint8_t> pending(SERVO_IDS.begin(), SERVO_IDS.end());
  const auto start = clock_();
  for (;;) {
    if (clock_() - start >= timeout) {
      std::vector<std::string> names;
      for (std::uint8_t id : pending) {
        warn("Motor " + servo_name(id) + " (id=" + std::to_string(id) + ") did not respond after reboot within timeout");
        names.push_back(servo_name(id));
      }
      return std::unexpected(ControllerError::text("Some motors did not respond after reboot (" +
                                                   text::bracketed(names, text::quoted) + " - ids: " +
                                                   text::bracketed(pending, text::decimal) + ")"));
    }
    sleep_(kRebootPollInterval);
    if (stop && stop()) return std::unexpected(ControllerError::stopped());
    pending = silent_servos(pending);
    if (pending.empty()) return {};
  }
}

}  // namespace velmora::controller
