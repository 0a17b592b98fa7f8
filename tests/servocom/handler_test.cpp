#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "fake_port.hpp"

namespace servocom {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::FakePort;
using testing::RecordingSleep;
using testing::status;

const Bytes kPing1{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};

TEST(FeetechHandler, PingTrueOnlyForAValidReplyFromThatId) {
  RecordingSleep rec;
  auto h = rec.handler();
  FakePort port;
  port.reply(status(1, 0x20));  // error bits do not matter
  EXPECT_EQ(h.ping(port, 1), true);
  EXPECT_EQ(port.written, kPing1);
  EXPECT_TRUE(rec.sleeps.empty()) << "an empty input costs no drain pause";

  port.reply({});  // silent servo
  EXPECT_EQ(h.ping(port, 1), false);
  port.reply(status(2, 0));  // someone else answers
  EXPECT_EQ(h.ping(port, 1), false);

  FakePort reboot_port;
  reboot_port.reply(status(3, 0));
  EXPECT_EQ(h.reboot(reboot_port, 3), true);
  EXPECT_EQ(reboot_port.written, (Bytes{0xFF, 0xFF, 0x03, 0x02, 0x08, 0xF2}));
  EXPECT_EQ(h.reboot(reboot_port, 3), false);
}

TEST(FeetechHandler, WriteFailureIsTimeoutErrorEvenForPingAndReboot) {
  FakePort port;
  port.write_error = Error::io(IoKind::Other, "serial port /dev/x: write failed: Input/output error");
  RecordingSleep rec;
  auto h = rec.handler();
  auto ping = h.ping(port, 1);
  ASSERT_FALSE(ping);
  EXPECT_EQ(ping.error().kind(), Error::Kind::TimeoutError);
  EXPECT_EQ(ping.error().message(), "Timeout error");
  EXPECT_EQ(ping.error().cause(), "serial port /dev/x: write failed: Input/output error");
  EXPECT_EQ(h.reboot(port, 1).error().kind(), Error::Kind::TimeoutError);
  EXPECT_EQ(h.write(port, 1, 40, Bytes{1}).error().kind(), Error::Kind::TimeoutError);
  const Bytes ids{1};
  EXPECT_EQ(h.sync_write(port, ids, 40, std::vector<Bytes>{{1}}).error().kind(), Error::Kind::TimeoutError);
}

TEST(FeetechHandler, StaleInputIsDiscardedBeforeSending) {
  RecordingSleep rec;
  auto h = rec.handler();
  FakePort port;
  port.feed({0x11, 0x22, 0x33});
  port.arriving = {{}, {0x44}};  // a byte lands between the two counts
  port.reply(status(1, 0));
  EXPECT_EQ(h.ping(port, 1), true);
  EXPECT_EQ(port.written, kPing1);
  EXPECT_EQ(rec.sleeps, (std::vector<std::chrono::microseconds>{5ms}));
  EXPECT_TRUE(port.input.empty());
}

TEST(FeetechHandler, InputThatKeepsArrivingFailsWithoutWriting) {
  RecordingSleep rec;
  auto h = rec.handler();
  FakePort port;
  for (int i = 0; i < 10; ++i) port.arriving.push_back({0xFF});
  auto r = h.read(port, 1, 56, 2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::TimeoutError);
  EXPECT_EQ(port.writes, 0);
  EXPECT_EQ(rec.sleeps, (std::vector<std::chrono::microseconds>{5ms, 5ms, 5ms}));
}

TEST(FeetechHandler, InputStoppingDuringTheThirdPassStillSends) {
  RecordingSleep rec;
  auto h = rec.handler();
  FakePort port;
  // Each pass asks twice; three passes of stale bytes, then quiet.
  port.arriving = {{1}, {}, {2}, {}, {3}, {}};
  port.reply(status(1, 0));
  EXPECT_EQ(h.ping(port, 1), true);
  EXPECT_EQ(rec.sleeps.size(), 3u);
}

TEST(FeetechHandler, PortErrorsPassThrough) {
  auto h = RecordingSleep{}.handler();
  FakePort port;
  port.waiting_error = Error::io(IoKind::Other, "serial port /dev/x: counting waiting bytes failed: EIO");
  auto r = h.ping(port, 1);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::Io);
  EXPECT_EQ(port.writes, 0);

  FakePort silent;
  auto read = h.read(silent, 1, 56, 2);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().kind(), Error::Kind::Io);
  EXPECT_TRUE(read.error().is_retryable());
}

TEST(FeetechHandler, ReadReturnsParamsEvenWithErrorBits) {
  auto h = RecordingSleep{}.handler();
  FakePort port;
  port.reply(status(1, 0x24, {0x00, 0x08}));
  auto r = h.read(port, 1, 56, 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (Bytes{0x00, 0x08}));
  EXPECT_EQ(port.written, (Bytes{0xFF, 0xFF, 0x01, 0x04, 0x02, 0x38, 0x02, 0xBE}));
}

TEST(FeetechHandler, BadHeaderFailsAndItsRestIsDrainedByTheNextSend) {
  RecordingSleep rec;
  auto h = rec.handler();
  FakePort port;
  port.reply({0xFE, 0xFF, 0x01, 0x04, 0x00, 0x00, 0x08, 0xF2});
  EXPECT_EQ(h.read(port, 1, 56, 2).error().kind(), Error::Kind::ParsingError);
  EXPECT_EQ(port.input.size(), 4u) << "only the header is consumed";
  port.reply(status(1, 0, {5, 6}));
  auto r = h.read(port, 1, 56, 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (Bytes{5, 6}));
}

TEST(FeetechHandler, TruncatedAndCorruptRepliesFail) {
  auto h = RecordingSleep{}.handler();
  FakePort port;
  Bytes truncated = status(1, 0, {1, 2, 3});
  truncated.resize(6);
  port.reply(truncated);
  auto r = h.read(port, 1, 56, 3);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), Error::Kind::Io) << "the missing bytes time out";

  Bytes corrupt = status(1, 0, {1, 2});
  corrupt[5] ^= 0x40;
  port.reply(corrupt);
  ::testing::internal::CaptureStdout();
  auto c = h.read(port, 1, 56, 2);
  EXPECT_FALSE(::testing::internal::GetCapturedStdout().empty());
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().kind(), Error::Kind::ChecksumError);

  port.reply({0xFF, 0xFF, 0x01, 0x00});  // length byte 0: too short to be a packet
  EXPECT_EQ(h.read(port, 1, 56, 2).error().kind(), Error::Kind::ParsingError);
}

TEST(FeetechHandler, SyncReadCollectsRepliesInIdOrder) {
  auto h = RecordingSleep{}.handler();
  FakePort port;
  Bytes replies;
  for (std::uint8_t id = 1; id <= 4; ++id) {
    auto s = status(id, 0, {id, static_cast<std::uint8_t>(id * 2)});
    replies.insert(replies.end(), s.begin(), s.end());
  }
  port.reply(replies);
  const Bytes ids{1, 2, 3, 4};
  auto r = h.sync_read(port, ids, 56, 2);
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (std::vector<Bytes>{{1, 2}, {2, 4}, {3, 6}, {4, 8}}));
  EXPECT_EQ(port.written, (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x82, 0x38, 0x02, 0x01, 0x02, 0x03, 0x04, 0x33}));
}

TEST(FeetechHandler, SyncReadFailsAsAWholeOnTheFirstBadReply) {
  auto h = RecordingSleep{}.handler();
  const Bytes ids{1, 2, 3, 4};
  auto s1 = status(1, 0, {0, 8});
  auto s2 = status(2, 0, {0, 8});
  auto s4 = status(4, 0, {0, 8});

  FakePort silent3;  // servo 3 does not answer
  Bytes r = s1;
  r.insert(r.end(), s2.begin(), s2.end());
  silent3.reply(r);
  auto a = h.sync_read(silent3, ids, 56, 2);
  ASSERT_FALSE(a);
  EXPECT_EQ(a.error().kind(), Error::Kind::Io);
  EXPECT_EQ(a.error().io_kind(), IoKind::TimedOut);

  FakePort swapped;  // 4 answers before 3
  Bytes w = r;
  w.insert(w.end(), s4.begin(), s4.end());
  auto s3 = status(3, 0, {0, 8});
  w.insert(w.end(), s3.begin(), s3.end());
  swapped.reply(w);
  auto b = h.sync_read(swapped, ids, 56, 2);
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error().kind(), Error::Kind::ParsingError);
}

TEST(FeetechHandler, SyncReadOfNoIdsSendsAndReturnsNothing) {
  auto h = RecordingSleep{}.handler();
  FakePort port;
  auto r = h.sync_read(port, {}, 56, 2);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->empty());
  EXPECT_EQ(port.writes, 1);
}

TEST(FeetechHandler, WritesAndTheirRefusals) {
  auto h = RecordingSleep{}.handler();
  FakePort port;
  port.reply(status(7, 0));
  EXPECT_TRUE(h.write(port, 7, 42, Bytes{0x00, 0x08}));
  EXPECT_FALSE(h.write(port, 7, 42, Bytes{0x00, 0x08})) << "a write needs its reply";

  FakePort sync;
  const Bytes ids{5, 6};
  EXPECT_TRUE(h.sync_write(sync, ids, 40, std::vector<Bytes>{{1}, {0}}));
  EXPECT_EQ(sync.written, (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x83, 0x28, 0x01, 0x05, 0x01, 0x06, 0x00, 0x41}));

  FakePort refused;
  auto big = h.write(refused, 1, 0, Bytes(300, 0));
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().kind(), Error::Kind::InvalidRequest);
  auto mismatched = h.sync_write(refused, ids, 40, std::vector<Bytes>{{1}});
  ASSERT_FALSE(mismatched);
  EXPECT_EQ(mismatched.error().kind(), Error::Kind::InvalidRequest);
  EXPECT_EQ(refused.writes, 0);
}

TEST(FeetechHandler, PauseAfterEveryReadButOnlyAfterSuccessfulWrites) {
  RecordingSleep rec;
  auto h = rec.handler(2ms);
  FakePort port;
  port.reply(status(1, 0, {1, 2}));
  EXPECT_TRUE(h.read(port, 1, 56, 2));
  EXPECT_FALSE(h.read(port, 1, 56, 2));  // silent
  EXPECT_EQ(rec.sleeps, (std::vector<std::chrono::microseconds>{2ms, 2ms}));
  rec.sleeps.clear();
  EXPECT_FALSE(h.write(port, 1, 40, Bytes{1}));
  EXPECT_TRUE(rec.sleeps.empty());
  port.reply(status(1, 0));
  EXPECT_TRUE(h.write(port, 1, 40, Bytes{1}));
  EXPECT_EQ(rec.sleeps, (std::vector<std::chrono::microseconds>{2ms}));
}

}  // namespace
}  // namespace servocom
