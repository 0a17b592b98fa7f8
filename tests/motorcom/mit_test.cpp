#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "motorcom/damiao/mit.hpp"
#include "wire_vectors.hpp"

namespace {

using motorcom::damiao::decode_state;
using motorcom::damiao::encode;
using motorcom::damiao::MitCommand;
using motorcom::damiao::MitLimits;
using Bytes = std::array<std::uint8_t, 8>;

constexpr MitLimits kYaw{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};
constexpr MitLimits kPitch{12.5F, 10.0F, 500.0F, 5.0F, 28.0F};
constexpr float kNan = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

MitLimits limits_of(const wire_vectors::Value& vector) {
  const auto& l = wire_vectors::all()["mit_limits"][vector["limits"].text];
  return {l["p_max"].as<float>(), l["v_max"].as<float>(), l["kp_max"].as<float>(), l["kd_max"].as<float>(),
          l["t_max"].as<float>()};
}

Bytes payload_of(const wire_vectors::Value& vector) {
  const auto bytes = vector["bytes"].bytes();
  Bytes payload{};
  EXPECT_EQ(bytes.size(), payload.size());
  std::copy_n(bytes.begin(), std::min(bytes.size(), payload.size()), payload.begin());
  return payload;
}

TEST(MitEncode, KnownPayloads) {
  for (const auto& v : wire_vectors::all()["mit_commands"].items) {
    const MitCommand c{v["position"].as<float>(), v["velocity"].as<float>(), v["kp"].as<float>(),
                       v["kd"].as<float>(), v["torque"].as<float>()};
    EXPECT_EQ(encode(limits_of(v), c), payload_of(v)) << v["name"].text;
  }
}

TEST(MitEncode, ClampsEachFieldToItsRange) {
  EXPECT_EQ(encode(kYaw, {20, 0, 600, -1, 0}), (Bytes{0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0x00, 0x07, 0xFF}));
  // Every field at its top, then at its bottom: no code spills into the next.
  EXPECT_EQ(encode(kYaw, {kInf, kInf, kInf, kInf, kInf}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encode(kYaw, {-kInf, -kInf, -kInf, -kInf, -kInf}), (Bytes{}));
  EXPECT_EQ(encode(kYaw, {1e9F, -1e9F, 1e9F, -1e9F, 1e9F}), (Bytes{0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0x00, 0x0F, 0xFF}));
}

TEST(MitEncode, NanFieldGivesCodeZero) {
  EXPECT_EQ(encode(kYaw, {kNan, kNan, kNan, kNan, kNan}), (Bytes{}));
  // Only the NaN field drops to the bottom of its range.
  const Bytes zero = encode(kYaw, {0, 0, 0, 0, 0});
  Bytes nan_torque = zero;
  nan_torque[6] = 0x00;
  nan_torque[7] = 0x00;
  EXPECT_EQ(encode(kYaw, {0, 0, 0, 0, kNan}), nan_torque);
}

TEST(MitDecode, KnownPayloads) {
  for (const auto& v : wire_vectors::all()["mit_feedback"].items) {
    const auto f = decode_state(limits_of(v), payload_of(v));
    ASSERT_TRUE(f.has_value()) << v["name"].text;
    const auto& state = v["state"];
    const auto& decoded = v["decoded"];
    EXPECT_EQ(f->motor_id, state["motor_id"].as<int>());
    EXPECT_EQ(f->status, state["status"].as<int>());
    EXPECT_EQ(f->position, decoded["position"].as<float>()) << v["name"].text;
    EXPECT_EQ(f->velocity, decoded["velocity"].as<float>()) << v["name"].text;
    EXPECT_EQ(f->torque, decoded["torque"].as<float>()) << v["name"].text;
    EXPECT_EQ(f->temperature1, state["mos_temperature"].as<int>());
    EXPECT_EQ(f->temperature2, state["rotor_temperature"].as<int>());
  }
}

TEST(MitDecode, NeedsEightBytesAndIgnoresMore) {
  const std::array<std::uint8_t, 10> raw{0xF3, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 7, 8, 0xAA, 0xBB};
  EXPECT_FALSE(decode_state(kYaw, std::span(raw).first(7)).has_value());
  EXPECT_FALSE(decode_state(kYaw, {}).has_value());
  const auto f = decode_state(kYaw, raw);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->motor_id, 3);
  EXPECT_EQ(f->status, 15);
  EXPECT_EQ(f->position, 12.5F);
  EXPECT_EQ(f->velocity, -30.0F);
  EXPECT_EQ(f->torque, 10.0F);
  EXPECT_EQ(f->temperature1, 7);
  EXPECT_EQ(f->temperature2, 8);
}

// The feedback layout carries velocity and torque codes in the same bit
// positions as the command, so a command can be echoed back as feedback.
std::array<std::uint8_t, 8> echo_as_feedback(const Bytes& c) {
  return {0x01, c[0], c[1], c[2], static_cast<std::uint8_t>((c[3] & 0xF0) | (c[6] & 0x0F)), c[7], 0, 0};
}

TEST(MitRoundTrip, LandsWithinOneCodeStepAcrossEachRange) {
  for (const MitLimits& l : {kYaw, kPitch}) {
    const float p_step = 2 * l.p_max / 65535;
    const float v_step = 2 * l.v_max / 4095;
    const float t_step = 2 * l.t_max / 4095;
    constexpr int kSteps = 20000;
    for (int i = 0; i <= kSteps; ++i) {
      const float u = static_cast<float>(i) / kSteps * 2 - 1;  // -1 .. 1
      const MitCommand c{u * l.p_max, u * l.v_max, 0, 0, u * l.t_max};
      const auto f = decode_state(l, echo_as_feedback(encode(l, c)));
      ASSERT_TRUE(f.has_value());
      ASSERT_LE(std::fabs(f->position - c.position), p_step * 1.001F) << c.position;
      ASSERT_LE(std::fabs(f->velocity - c.velocity), v_step * 1.001F) << c.velocity;
      ASSERT_LE(std::fabs(f->torque - c.torque), t_step * 1.001F) << c.torque;
    }
  }
}

TEST(MitEncode, GainCodesGrowWithTheGain) {
  unsigned previous_kp = 0;
  unsigned previous_kd = 0;
  for (int i = 0; i <= 1000; ++i) {
    const float u = static_cast<float>(i) / 1000;
    const Bytes b = encode(kYaw, {0, 0, u * kYaw.kp_max, u * kYaw.kd_max, 0});
    const unsigned kp = (b[3] & 0x0FU) << 8 | b[4];
    const unsigned kd = static_cast<unsigned>(b[5]) << 4 | b[6] >> 4;
    ASSERT_GE(kp, previous_kp);
    ASSERT_GE(kd, previous_kd);
    previous_kp = kp;
    previous_kd = kd;
  }
  EXPECT_EQ(previous_kp, 4095U);
  EXPECT_EQ(previous_kd, 4095U);
}

}  // namespace
