#include <gtest/gtest.h>

#include <cmath>

#include "common/numfmt.hpp"
#include "controller/homing_math.hpp"
#include "fake_buses.hpp"

namespace velmora::controller::testing {
namespace {

using namespace std::chrono_literals;

std::size_t frames_to(const NeckBusState& s, std::uint32_t id) {
  return static_cast<std::size_t>(
      std::count_if(s.sent.begin(), s.sent.end(), [&](const motorcom::CanFrame& f) { return f.id.value == id; }));
}

TEST(NeckHome, RampsMultiTurnPositionsToTheNearestZeroWhichReadsZeroFromThenOn) {
  Rig rig;
  ASSERT_TRUE(rig.controller->read_neck_positions());  // every joint heard from on turn 0
  rig.neck->motors[1].position = 6.4;                  // ... until its counter jumped a turn
  rig.neck->motors[2].position = -3.0;
  rig.neck->motors[3].position = 0.05;
  auto result = rig.controller->neck_home(0.4, 0.15, std::nullopt, std::nullopt);
  ASSERT_TRUE(result) << result.error().message;
  for (double p : *result) EXPECT_NEAR(p, 0.0, 1e-3);
  EXPECT_NEAR(rig.neck->motors[1].position, kTwoPi, 1e-3);
  EXPECT_TRUE(rig.controller->is_neck_torque_enabled());
  // Pitch has the longest travel, 3.0 rad at 0.004 rad a cycle: about 750
  // cycles with a 10 ms sleep between consecutive ones.
  EXPECT_NEAR(static_cast<double>(rig.clock->sleeps.size()), 750.0, 2.0);
  EXPECT_EQ(rig.clock->sleeps.front(), 10ms);
  // Every ramp step is at most one speed step away from the previous one.
  double previous = quantized_neck_position(-3.0);
  for (const auto& m : rig.neck->mit) {
    if (m.motor != 2) continue;
    EXPECT_LE(std::fabs(m.position - previous), 0.004 + 1e-3);
    previous = m.position;
  }
  // Goals are meant on the turn homing found.
  ASSERT_TRUE(rig.controller->set_neck_position({0.1, 0.1, 0.1}));
  EXPECT_NEAR(rig.neck->mit.end()[-3].position, kTwoPi + 0.1, 1e-3);
}

TEST(NeckHome, StopsBetweenCyclesWhenAskedAndLeavesTheNeckHoldingItsLastSetpoint) {
  Rig rig;
  rig.neck->motors[1].position = 1.0;
  int asked = 0;
  auto result = rig.controller->neck_home(0.4, 0.15, std::nullopt, std::nullopt, [&] { return ++asked == 5; });
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().interrupted);
  EXPECT_EQ(rig.clock->sleeps.size(), 5u);
  EXPECT_EQ(rig.neck->mit.size(), 15u);  // five cycles, nothing after the fifth
  EXPECT_NEAR(rig.neck->motors[1].position, 1.0 - 5 * 0.004, 1e-3);
  EXPECT_TRUE(rig.controller->is_neck_torque_enabled());
  EXPECT_TRUE(rig.neck->motors[1].enabled);
}

TEST(NeckHome, AlreadyHomeAndEnabledReturnsAfterOneCycleWithoutModeOrEnableFrames) {
  Rig rig;
  ASSERT_TRUE(rig.controller->enable_neck(true));
  rig.neck->sent.clear();
  auto result = rig.controller->neck_home(0.4, 0.15, std::nullopt, std::nullopt);
  ASSERT_TRUE(result);
  EXPECT_TRUE(rig.clock->sleeps.empty());
  ASSERT_EQ(rig.neck->mit.size(), 3u);
  // Three feedback requests and three commands, nothing else.
  EXPECT_EQ(rig.neck->sent.size(), 6u);
  EXPECT_EQ(frames_to(*rig.neck, 0x7FF), 3u);
}

TEST(NeckHome, RejectsBadSpeedOrToleranceBeforeTouchingAnything) {
  Rig rig;
  const struct {
    double speed, tolerance;
    const char* message;
  } cases[] = {
      {0.0, 0.15, "neck_home: speed must be positive, got 0"},
      {-0.5, 0.15, "neck_home: speed must be positive, got -0.5"},
      {std::nan(""), 0.15, "neck_home: speed must be positive, got NaN"},
      {0.4, 0.0, "neck_home: tolerance must be positive, got 0"},
      {0.4, -2.0, "neck_home: tolerance must be positive, got -2"},
  };
  for (const auto& c : cases) {
    auto result = rig.controller->neck_home(c.speed, c.tolerance, 100.0F, 3.0F);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, c.message);
  }
  // A NaN gain would reach the motors as zero stiffness for the whole ramp.
  auto nan_gain = rig.controller->neck_home(0.4, 0.15, std::nanf(""), std::nullopt);
  ASSERT_FALSE(nan_gain);
  EXPECT_EQ(nan_gain.error().message, "neck_home: kp is not a number");
  EXPECT_TRUE(rig.neck->sent.empty());
  // The gain override was not applied either.
  ASSERT_TRUE(rig.controller->set_neck_position({0.0, 0.0, 0.0}));
  EXPECT_EQ(rig.neck->mit[0].kp_code, 245);
}

TEST(NeckHome, GainOverridesApplyToAllJointsAndOutliveTheCall) {
  Rig rig;
  ASSERT_TRUE(rig.controller->neck_home(0.4, 0.15, std::nullopt, 5.0F));
  rig.neck->mit.clear();
  ASSERT_TRUE(rig.controller->set_neck_position({0.0, 0.1, 0.0}));
  ASSERT_EQ(rig.neck->mit.size(), 3u);
  for (const auto& m : rig.neck->mit) EXPECT_EQ(m.kd_code, 4095);
  EXPECT_EQ(rig.neck->mit[0].kp_code, 245);   // yaw kp 30 kept
  EXPECT_EQ(rig.neck->mit[1].kp_code, 491);   // pitch kp 60 kept
}

TEST(NeckHome, TimesOutWithABlockedJointReportingWhatSettled) {
  Rig rig;
  rig.neck->motors[1].position = 6.4;
  rig.neck->motors[2].position = -3.0;
  rig.neck->motors[2].blocked = true;
  auto result = rig.controller->neck_home(1.0, 0.15, std::nullopt, std::nullopt);
  ASSERT_FALSE(result);
  const double stuck = quantized_neck_position(-3.0);
  // Budget: about 300 cycles of travel plus 2000, a sleep after each.
  EXPECT_EQ(rig.clock->sleeps.size(), neck_home_cycle_budget(std::fabs(stuck), 0.01));
  EXPECT_NEAR(static_cast<double>(rig.clock->sleeps.size()), 2300.0, 1.0);
  // Positions relative to each joint's turn: yaw homed on turn 1.
  const double yaw = quantized_neck_position(kTwoPi) - kTwoPi;
  // Roll's zero goal encodes as code 32767 (the encoder truncates), which
  // reads back just below zero.
  const double roll = quantized_neck_position(-0.0001);
  EXPECT_EQ(result.error().message, "neck_home: timed out before settling. observed=[" + numfmt::debug(yaw) + ", " +
                                        numfmt::debug(stuck) + ", " + numfmt::debug(roll) +
                                        "], goals=[0.0, -0.0, 0.0], settled=[true, false, true]");
  EXPECT_TRUE(rig.controller->is_neck_torque_enabled());
}

TEST(NeckHome, ARampCommandFailureNamesTheJoint) {
  Rig rig;
  rig.neck->motors[1].position = 1.0;
  ASSERT_TRUE(rig.controller->enable_neck(true));
  // Roll answers feedback requests but not commands.
  rig.neck->motors[3].mute_commands = true;
  auto result = rig.controller->neck_home(0.4, 0.15, std::nullopt, std::nullopt);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "neck_home(neck_roll): transport error: timeout waiting for frame");
  EXPECT_EQ(rig.neck->mit.size(), 3u);  // one cycle: yaw, pitch, then roll failed
  EXPECT_TRUE(rig.controller->is_neck_torque_enabled());
}

}  // namespace
}  // namespace velmora::controller::testing
