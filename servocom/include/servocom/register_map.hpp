#pragma once
// Register maps of the two Feetech servo models. Every function addresses a
// list of ids at once: reads are one sync read, writes one sync write. Write
// functions take one value per id, in the same order; callers pass at least
// one id and as many values as ids (a write that breaks this is refused with
// Kind::InvalidRequest, nothing sent). A read whose reply is not exactly the
// register's size fails with Kind::BadReply. sm40bl::sync_write_offset
// refuses (Kind::InvalidRequest) offsets beyond about +-pi, whose magnitude
// would spill into the sign bit.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "servocom/feetech_handler.hpp"

namespace servocom {

using Ids = std::span<const std::uint8_t>;

// Functions common to both models (same registers, same conversions); each
// model's namespace names them.
namespace common_registers {
Result<std::vector<double>> sync_read_present_position(const FeetechProtocolHandler& h, Port& port, Ids ids);
Result<std::vector<std::int16_t>> sync_read_raw_present_position(const FeetechProtocolHandler& h, Port& port,
                                                                 Ids ids);
Result<void> sync_write_goal_position(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                      std::span<const double> radians);
Result<void> sync_write_raw_goal_position(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                          std::span<const std::int16_t> raw);
Result<std::vector<bool>> sync_read_torque_enable(const FeetechProtocolHandler& h, Port& port, Ids ids);
Result<std::vector<std::uint8_t>> sync_read_raw_torque_enable(const FeetechProtocolHandler& h, Port& port,
                                                              Ids ids);
Result<void> sync_write_torque_enable(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                      const std::vector<bool>& enable);
Result<void> sync_write_raw_torque_enable(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                          std::span<const std::uint8_t> raw);
Result<std::vector<std::uint8_t>> sync_read_present_voltage(const FeetechProtocolHandler& h, Port& port, Ids ids);
}  // namespace common_registers

// Both models have every register of common_registers, at the same addresses.
namespace sm40bl {
using namespace common_registers;
Result<std::vector<double>> sync_read_offset(const FeetechProtocolHandler& h, Port& port, Ids ids);
Result<std::vector<std::uint16_t>> sync_read_raw_offset(const FeetechProtocolHandler& h, Port& port, Ids ids);
Result<void> sync_write_offset(const FeetechProtocolHandler& h, Port& port, Ids ids, std::span<const double> radians);
Result<void> sync_write_raw_offset(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                   std::span<const std::uint16_t> raw);
Result<void> sync_write_lock(const FeetechProtocolHandler& h, Port& port, Ids ids, const std::vector<bool>& lock);
Result<void> sync_write_raw_lock(const FeetechProtocolHandler& h, Port& port, Ids ids,
                                 std::span<const std::uint8_t> raw);
}  // namespace sm40bl

namespace sts3025bl {
using namespace common_registers;
}  // namespace sts3025bl

// The position loop's PID gains, the same on both models: three one-byte
// registers from kPidGainsAddress holding P, D and I, in that order. Callers
// move them as raw bytes; what lives here is where they are and their order.
inline constexpr std::uint8_t kPidGainsAddress = 21;
inline constexpr std::uint8_t kPidGainsLength = 3;

struct PidGains {
  std::uint8_t p = 0;
  std::uint8_t i = 0;
  std::uint8_t d = 0;
};

// The register bytes for `gains`, from kPidGainsAddress on.
std::array<std::uint8_t, kPidGainsLength> encode_pid_gains(PidGains gains);
// The gains in the bytes read from kPidGainsAddress; Kind::BadReply unless
// there are exactly kPidGainsLength of them.
Result<PidGains> decode_pid_gains(std::span<const std::uint8_t> bytes);

// What one read shows of a servo, the same on both models: the registers from
// the model number (kServoStateAddress) to the present temperature.
inline constexpr std::uint8_t kServoStateAddress = 3;
inline constexpr std::uint8_t kServoStateLength = 61;

struct ServoState {
  std::uint16_t model = 0;
  double supply_volts = 0.0;
  std::uint8_t temperature = 0;  // degrees Celsius
  double position = 0.0;         // rad, as sync_read_present_position gives it
  double offset = 0.0;           // rad, as sm40bl::sync_read_offset gives it
  bool eeprom_locked = false;
  bool torque_enabled = false;
};

// The state in the bytes read from kServoStateAddress; Kind::BadReply unless
// there are exactly kServoStateLength of them.
Result<ServoState> decode_servo_state(std::span<const std::uint8_t> bytes);

}  // namespace servocom
