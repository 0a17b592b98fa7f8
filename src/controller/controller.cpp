#include "controller/controller.hpp"

#include <thread>

#include "common/log.hpp"
#include "controller/lift.hpp"
#include "motorcom/socketcan_backend.hpp"
#include "servocom/serial_port.hpp"

namespace velmora::controller {
namespace {

VelmoraMotorController::Sleep real_if_empty(VelmoraMotorController::Sleep sleep) {
  if (!sleep) return [](std::chrono::microseconds d) { std::this_thread::sleep_for(d); };
  return sleep;
}

VelmoraMotorController::Clock real_if_empty(VelmoraMotorController::Clock clock) {
  if (!clock) return [] { return std::chrono::steady_clock::now(); };
  return clock;
}

}  // namespace

Result<std::unique_ptr<VelmoraMotorController>> VelmoraMotorController::create(
    const std::optional<std::string>& serialport, const std::string& can_bus, Sleep sleep, Clock clock) {
  using servocom::SerialPort;
  std::unique_ptr<servocom::Port> port;
  if (serialport) {
    auto opened = SerialPort::open(*serialport, SerialPort::kDefaultBaud, SerialPort::kDefaultTimeout, clock, sleep);
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
    reopen.serial = [path = *serialport, clock, sleep]() -> servocom::Result<std::unique_ptr<servocom::Port>> {
      auto opened = SerialPort::open(path, SerialPort::kDefaultBaud, SerialPort::kDefaultTimeout, clock, sleep);
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
    : neck_(std::move(can), std::move(reopen.can_name), std::move(reopen.can), real_if_empty(sleep),
            real_if_empty(clock)),
      servos_(std::move(port), std::move(reopen.serial_path), std::move(reopen.serial), real_if_empty(std::move(sleep)),
              real_if_empty(std::move(clock))) {}

VelmoraMotorController::~VelmoraMotorController() = default;

std::string VelmoraMotorController::device_name(ControllerError::Bus bus, std::string_view serial_path,
                                                std::string_view can_name) {
  switch (bus) {
    case ControllerError::Bus::Servos: return "serial port " + std::string(serial_path);
    case ControllerError::Bus::Neck: return "CAN interface " + std::string(can_name);
    case ControllerError::Bus::None: break;
  }
  return "the torso";
}

Result<TorsoReading> VelmoraMotorController::read_torso_position() {
  if (!has_serial_port()) return std::unexpected(ControllerError::text(std::string(kNeckOnlyError)));
  return read_torso_with([this] { return servos_.read_all_positions(); });
}

}  // namespace velmora::controller
