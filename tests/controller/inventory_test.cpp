#include <gtest/gtest.h>

#include "fake_buses.hpp"

namespace velmora::controller::testing {
namespace {

using namespace std::chrono_literals;

std::size_t count_instructions(const ServoBusState& s, std::uint8_t instruction) {
  return static_cast<std::size_t>(std::count_if(s.received.begin(), s.received.end(),
                                                [&](const Packet& p) { return p.instruction == instruction; }));
}

TEST(Inventory, ReportsSilentServosAndNeckMotorsInBusOrder) {
  Rig rig;
  rig.servos->present = {1, 2, 3, 4};
  EXPECT_EQ(rig.controller->check_missing_ids(), (std::vector<std::uint8_t>{5, 6, 7}));
  rig.neck->motors[2].silent = true;
  EXPECT_EQ(rig.controller->check_missing_neck_motors(), (std::vector<std::string>{"neck_pitch"}));

  const auto names = VelmoraMotorController::get_motor_name_id();
  EXPECT_EQ(names.size(), 7u);
  EXPECT_EQ(names.at("left_arm_pitch"), 1);
  EXPECT_EQ(names.at("right_arm_yaw"), 4);
  EXPECT_EQ(names.at("nose_right"), 7);
}

TEST(Reboot, SucceedsOnTheFirstPassWhenEveryServoAnswers) {
  Rig rig;
  ASSERT_TRUE(rig.controller->reboot(1s));
  EXPECT_EQ(rig.clock->sleeps, (std::vector<std::chrono::microseconds>{100ms}));
  EXPECT_EQ(count_instructions(*rig.servos, 0x08), 7u);
  EXPECT_EQ(count_instructions(*rig.servos, 0x01), 7u);
  const auto records = take_log();
  ASSERT_EQ(records.size(), 7u);
  EXPECT_EQ(records[0].message, "Rebooting motor left_arm_pitch (id=1)");
  EXPECT_EQ(records[6].message, "Rebooting motor nose_right (id=7)");
  for (const auto& r : records) {
    EXPECT_EQ(r.level, log::Level::Warn);
    EXPECT_EQ(r.target, "velmora_motor_controller::controller");
  }
}

TEST(Reboot, PingsOnlyPendingServosUntilTheyAnswer) {
  Rig rig;
  rig.servos->silent_after_reboot[3] = 2;  // ignores the first two pings
  ASSERT_TRUE(rig.controller->reboot(1s));
  EXPECT_EQ(rig.clock->sleeps.size(), 3u);
  // 7 on the first pass, then servo 3 alone twice.
  EXPECT_EQ(count_instructions(*rig.servos, 0x01), 9u);
}

TEST(Reboot, TimesOutNamingTheServosThatStayedSilent) {
  Rig rig;
  rig.servos->silent_after_reboot[5] = -1;
  rig.servos->silent_after_reboot[6] = -1;
  auto result = rig.controller->reboot(1s);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message,
            "Some motors did not respond after reboot ([\"nose_top\", \"nose_left\"] - ids: [5, 6])");
  EXPECT_FALSE(result.error().retryable);
  // Ten passes of pings fit in one second of 100 ms sleeps.
  EXPECT_EQ(rig.clock->sleeps.size(), 10u);
  const auto records = take_log();
  ASSERT_EQ(records.size(), 9u);
  EXPECT_EQ(records[7].message, "Motor nose_top (id=5) did not respond after reboot within timeout");
  EXPECT_EQ(records[8].message, "Motor nose_left (id=6) did not respond after reboot within timeout");
  // Each record names the statement that logged it, not a shared helper.
  EXPECT_NE(records[0].file.find("controller.cpp"), std::string::npos);
  EXPECT_EQ(records[0].line, records[6].line);
  EXPECT_EQ(records[7].line, records[8].line);
  EXPECT_NE(records[0].line, records[7].line);
}

TEST(Reboot, StopsWaitingForSilentServosWhenAsked) {
  Rig rig;
  rig.servos->silent_after_reboot[5] = -1;
  int asked = 0;
  auto result = rig.controller->reboot(1s, [&] { return ++asked == 3; });
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().interrupted);
  EXPECT_EQ(rig.clock->sleeps.size(), 3u);
}

TEST(Reboot, StopsAtTheFirstInstructionThatCannotBeSent) {
  Rig rig;
  rig.servos->fail_writes = true;
  auto result = rig.controller->reboot(1s);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "Timeout error");
  EXPECT_EQ(take_log().size(), 1u);  // only servo 1 was announced
  EXPECT_TRUE(rig.clock->sleeps.empty());
}

TEST(NeckOnly, ServoOperationsRefuseBeforeAnyTraffic) {
  Rig rig(false);
  EXPECT_TRUE(rig.controller->check_missing_ids().empty());
  EXPECT_TRUE(rig.controller->reboot(1s));
  EXPECT_TRUE(take_log().empty());

  const std::string refusal(kNeckOnlyError);
  EXPECT_EQ(rig.controller->read_all_positions().error().message, refusal);
  EXPECT_EQ(rig.controller->enable_torque().error().message, refusal);
  EXPECT_EQ(rig.controller->set_arm_home(0.05).error().message, refusal);
  const std::uint8_t nose_only[] = {6};
  EXPECT_EQ(rig.controller->set_torque_on_ids(nose_only, true).error().message, refusal);
  // Ids outside both groups need no bus, so they succeed even here.
  const std::uint8_t strangers[] = {0, 9};
  EXPECT_TRUE(rig.controller->set_torque_on_ids(strangers, true));

  const std::uint8_t ping[] = {0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
  auto raw = rig.controller->write_raw_packet(ping);
  ASSERT_FALSE(raw);
  EXPECT_EQ(raw.error().message, refusal);

  // The neck still works.
  EXPECT_TRUE(rig.controller->read_neck_positions());
}

}  // namespace
}  // namespace velmora::controller::testing
