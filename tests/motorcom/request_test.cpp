#include <gtest/gtest.h>

#include <cerrno>

#include "scripted_bus.hpp"

namespace {

using namespace std::chrono_literals;
using motorcom::CanError;
using motorcom::CanFrame;
using motorcom::CanId;
using motorcom::testing::frame;
using motorcom::testing::ScriptedBus;

const CanFrame kQuery = frame(CanId::standard(1), {1, 2, 3});

TEST(Request, TakesTheFirstFrameWithTheExpectedIdAndDiscardsTheRest) {
  ScriptedBus bus;
  bus.reply(frame(CanId::extended(1), {0xE}));  // same value, other kind
  bus.reply(frame(CanId::standard(2), {0x2}));
  bus.reply(frame(CanId::standard(1), {0xA}));
  bus.reply(frame(CanId::standard(1), {0xB}));
  const auto r = bus.request(kQuery, CanId::standard(1), 20ms);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->data, std::vector<std::uint8_t>{0xA});
  ASSERT_EQ(bus.sent.size(), 1U);
  EXPECT_EQ(bus.sent[0].data, kQuery.data);
  EXPECT_EQ(bus.script.size(), 1U);  // the later frame is left for the next caller
}

TEST(Request, PassesFailuresThroughUnchanged) {
  ScriptedBus refused;
  refused.send_error = CanError::backend(ENETDOWN);
  const auto not_sent = refused.request(kQuery, CanId::standard(1), 20ms);
  ASSERT_FALSE(not_sent.has_value());
  EXPECT_EQ(not_sent.error().message(), "backend error: Network is down");
  EXPECT_TRUE(refused.recv_timeouts.empty());

  ScriptedBus broken;
  broken.reply(frame(CanId::standard(5), {}));
  broken.fail(CanError::backend(EBADF));
  const auto r = broken.request(kQuery, CanId::standard(1), 20ms);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), CanError::Kind::Backend);
  EXPECT_EQ(r.error().os_error(), EBADF);

  ScriptedBus silent;
  const auto t = silent.request(kQuery, CanId::standard(1), 20ms);
  ASSERT_FALSE(t.has_value());
  EXPECT_EQ(t.error().message(), "timeout waiting for frame");
}

TEST(Request, NoTimeLeftMeansTimeoutWithoutWaiting) {
  // A zero wait would be read by the socket as "for ever".
  for (std::chrono::nanoseconds timeout : {0ns, 999ns, std::chrono::nanoseconds(-5ms)}) {
    ScriptedBus bus;
    bus.reply(frame(CanId::standard(1), {}));
    const auto r = bus.request(kQuery, CanId::standard(1), timeout);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), CanError::Kind::Timeout);
    EXPECT_EQ(bus.sent.size(), 1U);
    EXPECT_TRUE(bus.recv_timeouts.empty());
  }
}

TEST(Request, HugeTimeoutDoesNotWrapAround) {
  ScriptedBus bus;
  bus.reply(frame(CanId::standard(2), {}));
  bus.reply(frame(CanId::standard(1), {0x1}));
  const auto r = bus.request(kQuery, CanId::standard(1), std::chrono::nanoseconds::max());
  ASSERT_TRUE(r.has_value()) << r.error().message();
  EXPECT_EQ(r->data, std::vector<std::uint8_t>{0x1});
  ASSERT_EQ(bus.recv_timeouts.size(), 2U);
  EXPECT_GT(bus.recv_timeouts[1], std::chrono::hours(24 * 365));
}

TEST(Request, UnrelatedTrafficDoesNotExtendTheDeadline) {
  // A frame of another id every millisecond, on clocks the test moves.
  using Steady = std::chrono::steady_clock;
  using Wall = std::chrono::system_clock;
  Steady::time_point now{std::chrono::seconds(7)};
  const Wall::time_point w0{std::chrono::seconds(70)};
  const Steady::time_point t0 = now;
  ScriptedBus bus;
  bus.stamp = [&] { return w0 + (now - t0); };
  bus.endless = [&](std::chrono::nanoseconds) -> motorcom::CanResult<CanFrame> {
    now += 1ms;
    return frame(CanId::standard(9), {0});
  };
  motorcom::PendingReplies pending(bus, [&] { return now; }, [&] { return w0 + (now - t0); });
  const auto r = pending.collect(pending.send(kQuery, [](const CanFrame& f) { return f.id == CanId::standard(1); },
                                              30ms));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), CanError::Kind::Timeout);
  EXPECT_EQ(now - t0, 31ms) << "the first frame after the deadline ends the wait";
  ASSERT_EQ(bus.recv_timeouts.size(), 31U);
  EXPECT_EQ(bus.recv_timeouts.front(), 30ms);
  for (std::size_t i = 1; i < bus.recv_timeouts.size(); ++i) EXPECT_LE(bus.recv_timeouts[i], bus.recv_timeouts[i - 1]);
}

TEST(PendingReplies, RepliesInAnyOrderLandOnTheirOwnRequestsWithinTheirOwnTimeOuts) {
  // Receive times are compared on the wall clock, which here runs 1000 s
  // apart from the monotonic one: only like is compared with like.
  using Steady = std::chrono::steady_clock;
  using Wall = std::chrono::system_clock;
  const Steady::time_point t0{std::chrono::seconds(100)};
  const Wall::time_point w0{std::chrono::seconds(1100)};
  Steady::time_point now = t0;
  ScriptedBus bus;
  motorcom::PendingReplies pending(bus, [&] { return now; }, [&] { return w0 + (now - t0); });
  const auto on = [](std::uint32_t id) { return [id](const CanFrame& f) { return f.id == CanId::standard(id); }; };
  const auto arrived = [&](std::uint32_t id, std::uint8_t tag, Wall::duration after) {
    CanFrame f = frame(CanId::standard(id), {tag});
    f.received_at = w0 + after;
    return f;
  };
  bus.reply(arrived(1, 0xEE, -1ms));  // queued before the requests went out
  const auto a = pending.send(kQuery, on(1), 20ms);
  now += 1ms;
  const auto b = pending.send(kQuery, on(2), 20ms);
  now += 1ms;
  const auto silent = pending.send(kQuery, on(3), 20ms);
  const auto late = pending.send(kQuery, on(4), 20ms);
  ASSERT_EQ(bus.sent.size(), 4U);
  bus.reply(arrived(2, 0xB, 3ms));
  bus.reply(arrived(1, 0xA, 4ms));
  bus.reply(arrived(4, 0xD, 30ms));  // 28 ms after its request

  now = t0 + 50ms;  // collected long after every deadline: what came in time still counts
  const auto ra = pending.collect(a);
  ASSERT_TRUE(ra.has_value()) << ra.error().message();
  EXPECT_EQ(ra->data, std::vector<std::uint8_t>{0xA});
  const auto rb = pending.collect(b);
  ASSERT_TRUE(rb.has_value()) << rb.error().message();
  EXPECT_EQ(rb->data, std::vector<std::uint8_t>{0xB});
  EXPECT_EQ(pending.collect(silent).error().kind(), CanError::Kind::Timeout);
  EXPECT_EQ(pending.collect(late).error().kind(), CanError::Kind::Timeout);
  for (auto t : bus.recv_timeouts) EXPECT_EQ(t, 0ns) << "past the deadline only what is queued is taken";
}

TEST(PendingReplies, WithoutReceiveTimesAReplyCollectedLateStillCounts) {
  // A socket that refuses timestamps: arrival is not known, so a queued reply
  // taken after the deadline is not held against it, and other traffic
  // queued past the deadline is looked at only so far.
  using Steady = std::chrono::steady_clock;
  Steady::time_point now{std::chrono::seconds(5)};
  ScriptedBus bus;
  bus.stamp = nullptr;
  motorcom::PendingReplies pending(bus, [&] { return now; });
  const auto on = [](std::uint32_t id) { return [id](const CanFrame& f) { return f.id == CanId::standard(id); }; };
  const auto a = pending.send(kQuery, on(1), 20ms);
  const auto b = pending.send(kQuery, on(2), 20ms);
  bus.reply(frame(CanId::standard(2), {0xB}));
  bus.reply(frame(CanId::standard(1), {0xA}));
  now += 40ms;
  EXPECT_EQ(pending.collect(a)->data, std::vector<std::uint8_t>{0xA});
  EXPECT_EQ(pending.collect(b)->data, std::vector<std::uint8_t>{0xB});

  ScriptedBus flooded;
  flooded.stamp = nullptr;
  flooded.endless = [](std::chrono::nanoseconds) -> motorcom::CanResult<CanFrame> {
    return frame(CanId::standard(9), {0});
  };
  motorcom::PendingReplies waiting(flooded, [&] { return now; });
  const auto c = waiting.send(kQuery, on(1), 20ms);
  now += 40ms;
  EXPECT_EQ(waiting.collect(c).error().kind(), CanError::Kind::Timeout);
  EXPECT_LT(flooded.recv_timeouts.size(), 1000U);
}

TEST(CanErrorText, DisplayTexts) {
  EXPECT_EQ(CanError::backend(ENODEV).message(), "backend error: No such device");
  EXPECT_EQ(CanError::timeout().message(), "timeout waiting for frame");
  EXPECT_EQ(CanError::frame_too_large(9).message(), "frame too large for selected mode: 9 bytes");
  EXPECT_EQ(CanError::invalid_id().message(), "invalid CAN id");
  EXPECT_EQ(CanError::frame_too_large(65).length(), 65U);
}

}  // namespace
