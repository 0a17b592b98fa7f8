#include "servocom/conversions.hpp"

#include <cmath>

namespace servocom {

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kStepsPerTurn = 4096.0;
constexpr std::uint16_t kOffsetMagnitude = 0x07FF;
constexpr std::uint16_t kOffsetSign = 0x0800;
}  // namespace

double raw_position_to_radians(std::int16_t raw) { return (raw * kTwoPi) * 0.000244140625 - kPi; }

std::int16_t radians_to_raw_position(double radians) {
  const double x = ((radians + kPi) * kStepsPerTurn) / kTwoPi;
  if (std::isnan(x)) return 0;
  if (x <= -32768.0) return INT16_MIN;
  if (x >= 32767.0) return INT16_MAX;
  return static_cast<std::int16_t>(x);  // truncates toward zero
}

double raw_offset_to_radians(std::uint16_t raw) {
  const double magnitude = ((raw & kOffsetMagnitude) * kPi) / 2047.0;
  return (raw & 0xF800) == kOffsetSign ? -magnitude : magnitude;
}

std::optional<std::uint16_t> radians_to_raw_offset(double radians) {
  double magnitude = (std::fabs(radians) * 2047.0) / kPi;
  if (std::isnan(magnitude)) magnitude = 0.0;
  if (magnitude >= kOffsetMagnitude + 1.0) return std::nullopt;
  auto raw = static_cast<std::uint16_t>(magnitude);
  if (std::signbit(radians)) raw |= kOffsetSign;
  return raw;
}

}  // namespace servocom
