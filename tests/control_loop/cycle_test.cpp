// The loop's rounds, driven one by one on the test's thread with a clock the
// test moves: the tick schedule, commands in between, failed reads, statistics,
// fairness and what each command does to the virtual torso.

#include <gtest/gtest.h>

#include "control_loop/command_exec.hpp"
#include "control_loop/loop_cycle.hpp"
#include "servocom/conversions.hpp"
#include "torso_rig.hpp"

namespace velmora::control_loop {
namespace {

using namespace std::chrono_literals;
using controller::testing::get_u16;
using testing::Packet;

constexpr std::uint8_t kRead = 0x02;
constexpr std::uint8_t kGoalPosition = 42;

struct CycleRig : testing::TorsoRig {
  LoopContext ctx;
  std::unique_ptr<LoopCycle> cycle;

  void start(std::uint64_t retries = 1, std::optional<std::chrono::nanoseconds> stats = std::nullopt) {
    ctx = LoopContext{.controller = controller(),
                      .commands = std::make_shared<MotorCommandQueue>(),
                      .cells = std::make_shared<SharedCells>(VelmoraTorsoPosition{}, false, stats),
                      .period = 10ms,
                      .allowed_retries = retries,
                      .choice_seed = 7U,
                      .clock = clock};
    cycle = std::make_unique<LoopCycle>(ctx);
  }
  void queue(MotorCommand command) { ASSERT_TRUE(ctx.commands->send(std::move(command))); }
  // Each round must find a tick due or a command queued: time only moves
  // when the test or the torso moves it.
  void rounds(int count) {
    for (int i = 0; i < count; ++i) cycle->round();
  }
  std::size_t packets(std::uint8_t instruction) const {
    return static_cast<std::size_t>(std::ranges::count(servos->received, instruction, &Packet::instruction));
  }
  // Two sync reads (arms, nose) per tick.
  std::size_t ticks() const { return packets(testing::kInstructionSyncRead) / 2; }
  ControlLoopStats stats() const {
    return ctx.cells->last_stats.read([](const StatsWindows& w) { return w.snapshot(); }).flatten();
  }
};

TEST(LoopCycle, TicksKeepTheirScheduleAndCommandsRunInBetween) {
  CycleRig rig;
  rig.start();
  rig.rounds(1);  // the first tick is due at once
  EXPECT_EQ(rig.ticks(), 1U);
  rig.queue(cmd::EnableArms{true});
  rig.rounds(1);
  EXPECT_EQ(rig.ticks(), 1U);
  EXPECT_EQ(rig.servos->registers[1][testing::kTorqueEnable], 1);

  // 35 ms later the ticks of 10, 20 and 30 ms come back to back; the next
  // is due at 40 ms, so a command queued now goes first.
  rig.clock->advance(35ms);
  rig.rounds(3);
  EXPECT_EQ(rig.ticks(), 4U);
  rig.queue(cmd::EnableNose{true});
  rig.rounds(1);
  EXPECT_EQ(rig.ticks(), 4U);
  EXPECT_EQ(rig.servos->registers[5][testing::kTorqueEnable], 1);
}

TEST(LoopCycle, AFailedReadIsStoredUntilALaterTickSucceeds) {
  CycleRig rig;
  rig.start(2);
  rig.servos->present.erase(4);  // its replies time out
  rig.rounds(1);
  ASSERT_FALSE(rig.ctx.cells->last_position.get());
  EXPECT_EQ(rig.ctx.cells->last_position.get().error().message(), MotorError::communication().message());
  EXPECT_EQ(rig.clock->elapsed(), 20ms);  // one retry, 20 ms after the first attempt

  rig.servos->present.insert(4);
  rig.rounds(1);  // the tick of 10 ms, late
  EXPECT_TRUE(rig.ctx.cells->last_position.get());
}

TEST(LoopCycle, AReadingOutageIsLoggedOnceWithWhatWentWrongBeneathTheFixedText) {
  auto& log = testing::LogCapture::get();
  (void)log.take();
  CycleRig rig;
  rig.start();
  rig.servos->fail_writes = true;  // a failed send is a "Timeout error" to its callers
  rig.rounds(1);
  rig.clock->advance(10ms);
  rig.rounds(1);
  rig.servos->fail_writes = false;
  rig.clock->advance(10ms);
  rig.rounds(1);
  rig.servos->present.erase(4);
  rig.clock->advance(10ms);
  rig.rounds(1);
  const std::string loop = "velmora_motor_controller::control_loop: readings ";
  EXPECT_EQ(log.take(), (std::vector<std::string>{loop + "failing (serial port : Timeout error (Broken pipe))",
                                                  loop + "back after 0.02 s; 2 readings failed",
                                                  loop + "failing (serial port : Operation timed out (reply of servo 4))"}));
}

TEST(LoopCycle, StatisticsBatchReadAndWriteSamplesPerPublication) {
  CycleRig rig;
  // A sync read takes 1 ms on this torso, a sync write 3 ms.
  rig.servos->on_packet = [&rig](const Packet& p) {
    if (p.instruction == testing::kInstructionSyncRead) rig.clock->advance(1ms);
    if (p.instruction == testing::kInstructionSyncWrite) rig.clock->advance(3ms);
  };
  rig.start(1, 25ms);
  rig.rounds(1);  // the tick at 0 ms, over at 2 ms
  rig.queue(cmd::EnableArms{true});
  rig.rounds(1);  // over at 5 ms
  rig.servos->fail_writes = true;
  rig.queue(cmd::EnableArms{false});
  rig.rounds(1);  // failed: no sample
  rig.servos->fail_writes = false;

  // Ticks add period samples at once; read and write samples wait for the
  // first tick more than 25 ms after the start.
  auto early = rig.stats();
  EXPECT_EQ(early.period, std::vector<double>{0.0});
  EXPECT_TRUE(early.read_dt.empty());
  EXPECT_TRUE(early.write_dt.empty());

  for (int tick = 1; tick <= 3; ++tick) {
    rig.clock->advance(rig.clock->elapsed() < 10ms ? 5ms : 8ms);
    rig.rounds(1);  // the ticks at 10, 20 and 30 ms
  }
  const auto published = rig.stats();
  EXPECT_EQ(published.period, (std::vector<double>{0.0, 0.010, 0.010, 0.010}));
  EXPECT_EQ(published.read_dt, (std::vector<double>{0.002, 0.002, 0.002, 0.002}));
  EXPECT_EQ(published.write_dt, std::vector<double>{0.003});
}

TEST(LoopCycle, AFloodOfCommandsDoesNotStarveThePositionReads) {
  CycleRig rig;
  // Every transaction takes 6 ms: the loop stays behind its 10 ms schedule.
  rig.servos->on_packet = [&rig](const Packet& p) {
    if (p.instruction == testing::kInstructionSyncRead || p.instruction == testing::kInstructionSyncWrite) rig.clock->advance(6ms);
  };
  rig.start();
  for (int i = 0; i < 100; ++i) rig.queue(cmd::EnableArms{true});
  rig.rounds(100);
  // A tick and a command are ready in every round; a coin picks.
  EXPECT_EQ(rig.ticks() + rig.packets(testing::kInstructionSyncWrite), 100U);
  EXPECT_GE(rig.ticks(), 30U);
  EXPECT_GE(rig.packets(testing::kInstructionSyncWrite), 30U);
}

TEST(LoopCycle, CommandsReachTheTorsoAndTheTorqueStateFollowsSuccess) {
  CycleRig rig;
  rig.start();
  rig.rounds(1);
  VelmoraTorsoPosition goal;
  goal.left_arm = {0.1, 0.2};
  goal.right_arm = {0.3, 0.4};
  goal.nose = {0.5, 0.6, 0.7};
  rig.queue(cmd::SetAllGoalPositions{goal.servo_goals()});
  rig.queue(cmd::SetNeckPosition{{0.9, 0.1, -0.1}});  // yaw clamped to 0.5
  rig.queue(cmd::SetNeckPitchPosition{0.25});
  rig.queue(cmd::EnableTorqueOnIds{{3}});
  rig.queue(cmd::WriteRawBytes{2, 24, {1, 2, 3}});
  rig.rounds(5);

  const auto goals = goal.servo_goals();
  for (std::uint8_t id = 1; id <= 7; ++id) {
    EXPECT_EQ(get_u16(*rig.servos, id, kGoalPosition),
              static_cast<std::uint16_t>(servocom::radians_to_raw_position(goals[id - 1U])))
        << "servo " << int{id};
  }
  EXPECT_NEAR(rig.neck->motors[1].position, 0.5, 1e-3);
  EXPECT_NEAR(rig.neck->motors[2].position, 0.25, 1e-3);
  EXPECT_NEAR(rig.neck->motors[3].position, -0.1, 1e-3);
  EXPECT_EQ(rig.servos->registers[3][testing::kTorqueEnable], 1);
  EXPECT_EQ(rig.ctx.cells->last_torque.get(), true);  // the whole robot, after one servo
  EXPECT_EQ(rig.servos->registers[2][24], 1);
  EXPECT_EQ(rig.servos->registers[2][26], 3);

  rig.queue(cmd::DisableTorqueOnIds{{1, 2}});
  rig.rounds(1);
  EXPECT_EQ(rig.ctx.cells->last_torque.get(), false);
  rig.servos->fail_writes = true;
  rig.queue(cmd::EnableTorque{});
  rig.rounds(1);
  EXPECT_EQ(rig.ctx.cells->last_torque.get(), false);  // failed: unchanged
}

TEST(LoopCycle, NeckOnlyLoopRefusesServoCommandsAtOnceAndStillDrivesTheNeck) {
  CycleRig rig;
  rig.serial = false;
  rig.start(5);
  rig.rounds(1);
  auto position = rig.ctx.cells->last_position.get();
  ASSERT_TRUE(position);
  EXPECT_EQ(position->left_arm, (std::array<double, 2>{0.0, 0.0}));

  auto [tx, rx] = make_reply_channel<Bytes>();
  rig.queue(cmd::EnableArms{true});
  rig.queue(cmd::EnableTorque{});
  rig.queue(cmd::ReadRawBytes{1, 21, 3, std::move(tx)});
  rig.queue(cmd::EnableNeck{true});
  rig.rounds(4);
  EXPECT_EQ(rx.recv(), std::nullopt);                   // its requester sees the failure
  EXPECT_EQ(rig.clock->elapsed(), 0ns);                 // the refusal is not retried
  EXPECT_EQ(rig.ctx.cells->last_torque.get(), false);
  EXPECT_TRUE(rig.neck->motors[1].enabled);
}

TEST(LoopCycle, RawReadsRetryAndAnswerTheirRequesterEvenIfItGaveUp) {
  CycleRig rig;
  rig.start(3);
  rig.rounds(1);
  rig.servos->registers[4][21] = 7;
  int reads = 0;
  // Servo 4 misses the first raw read.
  rig.servos->on_packet = [&](const Packet& p) {
    if (p.instruction != kRead) return;
    if (reads++ == 0) {
      rig.servos->present.erase(4);
    } else {
      rig.servos->present.insert(4);
    }
  };
  auto [packet_tx, packet_rx] = make_reply_channel<Bytes>();
  rig.queue(cmd::WriteRawPacket{{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}, std::move(packet_tx)});  // ping servo 1
  auto [tx, rx] = make_reply_channel<Bytes>();
  rig.queue(cmd::ReadRawBytes{4, 21, 2, std::move(tx)});
  rig.rounds(2);
  EXPECT_EQ(packet_rx.recv(), (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}));
  EXPECT_EQ(rx.recv(), (Bytes{7, 0}));
  EXPECT_EQ(rig.clock->elapsed(), 20ms);

  auto gone = [] {
    auto [sender, receiver] = make_reply_channel<Bytes>();
    return std::move(sender);  // the requester's end is dropped here
  };
  auto& torque = rig.ctx.cells->last_torque;
  // The read itself went well: the command succeeds (and counts in write_dt);
  // a raw packet's reply that cannot be delivered is the command's failure.
  EXPECT_TRUE(handle_command(*rig.ctx.controller, torque, cmd::ReadRawBytes{4, 21, 2, gone()}, 1, *rig.clock));
  EXPECT_FALSE(handle_command(*rig.ctx.controller, torque,
                              cmd::WriteRawPacket{{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}, gone()}, 1, *rig.clock));
}

}  // namespace
}  // namespace velmora::control_loop
