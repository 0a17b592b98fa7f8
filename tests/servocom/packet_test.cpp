#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_port.hpp"
#include "servocom/feetech_packet.hpp"
#include "wire_vectors.hpp"

namespace servocom {
namespace {

using testing::Bytes;

Bytes wire(const Result<InstructionPacketFeetech>& p) {
  EXPECT_TRUE(p.has_value());
  return p ? p->to_bytes() : Bytes{};
}

const wire_vectors::Value& instructions() { return wire_vectors::all()["feetech_instructions"]; }

TEST(FeetechPacket, KnownAnswerEncodings) {
  for (const auto& v : instructions().items) {
    EXPECT_EQ(wire(InstructionPacketFeetech::create(v["id"].as<std::uint8_t>(),
                                                    static_cast<Instruction>(v["instruction"].as<int>()),
                                                    v["params"].bytes())),
              v["bytes"].bytes())
        << v["name"].text;
  }
  // The builders make the same packets.
  const Bytes ids{1, 2, 3, 4};
  const Bytes two{1, 2};
  const std::vector<Bytes> data{{1}, {1}};
  const Bytes payload{0x00, 0x08};
  EXPECT_EQ(PacketFeetech::read_packet(1, 56, 2).to_bytes(), instructions().named("read")["bytes"].bytes());
  EXPECT_EQ(wire(PacketFeetech::sync_read_packet(ids, 56, 2)), instructions().named("sync read")["bytes"].bytes());
  EXPECT_EQ(wire(PacketFeetech::sync_write_packet(two, 40, data)), instructions().named("sync write")["bytes"].bytes());
  EXPECT_EQ(wire(PacketFeetech::write_packet(7, 42, payload)), instructions().named("write")["bytes"].bytes());
}

TEST(FeetechPacket, BuildersFillFields) {
  const Bytes ids{9, 3};
  auto p = PacketFeetech::sync_read_packet(ids, 56, 2);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->id(), BROADCAST_ID);
  EXPECT_EQ(p->instruction(), Instruction::SyncRead);
  EXPECT_EQ(Bytes(p->params().begin(), p->params().end()), (Bytes{56, 2, 9, 3}));
  EXPECT_EQ(static_cast<int>(Instruction::SyncWrite), 0x83);
}

TEST(FeetechPacket, LargestPacketFitsAndOneMoreByteIsRefused) {
  auto largest = InstructionPacketFeetech::create(1, Instruction::Write, Bytes(253, 0xAA));
  ASSERT_TRUE(largest);
  const auto bytes = largest->to_bytes();
  EXPECT_EQ(bytes.size(), 259u);
  EXPECT_EQ(bytes[3], 255);

  auto too_long = PacketFeetech::write_packet(1, 0, Bytes(253, 0xAA));  // address + 253 bytes
  ASSERT_FALSE(too_long);
  EXPECT_EQ(too_long.error().kind(), Error::Kind::InvalidRequest);
  EXPECT_NE(too_long.error().message().find("254"), std::string::npos);

  EXPECT_FALSE(PacketFeetech::sync_read_packet(Bytes(252, 1), 56, 2));
  EXPECT_TRUE(PacketFeetech::sync_read_packet(Bytes(251, 1), 56, 2));
}

TEST(FeetechPacket, SyncWriteRefusesWhatItCannotEncodeFaithfully) {
  const Bytes two{1, 2};
  auto refused = [&](std::span<const std::uint8_t> ids, std::vector<Bytes> data) {
    auto p = PacketFeetech::sync_write_packet(ids, 40, data);
    return !p && p.error().kind() == Error::Kind::InvalidRequest;
  };
  EXPECT_TRUE(refused({}, {}));
  EXPECT_TRUE(refused(two, {{1}}));            // fewer entries than ids
  EXPECT_TRUE(refused(two, {{1}, {1}, {1}}));  // more entries than ids
  EXPECT_TRUE(refused(two, {{1}, {1, 2}}));    // unequal lengths
  EXPECT_TRUE(refused(two, {{}, {}}));         // nothing to write
  // 2 + 2 * (125 + 1) = 254 parameter bytes: one too many.
  EXPECT_TRUE(refused(two, {Bytes(125, 0), Bytes(125, 0)}));
  EXPECT_FALSE(refused(two, {Bytes(124, 0), Bytes(124, 0)}));
}

TEST(FeetechStatus, ParsesParamsAndId) {
  for (const auto& v : wire_vectors::all()["feetech_status"].items) {
    auto s = StatusPacketFeetech::from_bytes(v["bytes"].bytes(), v["id"].as<std::uint8_t>());
    ASSERT_TRUE(s) << v["name"].text;
    EXPECT_EQ(s->id(), v["id"].as<int>());
    EXPECT_EQ(Bytes(s->params().begin(), s->params().end()), v["params"].bytes()) << v["name"].text;
    EXPECT_EQ(s->errors().empty(), v["error"].as<int>() == 0) << v["name"].text;
  }
}

TEST(FeetechStatus, RejectsShortWrongIdAndWrongLength) {
  const Bytes good{0xFF, 0xFF, 0x01, 0x04, 0x00, 0x00, 0x08, 0xF2};
  EXPECT_EQ(StatusPacketFeetech::from_bytes(good, 2).error().kind(), Error::Kind::ParsingError);
  for (std::size_t n = 0; n < 6; ++n) {
    EXPECT_EQ(StatusPacketFeetech::from_bytes(std::span(good).first(n), 1).error().kind(), Error::Kind::ParsingError)
        << n << " bytes";
  }
  // Length byte says 3 data bytes + 2, packet has 2: checksum still right.
  Bytes lying{0xFF, 0xFF, 0x01, 0x05, 0x00, 0x00, 0x08};
  lying.push_back(feetech_checksum(std::span(lying).subspan(2)));
  EXPECT_EQ(StatusPacketFeetech::from_bytes(lying, 1).error().kind(), Error::Kind::ParsingError);
}

TEST(FeetechStatus, ChecksumMismatchPrintsOneLine) {
  const Bytes bad{0xFF, 0xFF, 0x01, 0x04, 0x00, 0x00, 0x08, 0xF3};
  ::testing::internal::CaptureStdout();
  auto s = StatusPacketFeetech::from_bytes(bad, 1);
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind(), Error::Kind::ChecksumError);
  EXPECT_EQ(out, "read crc: 243, computed crc: 242 data: [255, 255, 1, 4, 0, 0, 8, 243]\n");
  // Checked before the id: a corrupt packet for another servo is a checksum error.
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(StatusPacketFeetech::from_bytes(bad, 9).error().kind(), Error::Kind::ChecksumError);
  ::testing::internal::GetCapturedStdout();
}

TEST(FeetechStatus, ErrorBitsBecomeCodesInBitOrder) {
  auto codes = [](std::uint8_t error_byte) {
    auto s = StatusPacketFeetech::from_bytes(testing::status(1, error_byte, {7}), 1);
    EXPECT_TRUE(s);
    return s ? Bytes(s->errors().begin(), s->errors().end()) : Bytes{};
  };
  EXPECT_EQ(codes(0x21), (Bytes{0, 4}));
  EXPECT_EQ(codes(0x10), Bytes{});
  EXPECT_EQ(codes(0xD0), Bytes{});
  EXPECT_EQ(codes(0xFF), (Bytes{0, 1, 2, 3, 4}));
  EXPECT_EQ(codes(0x08), (Bytes{3}));
}

TEST(CommunicationError, DisplayAndDebugTexts) {
  EXPECT_EQ(Error::checksum().message(), "Checksum error");
  EXPECT_EQ(Error::checksum().debug(), "ChecksumError");
  EXPECT_EQ(Error::parsing().message(), "Parsing error");
  EXPECT_EQ(Error::parsing().debug(), "ParsingError");
  EXPECT_EQ(Error::timeout().message(), "Timeout error");
  EXPECT_EQ(Error::timeout().debug(), "TimeoutError");
  EXPECT_TRUE(Error::io(IoKind::TimedOut, "Operation timed out").is_retryable());
  EXPECT_TRUE(Error::io(IoKind::Interrupted, "x").is_retryable());
  EXPECT_FALSE(Error::io(IoKind::Other, "x").is_retryable());
  EXPECT_FALSE(Error::timeout().is_retryable());
}

}  // namespace
}  // namespace servocom
