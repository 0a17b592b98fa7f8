#pragma once
// Damiao MIT impedance command and feedback payloads. Pure functions.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace motorcom::damiao {

struct MitLimits {
  float p_max;
  float v_max;
  float kp_max;
  float kd_max;
  float t_max;
};

struct MitCommand {
  float position;
  float velocity;
  float kp;
  float kd;
  float torque;
};

struct MitFeedback {
  float position;
  float velocity;
  float torque;
  std::uint8_t motor_id;
  std::uint8_t status;
  std::uint8_t temperature1;  // payload byte 6, unchanged
  std::uint8_t temperature2;  // payload byte 7, unchanged
};

std::array<std::uint8_t, 8> encode(const MitLimits& limits, const MitCommand& command);
// Empty when the payload holds fewer than 8 bytes.
std::optional<MitFeedback> decode_state(const MitLimits& limits, std::span<const std::uint8_t> payload);

}  // namespace motorcom::damiao
