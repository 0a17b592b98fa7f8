#include "motorcom/damiao/mit.hpp"

#include "common/saturate.hpp"

namespace motorcom::damiao {
namespace {

using velmora::clamp;
using velmora::saturating_cast;  // so no code spills into its neighbour's bits

std::uint8_t byte(std::uint32_t v) { return static_cast<std::uint8_t>(v & 0xFFU); }

constexpr std::uint32_t k16 = 65535;
constexpr std::uint32_t k12 = 4095;

}  // namespace

std::array<std::uint8_t, 8> encode(const MitLimits& l, const MitCommand& c) {
  const float p = clamp(c.position, -l.p_max, l.p_max);
  const float v = clamp(c.velocity, -l.v_max, l.v_max);
  const float kp = clamp(c.kp, 0.0F, l.kp_max);
  const float kd = clamp(c.kd, 0.0F, l.kd_max);
  const float t = clamp(c.torque, -l.t_max, l.t_max);

  const std::uint32_t p_code = saturating_cast(((p + l.p_max) * 65535.0F) / (l.p_max + l.p_max), k16);
  const std::uint32_t v_code = saturating_cast(((v + l.v_max) * 4095.0F) / (l.v_max + l.v_max), k12);
  const std::uint32_t kp_code = saturating_cast((kp * 4095.0F) / l.kp_max, k12);
  const std::uint32_t kd_code = saturating_cast((kd * 4095.0F) / l.kd_max, k12);
  const std::uint32_t t_code = saturating_cast(((t + l.t_max) * 4095.0F) / (l.t_max + l.t_max), k12);

  return {
      byte(p_code >> 8),
      byte(p_code),
      byte(v_code >> 4),
      byte(((v_code & 0xFU) << 4) | (kp_code >> 8)),
      byte(kp_code),
      byte(kd_code >> 4),
      byte(((kd_code & 0xFU) << 4) | (t_code >> 8)),
      byte(t_code),
  };
}

std::optional<MitFeedback> decode_state(const MitLimits& l, std::span<const std::uint8_t> b) {
  if (b.size() < 8) return std::nullopt;
  const auto p_code = static_cast<std::uint32_t>(b[1] << 8 | b[2]);
  const auto v_code = static_cast<std::uint32_t>(b[3] << 4 | b[4] >> 4);
  const auto t_code = static_cast<std::uint32_t>((b[4] & 0x0F) << 8 | b[5]);
  MitFeedback f{};
  f.motor_id = static_cast<std::uint8_t>(b[0] & 0x0F);
  f.status = static_cast<std::uint8_t>(b[0] >> 4);
  f.position = (static_cast<float>(p_code) * (l.p_max + l.p_max)) / 65535.0F - l.p_max;
  f.velocity = (static_cast<float>(v_code) * (l.v_max + l.v_max)) / 4095.0F - l.v_max;
  f.torque = (static_cast<float>(t_code) * (l.t_max + l.t_max)) / 4095.0F - l.t_max;
  f.temperature1 = b[6];
  f.temperature2 = b[7];
  return f;
}

}  // namespace motorcom::damiao
