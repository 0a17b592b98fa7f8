#pragma once
// Pure conversions between joint units and Feetech register values.

#include <cstdint>
#include <optional>

namespace servocom {

// 4096 steps per turn, raw 2048 is 0 rad; raw values are signed, so 0xFFFF is
// one step below -pi.
double raw_position_to_radians(std::int16_t raw);
// Truncates toward zero (0.001 rad is 2048), clamps to the 16-bit range, NaN is 0.
std::int16_t radians_to_raw_position(double radians);

// Position offset: sign and magnitude, bit 11 the sign, magnitude in steps of
// pi/2047. Only exactly bit 11 among bits 11 to 15 reads as negative.
double raw_offset_to_radians(std::uint16_t raw);
// Empty when the magnitude needs more than the 11 magnitude bits (beyond
// about pi): it would spill into the sign bit. NaN is 0; -0.0 is 0x0800.
std::optional<std::uint16_t> radians_to_raw_offset(double radians);

}  // namespace servocom
