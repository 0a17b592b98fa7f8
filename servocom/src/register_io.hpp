#pragma once
// Register access shared by both servo models: one sync read or sync write of
// a 1- or 2-byte little-endian register, with a per-value conversion.

#include <cstdint>
#include <string>
#include <vector>

#include "servocom/register_map.hpp"

namespace servocom::detail {

struct Register {
  std::uint8_t address;
  std::uint8_t size;  // 1 or 2 bytes
  const char* name;
};

inline constexpr Register kModel{3, 2, "model"};
inline constexpr Register kPositionOffset{31, 2, "position offset"};
inline constexpr Register kTorqueEnable{40, 1, "torque enable"};
inline constexpr Register kGoalPosition{42, 2, "goal position"};
inline constexpr Register kLock{55, 1, "lock"};
inline constexpr Register kPresentPosition{56, 2, "present position"};
inline constexpr Register kPresentVoltage{62, 1, "present voltage"};
inline constexpr Register kPresentTemperature{63, 1, "present temperature"};

inline std::vector<std::uint8_t> encode(Register reg, std::uint16_t raw) {
  if (reg.size == 1) return {static_cast<std::uint8_t>(raw)};
  return {static_cast<std::uint8_t>(raw & 0xFF), static_cast<std::uint8_t>(raw >> 8)};
}

// from_raw turns the register's unsigned value into the caller's type.
template <class T, class FromRaw>
Result<std::vector<T>> read_register(const FeetechProtocolHandler& h, Port& port, Ids ids, Register reg,
                                     FromRaw from_raw) {
  auto replies = h.sync_read(port, ids, reg.address, reg.size);
  if (!replies) return std::unexpected(replies.error());
  std::vector<T> values;
  values.reserve(replies->size());
  for (std::size_t i = 0; i < replies->size(); ++i) {
    const auto& r = (*replies)[i];
    // A reply of another size is not this register's value: never guess.
    if (r.size() != reg.size) {
      return std::unexpected(Error::bad_reply("servo " + std::to_string(ids[i]) + " answered a " + reg.name +
                                              " read with " + std::to_string(r.size()) + " bytes instead of " +
                                              std::to_string(reg.size)));
    }
    const auto raw = static_cast<std::uint16_t>(reg.size == 1 ? r[0] : r[0] | (r[1] << 8));
    values.push_back(from_raw(raw));
  }
  return values;
}

// to_raw turns one caller value into the register's unsigned value.
template <class Values, class ToRaw>
Result<void> write_register(const FeetechProtocolHandler& h, Port& port, Ids ids, Register reg,
                            const Values& values, ToRaw to_raw) {
  std::vector<std::vector<std::uint8_t>> data;
  data.reserve(values.size());
  for (auto v : values) data.push_back(encode(reg, static_cast<std::uint16_t>(to_raw(v))));
  return h.sync_write(port, ids, reg.address, data);
}

}  // namespace servocom::detail
