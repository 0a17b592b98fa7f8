#include <gtest/gtest.h>

#include <numbers>

#include "fake_buses.hpp"

namespace velmora::controller::testing {
namespace {

using namespace std::chrono_literals;
constexpr std::uint8_t kTorqueAddress = 40;

TEST(ServoGroups, ReadsArmsThenNoseIntoTheSevenSlots) {
  Rig rig;
  for (std::uint8_t id = 1; id <= 7; ++id) {
    rig.servos->encoder[id] = 0.1 * id;
    rig.servos->registers[id][62] = static_cast<std::uint8_t>(110 + id);
  }
  auto positions = rig.controller->read_all_positions();
  ASSERT_TRUE(positions);
  for (std::size_t i = 0; i < 7; ++i) EXPECT_NEAR((*positions)[i], 0.1 * static_cast<double>(i + 1), 0.002);
  auto voltages = rig.controller->read_all_voltages();
  ASSERT_TRUE(voltages);
  EXPECT_EQ(*voltages, (std::array<std::uint8_t, 7>{111, 112, 113, 114, 115, 116, 117}));
  ASSERT_EQ(rig.servos->received.size(), 4u);
  EXPECT_EQ(rig.servos->received[0].params, (std::vector<std::uint8_t>{56, 2, 1, 2, 3, 4}));
  EXPECT_EQ(rig.servos->received[1].params, (std::vector<std::uint8_t>{56, 2, 5, 6, 7}));
}

TEST(ServoGroups, TorqueIsOnOnlyWhenAllSevenAreOnAndAnySilentServoFailsTheRead) {
  Rig rig;
  ASSERT_TRUE(rig.controller->enable_torque());
  EXPECT_EQ(rig.controller->is_torque_enabled(), true);
  rig.servos->registers[6][kTorqueAddress] = 0;
  EXPECT_EQ(rig.controller->is_torque_enabled(), false);
  rig.servos->present.erase(7);
  auto result = rig.controller->is_torque_enabled();
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().retryable);
}

TEST(ServoGroups, TorqueOnIdsSplitsByGroupKeepingOrderAndIgnoringStrangers) {
  Rig rig;
  const std::uint8_t ids[] = {2, 9, 6, 1};
  ASSERT_TRUE(rig.controller->set_torque_on_ids(ids, true));
  ASSERT_EQ(rig.servos->received.size(), 2u);
  EXPECT_EQ(rig.servos->received[0].params, (std::vector<std::uint8_t>{40, 1, 2, 1, 1, 1}));
  EXPECT_EQ(rig.servos->received[1].params, (std::vector<std::uint8_t>{40, 1, 6, 1}));
}

TEST(ServoGroups, AFailedArmWriteLeavesTheNoseUntouched) {
  Rig rig;
  rig.servos->fail_writes = true;
  EXPECT_FALSE(rig.controller->enable_torque());
  EXPECT_FALSE(rig.controller->set_all_goal_positions({0, 0, 0, 0, 0, 0, 0}));
  for (std::uint8_t id = 5; id <= 7; ++id) EXPECT_EQ(rig.servos->registers[id][kTorqueAddress], 0);
  EXPECT_TRUE(rig.servos->received.empty());
}

TEST(ServoGroups, GoalSettersAddressTheirOwnGroup) {
  Rig rig;
  ASSERT_TRUE(rig.controller->set_right_arm_position({std::numbers::pi / 2, -std::numbers::pi / 2}));
  EXPECT_EQ(get_u16(*rig.servos, 3, 42), 3072);
  EXPECT_EQ(get_u16(*rig.servos, 4, 42), 1024);
  ASSERT_TRUE(rig.controller->set_all_goal_positions({0, 0, 0, 0, 0, 0, std::numbers::pi / 2}));
  EXPECT_EQ(get_u16(*rig.servos, 1, 42), 2048);
  EXPECT_EQ(get_u16(*rig.servos, 7, 42), 3072);
}

TEST(WriteRawPacket, ReturnsTheWaitingReplyOrNothingAfterTenMilliseconds) {
  Rig rig;
  const std::uint8_t ping[] = {0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
  auto reply = rig.controller->write_raw_packet(ping);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}));
  EXPECT_TRUE(rig.clock->sleeps.empty());

  rig.servos->present.clear();
  reply = rig.controller->write_raw_packet(ping);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(reply->empty());
  EXPECT_EQ(rig.clock->sleeps, (std::vector<std::chrono::microseconds>{5ms, 5ms}));
}

TEST(RawTransactions, NeverHandBackAnotherTransactionsReply) {
  Rig rig;
  // Servo 2's late two-byte position reply, left on the line by a failed
  // sync read, arrives where a three-byte read of servo 2 expects its own.
  const std::vector<std::uint8_t> late{0xFF, 0xFF, 0x02, 0x04, 0x00, 0xDC, 0x05, 0x18};
  rig.servos->present.erase(2);
  rig.servos->next_extra = late;
  auto read = rig.controller->read_raw_bytes(2, 3, 3);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message, "servo 2 answered a read of 3 bytes with 2");

  // Leftovers already waiting are dropped before a raw packet goes out.
  rig.servos->rx.assign(late.begin(), late.end());
  const std::uint8_t ping[] = {0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
  auto reply = rig.controller->write_raw_packet(ping);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}));
}

}  // namespace
}  // namespace velmora::controller::testing
