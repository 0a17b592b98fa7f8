#pragma once
// The Damiao parameter register table.

#include <cstdint>
#include <string_view>

namespace motorcom::damiao {

enum class RegisterKind : std::uint8_t { Float, Uint32 };

// "Float" or "Uint32".
std::string_view kind_name(RegisterKind kind);

struct RegisterValue {
  RegisterKind kind;
  std::uint32_t bits;  // the value's bit pattern; little-endian on the wire

  static RegisterValue from_float(float v);
  static RegisterValue from_uint32(std::uint32_t v) { return {RegisterKind::Uint32, v}; }
  float as_float() const;
  std::uint32_t as_uint32() const { return bits; }
  friend bool operator==(const RegisterValue&, const RegisterValue&) = default;
};

struct RegisterInfo {
  std::string_view name;
  std::string_view description;
  std::uint8_t id;
  bool writable;
  RegisterKind kind;
};

// nullptr for an id not in the table.
const RegisterInfo* lookup(std::uint8_t id);

}  // namespace motorcom::damiao
