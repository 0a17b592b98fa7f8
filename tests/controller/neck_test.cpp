#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "controller/homing_math.hpp"
#include "fake_buses.hpp"

namespace velmora::controller::testing {
namespace {

std::vector<std::string> messages(const std::vector<LogRecord>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(r.message);
  return out;
}

TEST(NeckClamp, WarnsOnlyWhenTheGoalHadToMove) {
  Rig rig;
  EXPECT_EQ(rig.controller->clamp_neck_position(1, -0.2), 0.0);
  EXPECT_EQ(rig.controller->clamp_neck_position(0, 0.5), 0.5);
  EXPECT_EQ(rig.controller->clamp_neck_position(2, -0.1), -0.1);
  const auto records = take_log();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, log::Level::Warn);
  EXPECT_EQ(records[0].target, "velmora_motor_controller::controller");
  EXPECT_EQ(records[0].message,
            "neck_pitch requested position -0.2000 rad out of safe range [0.0000, 0.4500]; clamped to 0.0000");
}

TEST(NeckPosition, ClampsEveryJointBeforeCommandingIt) {
  Rig rig;
  auto reported = rig.controller->set_neck_position({1.0, 1.0, 1.0});
  ASSERT_TRUE(reported);
  ASSERT_EQ(rig.neck->mit.size(), 3u);
  const double limits[] = {0.5, 0.45, 0.4};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(rig.neck->mit[i].motor, i + 1);
    EXPECT_NEAR(rig.neck->mit[i].position, limits[i], 2e-4);
    EXPECT_NEAR((*reported)[i], limits[i], 2e-4);
  }
  EXPECT_EQ(messages(take_log()),
            (std::vector<std::string>{
                "neck_yaw requested position 1.0000 rad out of safe range [-0.5000, 0.5000]; clamped to 0.5000",
                "neck_pitch requested position 1.0000 rad out of safe range [0.0000, 0.4500]; clamped to 0.4500",
                "neck_roll requested position 1.0000 rad out of safe range [-0.4000, 0.4000]; clamped to 0.4000"}));

  auto single = rig.controller->set_single_neck_joint(0, 10.0);
  ASSERT_TRUE(single);
  EXPECT_NEAR(rig.neck->mit.back().position, 0.5, 2e-4);
}

TEST(NeckPosition, RefusesAGoalThatIsNotANumberBeforeSendingAnything) {
  Rig rig;
  const double nan = std::nan("");
  auto all = rig.controller->set_neck_position({0.0, nan, 0.0});
  ASSERT_FALSE(all);
  EXPECT_EQ(all.error().message, "set_neck_position(neck_pitch): goal is not a number");
  auto one = rig.controller->set_single_neck_joint(2, nan);
  ASSERT_FALSE(one);
  EXPECT_EQ(one.error().message, "set_neck_roll_position(neck_roll): goal is not a number");
  // The control loop clamps first and then commands: the NaN must survive the
  // clamp (not become the lower bound) so the command refuses it.
  EXPECT_TRUE(std::isnan(VelmoraMotorController::clamp_neck_position(1, nan)));
  auto raw = rig.controller->command_neck_mit({0.0, 0.0, VelmoraMotorController::clamp_neck_position(2, nan)}, "custom");
  ASSERT_FALSE(raw);
  EXPECT_EQ(raw.error().message, "custom(neck_roll): goal is not a number");
  EXPECT_TRUE(rig.neck->sent.empty());
  EXPECT_TRUE(take_log().empty());
}

TEST(NeckPosition, StopsAtTheFirstSilentJointNamingIt) {
  Rig rig;
  rig.neck->motors[2].silent = true;
  auto result = rig.controller->set_neck_position({0.1, 0.1, 0.1});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "set_neck_position(neck_pitch): transport error: timeout waiting for frame");
  // Yaw was commanded; pitch never answered the request for its position
  // that precedes its first command, so neither it nor roll was commanded.
  ASSERT_EQ(rig.neck->mit.size(), 1u);
  auto single = rig.controller->set_single_neck_joint(1, 0.1);
  EXPECT_EQ(single.error().message, "set_neck_pitch_position: transport error: timeout waiting for frame");
  auto read = rig.controller->read_neck_positions();
  EXPECT_EQ(read.error().message, "read_neck_positions(neck_pitch): transport error: timeout waiting for frame");
}

TEST(NeckInspection, ReadsOneJointAtATimeWithoutCommandingIt) {
  Rig rig;
  rig.neck->motors[2].mode = 2;
  rig.neck->motors[3].silent = true;
  auto mode = rig.controller->read_neck_register(1, 10);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->kind, motorcom::damiao::RegisterKind::Uint32);
  EXPECT_EQ(mode->as_uint32(), 2u);
  ASSERT_TRUE(rig.controller->read_neck_feedback(0));
  // A silent joint fails alone, named; the joints before it still answered.
  EXPECT_EQ(rig.controller->read_neck_feedback(2).error().message,
            "read_neck_feedback(neck_roll): transport error: timeout waiting for frame");
  EXPECT_EQ(rig.controller->read_neck_register(2, 10).error().message,
            "read_neck_register(neck_roll): transport error: timeout waiting for frame");
  EXPECT_EQ(rig.controller->read_neck_register(3, 10).error().message, "neck index out of range: 3");
  EXPECT_TRUE(rig.neck->mit.empty());
  EXPECT_FALSE(rig.neck->motors[1].enabled);
  EXPECT_EQ(rig.neck->motors[2].mode, 2u);
}

TEST(NeckTurns, AJointNotHeardFromIsAskedForItsPositionOnceAndCommandedOnItsTurn) {
  Rig rig;
  rig.neck->motors[2].position = kTwoPi + 0.1;
  auto pitch = rig.controller->set_single_neck_joint(1, 0.2);
  ASSERT_TRUE(pitch);
  EXPECT_NEAR(*pitch, 0.2, 1e-3);
  ASSERT_TRUE(rig.controller->set_neck_position({0.1, 0.3, 0.0}));
  std::vector<std::uint32_t> ids;
  for (const auto& f : rig.neck->sent) ids.push_back(f.id.value);
  // The requests (0x7FF) precede only the first command to each joint.
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{0x7FF, 2, 0x7FF, 1, 2, 0x7FF, 3}));
  EXPECT_NEAR(rig.neck->mit[2].position, kTwoPi + 0.3, 1e-3);
  auto read = rig.controller->read_neck_positions();
  ASSERT_TRUE(read);
  EXPECT_NEAR((*read)[1], 0.3, 1e-3);
}

TEST(NeckTurns, NoGoalMovesAJointOutsideItsSafetyRangeOnTheTurnItRestsOn) {
  const double inf = std::numeric_limits<double>::infinity();
  const double goals[] = {-inf, -1e300, -7.0, -3.0, -0.45, 0.0, 0.2, 3.2, 6.3, 1e300, inf};
  const std::array<double, 3> start{0.1, 0.2, -0.1};
  for (int turn : {-1, 0, 1}) {
    for (double goal : goals) {
      Rig rig;
      for (std::size_t i = 0; i < 3; ++i) rig.neck->motors[i + 1].position = turn * kTwoPi + start[i];
      ASSERT_TRUE(rig.controller->set_neck_position({goal, goal, goal}));
      for (std::size_t i = 0; i < 3; ++i) ASSERT_TRUE(rig.controller->set_single_neck_joint(i, goal));
      for (const auto& m : rig.neck->mit) {
        const auto [lower, upper] = NECK_POSITION_LIMITS[m.motor - 1u];
        EXPECT_GE(m.position, turn * kTwoPi + lower - 1e-3) << "turn " << turn << ", goal " << goal;
        EXPECT_LE(m.position, turn * kTwoPi + upper + 1e-3) << "turn " << turn << ", goal " << goal;
      }
    }
  }
}

TEST(NeckTurns, AMotorPowerCycledOntoAnotherTurnIsFollowedWithoutSwingingTheHead) {
  const std::array<double, 3> rest{0.05, 0.1, -0.05};
  for (int turn : {1, -1}) {
    SCOPED_TRACE(turn);
    Rig rig;
    for (std::size_t i = 0; i < 3; ++i) rig.neck->motors[i + 1].position = rest[i];
    ASSERT_TRUE(rig.controller->read_neck_positions());
    ASSERT_TRUE(rig.controller->enable_neck(true));
    // Power back with the counters a turn away; the motors come back disabled.
    for (std::size_t i = 0; i < 3; ++i) {
      rig.neck->motors[i + 1].position = turn * kTwoPi + rest[i];
      rig.neck->motors[i + 1].enabled = false;
    }
    take_log();
    rig.neck->mit.clear();
    // The usual recovery: enable (its replies carry the positions), command.
    ASSERT_TRUE(rig.controller->enable_neck(true));
    ASSERT_TRUE(rig.controller->set_neck_position({0.0, 0.2, 0.0}));
    ASSERT_EQ(rig.neck->mit.size(), 3u);
    for (const auto& m : rig.neck->mit) {
      const auto [lower, upper] = NECK_POSITION_LIMITS[m.motor - 1u];
      EXPECT_LE(std::fabs(m.position - (turn * kTwoPi + rest[m.motor - 1u])), upper - lower + 1e-3);
    }
    auto read = rig.controller->read_neck_positions();
    ASSERT_TRUE(read);
    EXPECT_NEAR((*read)[1], 0.2, 1e-3);
    const auto warnings = messages(take_log());
    ASSERT_EQ(warnings.size(), 3u) << "one warning per joint, once";
    EXPECT_EQ(warnings[0], "neck_yaw reported " + std::string(turn > 0 ? "6.3331" : "-6.2331") +
                               " rad, more than half a turn from turn 0: its motor's counter moved (a power cycle?); "
                               "its positions now count from turn " + std::to_string(turn));
  }
}

TEST(NeckPosition, AJointPastTheRangeIsNeitherReadNorCommanded) {
  Rig rig;
  rig.neck->motors[1].position = 2 * kTwoPi + 0.1;  // reads as the end of the range
  const std::string why =
      "position unknown: its motor reports the end of its position range (12.5 rad either way), so the joint is "
      "about two turns or more from its zero; power-cycle the motor, or set its zero with the vendor's tool";
  auto read = rig.controller->read_neck_positions();
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message, "read_neck_positions(neck_yaw): " + why);
  const auto sent = rig.neck->sent.size();
  auto yaw = rig.controller->set_single_neck_joint(0, 0.3);
  ASSERT_FALSE(yaw);
  EXPECT_EQ(yaw.error().message, "set_neck_yaw_position: " + why);
  auto all = rig.controller->set_neck_position({0.0, 0.1, 0.0});
  ASSERT_FALSE(all);
  EXPECT_EQ(all.error().message, "set_neck_position(neck_yaw): " + why);
  EXPECT_EQ(rig.neck->sent.size(), sent) << "nothing is sent to a joint whose position is unknown";
  auto home = rig.controller->neck_home(0.4, 0.15, std::nullopt, std::nullopt);
  ASSERT_FALSE(home);
  EXPECT_EQ(home.error().message, "read_neck_positions(neck_yaw): " + why);
  EXPECT_TRUE(rig.neck->mit.empty());
  // Back within the range (its zero set again): read and commanded as before.
  rig.neck->motors[1].position = 0.1;
  ASSERT_TRUE(rig.controller->read_neck_positions());
  EXPECT_TRUE(rig.controller->set_single_neck_joint(0, 0.3));
}

TEST(NeckGains, ApplyToTheNextCommandAndRejectBadInput) {
  Rig rig;
  auto bad = rig.controller->set_neck_gains(3, 1.0F, 1.0F);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().message, "neck index out of range: 3");
  EXPECT_FALSE(rig.controller->set_neck_gains(0, std::nanf(""), 1.0F));
  ASSERT_TRUE(rig.controller->set_neck_gains(1, 500.0F, 5.0F));
  ASSERT_TRUE(rig.controller->set_neck_position({0.0, 0.1, 0.0}));
  ASSERT_EQ(rig.neck->mit.size(), 3u);
  EXPECT_EQ(rig.neck->mit[0].kp_code, 245);  // yaw keeps its default kp 30
  EXPECT_EQ(rig.neck->mit[1].kp_code, 4095);
  EXPECT_EQ(rig.neck->mit[1].kd_code, 4095);
}

TEST(EnableNeck, SwitchesModeThenEnablesEachJointAndKeepsTheFlagOnFailure) {
  Rig rig;
  for (auto& m : rig.neck->motors) m.mode = 2;
  rig.neck->motors[3].refuse_mode = true;
  auto result = rig.controller->enable_neck(true);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message,
            "neck_roll: ensure MIT mode failed: control mode verification failed: wrote 1, motor reports 2");
  EXPECT_TRUE(rig.neck->motors[1].enabled);
  EXPECT_TRUE(rig.neck->motors[2].enabled);
  EXPECT_FALSE(rig.neck->motors[3].enabled);
  EXPECT_FALSE(rig.controller->is_neck_torque_enabled());

  rig.neck->motors[3].refuse_mode = false;
  ASSERT_TRUE(rig.controller->enable_neck(true));
  EXPECT_TRUE(rig.controller->is_neck_torque_enabled());
  ASSERT_TRUE(rig.controller->enable_neck(false));
  EXPECT_FALSE(rig.controller->is_neck_torque_enabled());
  for (std::size_t id = 1; id <= 3; ++id) EXPECT_FALSE(rig.neck->motors[id].enabled);
}

}  // namespace
}  // namespace velmora::controller::testing

namespace velmora::controller::testing {
namespace {

TEST(NeckCommand, GoalsBeyondFloatRangeSaturateToTheEncoderRange) {
  Rig rig;
  // Held where they are: a joint that went to the end of the range would
  // report a position nobody knows.
  for (auto& m : rig.neck->motors) m.blocked = true;
  ASSERT_TRUE(rig.controller->command_neck_mit({1e300, -1e300, 0.0}, "custom"));
  ASSERT_EQ(rig.neck->mit.size(), 3u);
  EXPECT_DOUBLE_EQ(rig.neck->mit[0].position, 12.5);
  EXPECT_DOUBLE_EQ(rig.neck->mit[1].position, -12.5);
}

}  // namespace
}  // namespace velmora::controller::testing
