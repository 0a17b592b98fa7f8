#include "controller/controller.hpp"

#include <source_location>
#include <thread>

#include "common/log.hpp"
#include "common/text.hpp"
#include "controller/lift.hpp"
#include "motorcom/socketcan_backend.hpp"
#include "servocom/serial_port.hpp"

namespace velmora::controller {
namespace {

using motorcom::damiao::Damiao;
using motorcom::damiao::MitCommand;
using motorcom::damiao::MitLimits;

constexpr std::chrono::milliseconds kNeckReplyTimeout{20};
constexpr std::chrono::milliseconds kRebootPollInterval{100};

Damiao neck_motor(std::uint16_t can_id, MitLimits limits) {
  return Damiao{kNeckReplyTimeout, limits, can_id, can_id};
}

std::array<Damiao, 3> make_neck_motors() {
  return {neck_motor(NECK_CAN_IDS[0], {12.5F, 30.0F, 500.0F, 5.0F, 10.0F}),
          neck_motor(NECK_CAN_IDS[1], {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}),
          neck_motor(NECK_CAN_IDS[2], {12.5F, 10.0F, 500.0F, 5.0F, 28.0F})};
}

std::array<MitCommand, 3> default_neck_commands() {
  return {MitCommand{0.0F, 0.0F, 30.0F, 1.0F, 0.0F}, MitCommand{0.0F, 0.0F, 60.0F, 2.0F, 0.0F},
          MitCommand{0.0F, 0.0F, 60.0F, 2.0F, 0.0F}};
}

std::string servo_name(std::uint8_t id) {
  for (const auto& [name, servo_id] : VelmoraMotorController::get_motor_name_id()) {
    if (servo_id == id) return name;
  }
  return "unknown";
}

// The record carries the caller's source line, not this helper's.
void warn(const std::string& message, std::source_location where = std::source_location::current()) {
  log::write(log::Level::Warn, log::kControllerTarget, message, where);
}

}  // namespace

Result<std::unique_ptr<VelmoraMotorController>> VelmoraMotorController::create(
    const std::optional<std::string>& serialport, const std::string& can_bus, Sleep sleep, Clock clock) {
  std::unique_ptr<servocom::Port> port;
  if (serialport) {
    auto opened = servocom::SerialPort::open(*serialport);
    if (!opened) return std::unexpected(lifted(opened.error()));
    if (const auto& why = (*opened)->low_latency_refused(); !why.empty()) {
      log::write(log::Level::Debug, log::kControllerTarget,
                 "serial port " + *serialport + ": low-latency mode not granted (" + why +
                     "); replies may wait for the adapter's latency timer");
    }
    port = std::move(*opened);
  }
  auto can = motorcom::SocketCanTransport::open(can_bus, clock);
  if (!can) {
    // `port` goes out of scope here and closes the serial device again.
    return std::unexpected(lifted(can.error(), "failed to open CAN bus '" + can_bus + "': "));
  }
  Reopen reopen;
  if (serialport) {
    reopen.serial_path = *serialport;
    reopen.serial = [path = *serialport]() -> servocom::Result<std::unique_ptr<servocom::Port>> {
      auto opened = servocom::SerialPort::open(path);
      if (!opened) return std::unexpected(opened.error());
      return std::unique_ptr<servocom::Port>(std::move(*opened));
    };
  }
  reopen.can_name = can_bus;
  reopen.can = [can_bus, clock]() -> motorcom::CanResult<std::unique_ptr<motorcom::CanTransport>> {
    auto opened = motorcom::SocketCanTransport::open(can_bus, clock);
    if (!opened) return std::unexpected(opened.error());
    return std::unique_ptr<motorcom::CanTransport>(std::move(*opened));
  };
  return std::make_unique<VelmoraMotorController>(std::move(port), std::move(*can), std::move(sleep),
                                                  std::move(clock), std::move(reopen));
}

VelmoraMotorController::VelmoraMotorController(std::unique_ptr<servocom::Port> port,
                                               std::unique_ptr<motorcom::CanTransport> can, Sleep sleep,
                                               Clock clock, Reopen reopen)
    : neck_motors_(make_neck_motors()),
      feetech_handler_(std::nullopt, sleep),
      neck_commands_(default_neck_commands()),
      sleep_(std::move(sleep)),
      clock_(std::move(clock)) {
  if (!sleep_) sleep_ = [](std::chrono::microseconds d) { std::this_thread::sleep_for(d); };
  if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
  if (port) serial_.emplace(std::move(reopen.serial_path), std::move(port), std::move(reopen.serial));
  can_transport_ = std::make_unique<CanLink>(std::move(reopen.can_name), std::move(can), std::move(reopen.can), clock_,
                                             sleep_, kNeckReplyTimeout);
}

VelmoraMotorController::~VelmoraMotorController() = default;

void VelmoraMotorController::set_reconnect_interval(std::chrono::nanoseconds interval) {
  if (serial_) serial_->set_reopen_interval(interval);
  can_transport_->set_reopen_interval(interval);
}

std::string VelmoraMotorController::device_name(ControllerError::Bus bus) const {
  return device_name(bus, serial_ ? serial_->path() : std::string(), can_transport_->name());
}

std::string VelmoraMotorController::device_name(ControllerError::Bus bus, std::string_view serial_path,
                                                std::string_view can_name) {
  switch (bus) {
    case ControllerError::Bus::Servos: return "serial port " + std::string(serial_path);
    case ControllerError::Bus::Neck: return "CAN interface " + std::string(can_name);
    case ControllerError::Bus::None: break;
  }
  return "the torso";
}

std::vector<std::uint8_t> VelmoraMotorController::silent_servos(std::span<const std::uint8_t> ids) {
  std::vector<std::uint8_t> silent;
  for (std::uint8_t id : ids) {
    auto answered = on_servos(Use::Other, [&](servocom::Port& port) { return lift(feetech_handler_.ping(port, id)); });
    if (!answered || !*answered) silent.push_back(id);
  }
  return silent;
}

std::vector<std::uint8_t> VelmoraMotorController::check_missing_ids() {
  if (!serial_) return {};
  return silent_servos(SERVO_IDS);
}

std::vector<std::string> VelmoraMotorController::check_missing_neck_motors() {
  prepare_neck();
  std::vector<std::string> missing;
  auto reading = start_neck_reading();
  for (std::size_t i = 0; i < neck_motors_.size(); ++i) {
    auto feedback = neck_motors_[i].feedback_reply(reading.pending, reading.requests[i]);
    if (feedback) {
      // It answered: present, even where its position is not known.
      (void)take_neck_report(i, feedback->position);
    } else {
      missing.emplace_back(NECK_JOINT_NAMES[i]);
    }
  }
  return missing;
}

std::unordered_map<std::string, std::uint8_t> VelmoraMotorController::get_motor_name_id() {
  std::unordered_map<std::string, std::uint8_t> names;
  for (std::size_t i = 0; i < SERVO_IDS.size(); ++i) names.emplace(SERVO_JOINT_NAMES[i], SERVO_IDS[i]);
  return names;
}

Result<void> VelmoraMotorController::reboot(std::chrono::nanoseconds timeout, const StopRequested& stop) {
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
