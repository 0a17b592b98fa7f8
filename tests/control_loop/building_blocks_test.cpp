// The loop's building blocks: tick schedule, bounded queue, reply channels,
// fair choice.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "control_loop/command_queue.hpp"
#include "control_loop/fair_choice.hpp"
#include "control_loop/reply_channel.hpp"
#include "control_loop/tick_schedule.hpp"
#include "torso_rig.hpp"

namespace velmora::control_loop {
namespace {

using namespace std::chrono_literals;
using testing::ManualClock;
using Clock = std::chrono::steady_clock;

TEST(TickSchedule, DeadlinesStayOnTheAbsoluteGridAfterFallingBehind) {
  const auto start = Clock::time_point{} + 1s;
  TickSchedule s(start, 10ms);
  EXPECT_TRUE(s.is_due(start));  // the first tick is due at once
  s.take();
  EXPECT_EQ(s.next_due(), start + 10ms);
  EXPECT_FALSE(s.is_due(start + 9ms));

  // 35 ms late: the missed ticks at 10, 20 and 30 ms come one per take,
  // back to back, and the next deadline is 40 ms, not 35 + 10.
  const auto late = start + 35ms;
  int delivered = 0;
  while (s.is_due(late)) {
    s.take();
    ++delivered;
  }
  EXPECT_EQ(delivered, 3);
  EXPECT_EQ(s.next_due(), start + 40ms);
}

TEST(TickSchedule, RejectsANonPositivePeriod) {
  EXPECT_THROW(TickSchedule(Clock::now(), 0ns), std::invalid_argument);
  EXPECT_THROW(TickSchedule(Clock::now(), -1ms), std::invalid_argument);
}

TEST(CommandQueue, FullQueueBlocksTheSenderUntilTheReceiverTakesOne) {
  CommandQueue<int> q(3);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(q.send(i));
  bool would_block = false;
  auto refused = q.try_send(99, would_block);
  ASSERT_FALSE(refused);
  EXPECT_TRUE(would_block);
  EXPECT_EQ(refused.error(), 99);

  std::atomic<bool> sent{false};
  std::thread sender([&] {
    ASSERT_TRUE(q.send(3));
    sent = true;
  });
  EXPECT_FALSE(sent.load());  // it cannot get in before the receiver takes one
  EXPECT_EQ(q.try_recv(), 0);
  sender.join();
  for (int want = 1; want <= 3; ++want) EXPECT_EQ(q.try_recv(), want);
  EXPECT_EQ(q.try_recv(), std::nullopt);
}

TEST(CommandQueue, StoppingOrClosingHandsBlockedAndLaterItemsBack) {
  for (const bool close : {false, true}) {
    CommandQueue<int> q(1);
    ASSERT_TRUE(q.send(1));
    std::optional<int> returned;
    std::thread blocked([&] {
      auto r = q.send(2);
      if (!r) returned = r.error();
    });
    if (close) {
      q.close_receiver();  // queued items are dropped
    } else {
      q.stop_accepting();  // queued items stay for the receiver
    }
    blocked.join();
    EXPECT_EQ(returned, 2);
    auto later = q.send(3);
    ASSERT_FALSE(later);
    EXPECT_EQ(later.error(), 3);
    bool would_block = true;
    EXPECT_FALSE(q.try_send(4, would_block));
    EXPECT_FALSE(would_block);
    EXPECT_EQ(q.try_recv_or_close(), close ? std::nullopt : std::optional<int>(1));
    EXPECT_EQ(q.try_recv_or_close(), std::nullopt);
  }
}

TEST(CommandQueue, EndOfDrainEitherTakesAnItemOrRefusesItsSender) {
  // Senders race with a receiver that drains and closes; every item is
  // either received or handed back, never lost.
  for (int round = 0; round < 50; ++round) {
    CommandQueue<int> q(100);
    std::atomic<int> refused{0};
    std::thread sender([&] {
      for (int i = 0; i < 200; ++i)
        if (!q.send(i)) ++refused;
    });
    int received = 0;
    while (q.try_recv_or_close()) ++received;
    sender.join();
    EXPECT_EQ(received + refused.load(), 200);
  }
}

TEST(CommandQueue, WaitWakesForAnItemANudgeOrTheDeadline) {
  ManualClock clock;
  CommandQueue<int> q;
  clock.advance(1s);
  EXPECT_EQ(q.wait_until(clock, clock.now()), CommandQueue<int>::Wake::Deadline);

  // Time stands still: only the item can end this wait.
  std::thread sender([&] { (void)q.send(7); });
  EXPECT_EQ(q.wait_until(clock, clock.now() + 1h), CommandQueue<int>::Wake::Item);
  sender.join();
  EXPECT_EQ(q.try_recv(), 7);

  q.nudge();  // a nudge before the wait is not lost
  EXPECT_EQ(q.wait_until(clock, clock.now() + 1h), CommandQueue<int>::Wake::Nudged);
  EXPECT_EQ(q.wait_until(clock, clock.now()), CommandQueue<int>::Wake::Deadline);
}

TEST(ReplyChannel, DeliversOnceOrReportsTheDroppedSender) {
  ManualClock clock;
  {
    auto [tx, rx] = make_reply_channel<int>();
    std::thread t([tx = std::move(tx)]() mutable { EXPECT_TRUE(tx.send(5)); });
    EXPECT_EQ(rx.recv_for(clock, 1h), 5);
    t.join();
  }
  {
    auto [tx, rx] = make_reply_channel<int>();
    { auto gone = std::move(tx); }
    EXPECT_EQ(rx.recv(), std::nullopt);
  }
  {
    auto [tx, rx] = make_reply_channel<int>();
    EXPECT_EQ(rx.recv_for(clock, 0s), std::nullopt);  // the time-out has passed
  }
  {
    auto channel = make_reply_channel<int>();
    auto tx = std::move(channel.first);
    { auto rx = std::move(channel.second); }
    EXPECT_FALSE(tx.send(1));  // nobody waits any more
  }
}

TEST(FairChoice, PicksEachSideAboutHalfTheTime) {
  FairChoice coin(12345);
  int ticks = 0;
  constexpr int kRounds = 10000;
  for (int i = 0; i < kRounds; ++i) ticks += coin.tick_first() ? 1 : 0;
  EXPECT_GT(ticks, kRounds * 45 / 100);
  EXPECT_LT(ticks, kRounds * 55 / 100);
}

}  // namespace
}  // namespace velmora::control_loop
