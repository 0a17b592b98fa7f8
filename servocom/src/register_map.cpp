#include "servocom/register_map.hpp"

#include <string>

#include "register_io.hpp"
#include "servocom/conversions.hpp"

namespace servocom {

namespace {

std::int16_t as_signed(std::uint16_t raw) { return static_cast<std::int16_t>(raw); }
std::uint8_t as_byte(std::uint16_t raw) { return static_cast<std::uint8_t>(raw); }
std::uint8_t flag(bool b) { return b ? 1 : 0; }

}  // namespace

namespace common_registers {

Result<std::vector<double>> sync_read_present_position(const FeetechProtocolHandler& h, Port& port, Ids ids) {
  return detail::read_register<double>(h, port, ids, detail::kPresentPosition,
                                       [](std::uint16_t raw) { return raw_position_to_radians(as_signed(raw)); });
}
Result<std::vector<std::int16_t>> sync_read_raw_present_position(const FeetechProtocolHandler& h, Port& port,
                                                                 Ids ids) {
  return detail::read_register<std::int16_t>(h, port, ids, detail::kPresentPosition, as_signed);
}
Result<void> sync_write_goal_position(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                      std::span<const double> radians) {
  return detail::write_register(h, port, ids, detail::kGoalPosition, radians, [](double v) {
    return static_cast<std::uint16_t>(radians_to_raw_position(v));
  });
}
Result<void> sync_write_raw_goal_position(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                          std::span<const std::int16_t> raw) {
  return detail::write_register(h, port, ids, detail::kGoalPosition, raw,
                                [](std::int16_t v) { return static_cast<std::uint16_t>(v); });
}
Result<std::vector<bool>> sync_read_torque_enable(const FeetechProtocolHandler& h, Port& port, Ids ids) {
  return detail::read_register<bool>(h, port, ids, detail::kTorqueEnable,
                                     [](std::uint16_t raw) { return raw != 0; });
}
Result<std::vector<std::uint8_t>> sync_read_raw_torque_enable(const FeetechProtocolHandler& h, Port& port,
                                                              Ids ids) {
  return detail::read_register<std::uint8_t>(h, port, ids, detail::kTorqueEnable, as_byte);
}
Result<void> sync_write_torque_enable(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                      const std::vector<bool>& enable) {
  return detail::write_register(h, port, ids, detail::kTorqueEnable, enable, flag);
}
Result<void> sync_write_raw_torque_enable(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                          std::span<const std::uint8_t> raw) {
  return detail::write_register(h, port, ids, detail::kTorqueEnable, raw, [](std::uint8_t v) { return v; });
}
Result<std::vector<std::uint8_t>> sync_read_present_voltage(const FeetechProtocolHandler& h, Port& port, Ids ids) {
  return detail::read_register<std::uint8_t>(h, port, ids, detail::kPresentVoltage, as_byte);
}

}  // namespace common_registers

namespace sm40bl {

Result<std::vector<double>> sync_read_offset(const FeetechProtocolHandler& h, Port& port, Ids ids) {
  return detail::read_register<double>(h, port, ids, detail::kPositionOffset, raw_offset_to_radians);
}

Result<std::vector<std::uint16_t>> sync_read_raw_offset(const FeetechProtocolHandler& h, Port& port, Ids ids) {
  return detail::read_register<std::uint16_t>(h, port, ids, detail::kPositionOffset,
                                              [](std::uint16_t raw) { return raw; });
}

Result<void> sync_write_offset(const FeetechProtocolHandler& h, Port& port, Ids ids,
                               std::span<const double> radians) {
  // Offsets live in EEPROM: refuse the whole write rather than store a value
  // whose magnitude would flip the sign bit.
  std::vector<std::uint16_t> raw;
  raw.reserve(radians.size());
  for (std::size_t i = 0; i < radians.size(); ++i) {
    auto r = radians_to_raw_offset(radians[i]);
    if (!r) {
      return std::unexpected(Error::invalid_request("position offset " + std::to_string(radians[i]) +
                                                    " rad for servo " +
                                                    (i < ids.size() ? std::to_string(ids[i]) : std::string("?")) +
                                                    " is outside [-pi, pi]"));
    }
    raw.push_back(*r);
  }
  return sync_write_raw_offset(h, port, ids, raw);
}

Result<void> sync_write_raw_offset(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                   std::span<const std::uint16_t> raw) {
  return detail::write_register(h, port, ids, detail::kPositionOffset, raw, [](std::uint16_t v) { return v; });
}

Result<void> sync_write_lock(const FeetechProtocolHandler& h, Port& port, Ids ids, const std::vector<bool>& lock) {
  return detail::write_register(h, port, ids, detail::kLock, lock, [](bool b) { return b ? 1 : 0; });
}

Result<void> sync_write_raw_lock(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                 std::span<const std::uint8_t> raw) {
  return detail::write_register(h, port, ids, detail::kLock, raw, [](std::uint8_t v) { return v; });
}

}  // namespace sm40bl

std::array<std::uint8_t, kPidGainsLength> encode_pid_gains(PidGains gains) { return {gains.p, gains.d, gains.i}; }

Result<PidGains> decode_pid_gains(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kPidGainsLength) {
    return std::unexpected(Error::bad_reply("PID gains read with " + std::to_string(bytes.size()) +
                                            " bytes instead of " + std::to_string(kPidGainsLength)));
  }
  return PidGains{.p = bytes[0], .i = bytes[2], .d = bytes[1]};
}

static_assert(detail::kModel.address == kServoStateAddress &&
              detail::kPresentTemperature.address + 1 == kServoStateAddress + kServoStateLength);

Result<ServoState> decode_servo_state(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kServoStateLength) {
    return std::unexpected(Error::bad_reply("servo state read with " + std::to_string(bytes.size()) +
                                            " bytes instead of " + std::to_string(kServoStateLength)));
  }
  auto raw = [&](detail::Register reg) {
    const std::size_t i = reg.address - kServoStateAddress;
    return static_cast<std::uint16_t>(reg.size == 1 ? bytes[i] : bytes[i] | (bytes[i + 1] << 8));
  };
  return ServoState{.model = raw(detail::kModel),
                    .supply_volts = raw(detail::kPresentVoltage) / 10.0,
                    .temperature = as_byte(raw(detail::kPresentTemperature)),
                    .position = raw_position_to_radians(as_signed(raw(detail::kPresentPosition))),
                    .offset = raw_offset_to_radians(raw(detail::kPositionOffset)),
                    .eeprom_locked = raw(detail::kLock) != 0,
                    .torque_enabled = raw(detail::kTorqueEnable) != 0};
}

}  // namespace servocom
