#include <gtest/gtest.h>

#include <cmath>

#include "controller/homing_math.hpp"
#include "fake_buses.hpp"

namespace velmora::controller::testing {
namespace {

constexpr std::uint8_t kOffset = 31, kTorque = 40, kLock = 55, kPresent = 56;

std::uint16_t offset_raw(double radians) {
  auto raw = static_cast<std::uint16_t>(std::fabs(radians) * 2047.0 / kPi);
  return std::signbit(radians) ? static_cast<std::uint16_t>(raw | 0x0800) : raw;
}
double offset_value(std::uint16_t raw) {
  const double magnitude = (raw & 0x7FF) * kPi / 2047.0;
  return (raw & 0xF800) == 0x0800 ? -magnitude : magnitude;
}

// Arm servo i reads `present` with stored `offset`.
void pose(ServoBusState& s, std::uint8_t id, double present, double offset) {
  set_u16(s, id, kOffset, offset_raw(offset));
  s.encoder[id] = present + offset_value(offset_raw(offset));
}

void typical_pose(Rig& rig) {
  pose(*rig.servos, 1, 0.3, 0.2);
  pose(*rig.servos, 2, 3.0, 0.5);
  pose(*rig.servos, 3, -3.0, -0.5);
  pose(*rig.servos, 4, 0.0, 0.0);
  for (std::uint8_t id = 1; id <= 7; ++id) rig.servos->registers[id][kTorque] = 1;
}

TEST(ArmHome, StoresTheWrappedEncoderPositionAsOffsetAndVerifiesZero) {
  Rig rig;
  typical_pose(rig);
  auto result = rig.controller->set_arm_home(0.05);
  ASSERT_TRUE(result) << result.error().message;
  for (double v : *result) EXPECT_LT(std::fabs(v), 0.005);

  const double expected[] = {0.5, 3.5 - kTwoPi, -3.5 + kTwoPi, 0.0};
  for (std::uint8_t id = 1; id <= 4; ++id) {
    EXPECT_NEAR(offset_value(get_u16(*rig.servos, id, kOffset)), expected[id - 1], 0.005) << "servo " << int(id);
    EXPECT_EQ(rig.servos->registers[id][kTorque], 0) << "arm torque left off";
    EXPECT_EQ(rig.servos->registers[id][kLock], 1) << "EEPROM locked again";
  }
  EXPECT_EQ(rig.servos->registers[5][kTorque], 1) << "nose untouched";

  // torque off, read present, read offset, unlock, write offsets, lock, verify.
  std::vector<std::pair<std::uint8_t, std::uint8_t>> steps;
  for (const auto& p : rig.servos->received) steps.emplace_back(p.instruction, p.params[0]);
  EXPECT_EQ(steps, (std::vector<std::pair<std::uint8_t, std::uint8_t>>{{0x83, kTorque},
                                                                        {0x82, kPresent},
                                                                        {0x82, kOffset},
                                                                        {0x83, kLock},
                                                                        {0x83, kOffset},
                                                                        {0x83, kLock},
                                                                        {0x82, kPresent}}));
  EXPECT_EQ(rig.servos->received[3].params, (std::vector<std::uint8_t>{kLock, 1, 1, 0, 2, 0, 3, 0, 4, 0}));

  auto positions = rig.controller->read_all_positions();
  ASSERT_TRUE(positions);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_LT(std::fabs((*positions)[i]), 0.005);
}

TEST(ArmHome, AReadingExactlyAtTheToleranceStillPasses) {
  Rig probe;
  typical_pose(probe);
  auto readings = probe.controller->set_arm_home(1.0);
  ASSERT_TRUE(readings);
  double worst = 0.0;
  for (double v : *readings) worst = std::max(worst, std::fabs(v));
  ASSERT_GT(worst, 0.0) << "the pose should leave a quantisation residue to test against";

  Rig at_limit;
  typical_pose(at_limit);
  EXPECT_TRUE(at_limit.controller->set_arm_home(worst));
  Rig below;
  typical_pose(below);
  EXPECT_FALSE(below.controller->set_arm_home(std::nextafter(worst, 0.0)));
}

TEST(ArmHome, VerifyFailureLeavesTheNewOffsetsAndSaysHowToRestore) {
  Rig rig;
  rig.servos->inverted_offset = true;
  rig.servos->encoder[1] = 0.3;
  auto result = rig.controller->set_arm_home(0.05);
  ASSERT_FALSE(result);
  const std::string& m = result.error().message;
  const std::string head = "set_arm_home: verify failed \u2014 arm IDs [1, 2, 3, 4] now reading [+0.";
  const std::string tail =
      ", +0.0000, +0.0000, +0.0000] rad (expected ~0 within 0.0500). The Feetech offset sign convention on this "
      "hardware may differ from the assumed `present = encoder - offset`. EEPROM has been left in the new state; "
      "restore manually using prior_offsets [+0.0000, +0.0000, +0.0000, +0.0000], new_offsets [+0.3007, +0.0000, "
      "+0.0000, +0.0000].";
  EXPECT_EQ(m.substr(0, head.size()), head) << m;
  ASSERT_GE(m.size(), tail.size());
  EXPECT_EQ(m.substr(m.size() - tail.size()), tail) << m;
  EXPECT_EQ(rig.servos->registers[1][kLock], 1);
  EXPECT_NE(get_u16(*rig.servos, 1, kOffset), 0);
}

TEST(ArmHome, RefusesBadToleranceAndStopsAtTheFirstBusFailure) {
  Rig rig;
  for (double tol : {0.0, -0.1, std::nan("")}) {
    auto result = rig.controller->set_arm_home(tol);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message.rfind("set_arm_home: verify_tol must be positive, got ", 0), 0u);
  }
  EXPECT_EQ(rig.controller->set_arm_home(0.0).error().message, "set_arm_home: verify_tol must be positive, got 0");
  EXPECT_TRUE(rig.servos->received.empty());

  // The register maps return one value per servo or fail, so an incomplete
  // answer surfaces as the transaction's own error.
  rig.servos->present.erase(4);
  typical_pose(rig);
  auto result = rig.controller->set_arm_home(0.05);
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().retryable);  // the silent servo's timed-out read
  ASSERT_EQ(rig.servos->received.size(), 2u);  // torque off, then the failed read
  EXPECT_EQ(rig.servos->registers[1][kTorque], 0);
}

}  // namespace
}  // namespace velmora::controller::testing
