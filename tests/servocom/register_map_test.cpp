#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "fake_port.hpp"
#include "servocom/conversions.hpp"
#include "servocom/register_map.hpp"

namespace servocom {
namespace {

using testing::Bytes;
using testing::FakePort;
using testing::status;

constexpr double kPi = std::numbers::pi;

TEST(Conversions, PresentPosition) {
  EXPECT_DOUBLE_EQ(raw_position_to_radians(0), -kPi);
  EXPECT_DOUBLE_EQ(raw_position_to_radians(1024), -kPi / 2);
  EXPECT_EQ(raw_position_to_radians(2048), 0.0);
  EXPECT_EQ(raw_position_to_radians(4095), 3.1400586728019073);
  // Raw values are signed: 0xFFFF is one step below -pi, not far above +pi.
  EXPECT_LT(raw_position_to_radians(-1), -kPi);
}

TEST(Conversions, GoalPositionTruncatesClampsAndMapsNanToZero) {
  EXPECT_EQ(radians_to_raw_position(0.0), 2048);
  EXPECT_EQ(radians_to_raw_position(0.001), 2048);
  EXPECT_EQ(radians_to_raw_position(-0.001), 2047);
  EXPECT_EQ(radians_to_raw_position(kPi / 2), 3072);
  EXPECT_EQ(radians_to_raw_position(-kPi / 2), 1024);
  EXPECT_EQ(radians_to_raw_position(kPi), 4096);
  EXPECT_EQ(radians_to_raw_position(-3.2), -38);
  EXPECT_EQ(radians_to_raw_position(20.0), 15085);
  EXPECT_EQ(radians_to_raw_position(1e9), 32767);
  EXPECT_EQ(radians_to_raw_position(-1e9), -32768);
  EXPECT_EQ(radians_to_raw_position(std::numeric_limits<double>::infinity()), 32767);
  EXPECT_EQ(radians_to_raw_position(-std::numeric_limits<double>::infinity()), -32768);
  EXPECT_EQ(radians_to_raw_position(std::nan("")), 0);
}

TEST(Conversions, OffsetSignMagnitude) {
  EXPECT_EQ(raw_offset_to_radians(0x0100), 0.39289092296970546);
  EXPECT_EQ(raw_offset_to_radians(0x0900), -0.39289092296970546);
  EXPECT_EQ(raw_offset_to_radians(0x1900), 0.39289092296970546);  // not exactly bit 11: positive
  EXPECT_DOUBLE_EQ(raw_offset_to_radians(0x07FF), kPi);
  EXPECT_DOUBLE_EQ(raw_offset_to_radians(0x0FFF), -kPi);

  EXPECT_EQ(radians_to_raw_offset(0.5), 0x0145);
  EXPECT_EQ(radians_to_raw_offset(-0.5), 0x0945);
  EXPECT_EQ(radians_to_raw_offset(kPi), 0x07FF);
  EXPECT_EQ(radians_to_raw_offset(-kPi), 0x0FFF);
  EXPECT_EQ(radians_to_raw_offset(0.0), 0x0000);
  EXPECT_EQ(radians_to_raw_offset(-0.0), 0x0800);
  EXPECT_EQ(radians_to_raw_offset(std::nan("")), 0x0000);
  // Beyond the 11 magnitude bits the value would read back with the wrong sign.
  EXPECT_EQ(radians_to_raw_offset(3.2), std::nullopt);
  EXPECT_EQ(radians_to_raw_offset(-100.0), std::nullopt);
  EXPECT_EQ(radians_to_raw_offset(std::numeric_limits<double>::infinity()), std::nullopt);
}

TEST(PidGains, RegistersHoldPThenDThenI) {
  EXPECT_EQ(kPidGainsAddress, 21);
  EXPECT_EQ(encode_pid_gains({.p = 32, .i = 1, .d = 64}), (std::array<std::uint8_t, 3>{32, 64, 1}));
  const Bytes read{32, 64, 1};
  auto gains = decode_pid_gains(read);
  ASSERT_TRUE(gains);
  EXPECT_EQ(gains->p, 32);
  EXPECT_EQ(gains->i, 1);
  EXPECT_EQ(gains->d, 64);
  EXPECT_EQ(decode_pid_gains(Bytes{32, 64}).error().kind(), Error::Kind::BadReply);
}

// Every sync packet's wire bytes for address, per-servo length and entries.
Bytes sync_write_bytes(std::uint8_t address, std::uint8_t length, const std::vector<Bytes>& per_id, const Bytes& ids) {
  std::vector<std::vector<std::uint8_t>> data(per_id.begin(), per_id.end());
  auto p = PacketFeetech::sync_write_packet(ids, address, data);
  EXPECT_TRUE(p);
  EXPECT_EQ(p->params()[1], length);
  return p->to_bytes();
}

class RegisterMapTest : public ::testing::Test {
 protected:
  FeetechProtocolHandler h{std::nullopt, [](std::chrono::microseconds) {}};
  FakePort port;

  // One reply per params entry, from the ids in order (fewer entries: silent servos).
  void replies(const Bytes& ids, const std::vector<Bytes>& params) {
    Bytes all;
    for (std::size_t i = 0; i < params.size(); ++i) {
      auto s = status(ids[i], 0, params[i]);
      all.insert(all.end(), s.begin(), s.end());
    }
    port.reply(all);
  }
};

TEST_F(RegisterMapTest, TorqueEnableKnownAnswer) {
  const Bytes ids{5, 6};
  ASSERT_TRUE(sts3025bl::sync_write_torque_enable(h, port, ids, {true, false}));
  EXPECT_EQ(port.written, (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x83, 0x28, 0x01, 0x05, 0x01, 0x06, 0x00, 0x41}));
}

TEST_F(RegisterMapTest, WritesUseTheRegisterAddressSizeAndLittleEndian) {
  const Bytes ids{1, 2};
  const std::vector<double> goals{0.0, -3.2};
  ASSERT_TRUE(sm40bl::sync_write_goal_position(h, port, ids, goals));
  EXPECT_EQ(port.written, sync_write_bytes(42, 2, {{0x00, 0x08}, {0xDA, 0xFF}}, ids));

  port.written.clear();
  const std::vector<std::int16_t> raw{-32768, 4095};
  ASSERT_TRUE(sts3025bl::sync_write_raw_goal_position(h, port, ids, raw));
  EXPECT_EQ(port.written, sync_write_bytes(42, 2, {{0x00, 0x80}, {0xFF, 0x0F}}, ids));

  port.written.clear();
  const std::vector<double> offsets{0.5, -kPi};
  ASSERT_TRUE(sm40bl::sync_write_offset(h, port, ids, offsets));
  EXPECT_EQ(port.written, sync_write_bytes(31, 2, {{0x45, 0x01}, {0xFF, 0x0F}}, ids));

  port.written.clear();
  ASSERT_TRUE(sm40bl::sync_write_lock(h, port, ids, {false, true}));
  EXPECT_EQ(port.written, sync_write_bytes(55, 1, {{0}, {1}}, ids));

  port.written.clear();
  const Bytes torque{1, 0};
  ASSERT_TRUE(sm40bl::sync_write_raw_torque_enable(h, port, ids, torque));
  EXPECT_EQ(port.written, sync_write_bytes(40, 1, {{1}, {0}}, ids));
}

TEST_F(RegisterMapTest, OffsetOutOfRangeIsRefusedBeforeAnythingIsSent) {
  const Bytes ids{1, 2};
  const std::vector<double> offsets{0.5, 4.0};
  auto r = sm40bl::sync_write_offset(h, port, ids, offsets);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::InvalidRequest);
  EXPECT_NE(r.error().message().find("servo 2"), std::string::npos) << r.error().message();
  EXPECT_EQ(port.writes, 0);
}

TEST_F(RegisterMapTest, ReadsConvertEachReplyInIdOrder) {
  const Bytes ids{1, 2, 3, 4};
  replies(ids, {{0x00, 0x00}, {0x00, 0x04}, {0x00, 0x08}, {0xFF, 0x0F}});
  auto pos = sm40bl::sync_read_present_position(h, port, ids);
  ASSERT_TRUE(pos);
  EXPECT_DOUBLE_EQ((*pos)[0], -kPi);
  EXPECT_DOUBLE_EQ((*pos)[1], -kPi / 2);
  EXPECT_EQ((*pos)[2], 0.0);
  EXPECT_EQ((*pos)[3], 3.1400586728019073);
  EXPECT_EQ(port.written, (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x82, 0x38, 0x02, 0x01, 0x02, 0x03, 0x04, 0x33}));

  const Bytes nose{5, 6};
  replies(nose, {{0xFF, 0xFF}, {0x00, 0x08}});
  auto raw = sts3025bl::sync_read_raw_present_position(h, port, nose);
  ASSERT_TRUE(raw);
  EXPECT_EQ(*raw, (std::vector<std::int16_t>{-1, 2048}));

  replies(nose, {{0x00, 0x09}, {0x00, 0x19}});
  auto off = sm40bl::sync_read_offset(h, port, nose);
  ASSERT_TRUE(off);
  EXPECT_EQ(*off, (std::vector<double>{-0.39289092296970546, 0.39289092296970546}));

  replies(nose, {{0}, {2}});
  auto torque = sts3025bl::sync_read_torque_enable(h, port, nose);
  ASSERT_TRUE(torque);
  EXPECT_EQ(*torque, (std::vector<bool>{false, true}));

  port.written.clear();
  replies(nose, {{121}, {0}});
  auto volts = sm40bl::sync_read_present_voltage(h, port, nose);
  ASSERT_TRUE(volts);
  EXPECT_EQ(*volts, (Bytes{121, 0}));
  EXPECT_EQ(port.written[5], 62);
  EXPECT_EQ(port.written[6], 1);
}

TEST_F(RegisterMapTest, ReplyOfTheWrongSizeIsAnErrorOfTheRead) {
  const Bytes ids{1, 2};
  replies(ids, {{0x00, 0x08}, {0x00}});
  auto r = sm40bl::sync_read_present_position(h, port, ids);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::BadReply);
  EXPECT_NE(r.error().message().find("servo 2"), std::string::npos) << r.error().message();

  replies(ids, {{1, 0}, {1}});
  EXPECT_EQ(sts3025bl::sync_read_raw_torque_enable(h, port, ids).error().kind(), Error::Kind::BadReply);
}

TEST_F(RegisterMapTest, TransactionErrorsPassThroughUnchanged) {
  const Bytes ids{1, 2};
  replies(ids, {{0x00, 0x08}});  // servo 2 silent
  auto r = sm40bl::sync_read_raw_offset(h, port, ids);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::Io);
  EXPECT_EQ(r.error().io_kind(), IoKind::TimedOut);
}

// Each field at its own address, read little-endian: a shifted or swapped
// field shows as another field's value.
TEST(ServoState, DecodesEveryFieldOfTheBlockAndRefusesOtherSizes) {
  Bytes block(kServoStateLength, 0);
  auto put = [&](std::size_t address, std::uint16_t raw) {
    block[address - kServoStateAddress] = static_cast<std::uint8_t>(raw & 0xFF);
    block[address - kServoStateAddress + 1] = static_cast<std::uint8_t>(raw >> 8);
  };
  put(3, 777);
  put(31, 0x0800 | 2047);  // offset -pi
  block[40 - kServoStateAddress] = 1;  // torque on, the lock (55) left clear
  put(56, 0xFFFF);         // one step below -pi
  block[62 - kServoStateAddress] = 109;
  block[63 - kServoStateAddress] = 41;
  auto s = decode_servo_state(block);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->model, 777);
  EXPECT_EQ(s->offset, -kPi);
  EXPECT_TRUE(s->torque_enabled);
  EXPECT_FALSE(s->eeprom_locked);
  EXPECT_EQ(s->position, raw_position_to_radians(-1));
  EXPECT_EQ(s->supply_volts, 10.9);
  EXPECT_EQ(s->temperature, 41);

  block.pop_back();
  EXPECT_EQ(decode_servo_state(block).error().kind(), Error::Kind::BadReply);
}

}  // namespace
}  // namespace servocom
