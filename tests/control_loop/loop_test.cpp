// The loop end to end against a scripted controller: start-up checks, command
// execution, the shared cells, statistics batching, drain and shutdown.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "control_loop/command_exec.hpp"
#include "control_loop/control_loop.hpp"
#include "fake_hardware.hpp"

namespace velmora::control_loop {
namespace {

using namespace std::chrono_literals;
using testing::FakeState;
using testing::fake_factory;

LoopSettings settings(std::optional<std::string> port = "/dev/null") {
  LoopSettings s;
  s.serialport = std::move(port);
  s.read_position_loop_period = 5ms;
  s.voltage_rampup_timeout = 300ms;
  return s;
}

std::unique_ptr<VelmoraControlLoop> start(const std::shared_ptr<FakeState>& state, LoopSettings s = settings()) {
  auto loop = VelmoraControlLoop::create(std::move(s), fake_factory(state));
  if (!loop) ADD_FAILURE() << loop.error().message();
  return loop ? std::move(*loop) : nullptr;
}

std::string start_error(const std::shared_ptr<FakeState>& state, LoopSettings s = settings()) {
  auto loop = VelmoraControlLoop::create(std::move(s), fake_factory(state));
  return loop ? "started" : loop.error().message();
}

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 2000ms) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (pred()) return true;
    std::this_thread::sleep_for(2ms);
  }
  return pred();
}

struct CapturingSink : log::Sink {
  std::mutex mutex;
  std::vector<std::string> lines;
  bool enabled(log::Level, std::string_view) noexcept override { return true; }
  void write(log::Level, std::string_view, std::string_view message, const char*, unsigned) noexcept override {
    std::lock_guard lock(mutex);
    lines.emplace_back(message);
  }
  bool has(const std::string& line) {
    std::lock_guard lock(mutex);
    return std::ranges::find(lines, line) != lines.end();
  }
};

CapturingSink& sink() {
  static CapturingSink s;
  static const bool installed = log::set_sink(&s);
  (void)installed;
  return s;
}

// How a test sees the loop thread gone when nobody can join it: the thread
// releases the controller as the last thing the loop does.
bool hardware_released(const std::shared_ptr<FakeState>& state) {
  return eventually([&] { return state.use_count() == 1; });
}

TEST(LoopStartup, ReportsEachHardwareProblem) {
  auto state = std::make_shared<FakeState>();
  EXPECT_EQ(start_error(state, settings("/nonexistent/tty")),
            "Check if your USB cable is connected. Could not find port: /nonexistent/tty!");
  // Only "/dev/null" would be checked by the file system.
  EXPECT_EQ(start_error(state, settings(std::string("/dev/null\0x", 11))),
            "Check if your USB cable is connected. Could not find port: " + std::string("/dev/null\0x", 11) + "!");

  auto refuse = [](const std::optional<std::string>&, const std::string&) -> HwResult<std::unique_ptr<LoopHardware>> {
    return std::unexpected(HardwareError{"no such interface", false});
  };
  auto failed = VelmoraControlLoop::create(settings(), refuse);
  ASSERT_FALSE(failed);
  EXPECT_TRUE(failed.error().is<MotorError::PortOpenFailed>());
  auto s = settings(std::nullopt);
  failed = VelmoraControlLoop::create(s, refuse);
  EXPECT_EQ(failed.error().message(),
            "Could not open serial port: ! Check permissions and if the port is already in use.");

  state->missing_ids = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(start_error(state), MotorError(MotorError::NoMotorsDetected{}).message());
  state->missing_ids = {7, 5};
  EXPECT_EQ(start_error(state), "Missing motors: [\"nose_right\", \"nose_top\"]!");
  state->missing_ids = {};
  state->missing_neck = {"neck_pitch"};
  EXPECT_EQ(start_error(state), "Missing motors: [\"neck_pitch\"]!");
  EXPECT_EQ(start_error(state, settings(std::nullopt)), "Missing motors: [\"neck_pitch\"]!");
}

TEST(LoopStartup, VoltageWaitTimesOutWithTheLowestReading) {
  auto state = std::make_shared<FakeState>();
  state->voltages = {120, 120, 95, 120, 120, 120, 100};
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(start_error(state), "Voltage did not ramp up to 12V (got 9.5V) within 300ms!");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
  for (const auto& c : state->snapshot()) EXPECT_NE(c, "reboot");
}

TEST(LoopStartup, VoltageWaitStopsWhenAskedWithNothingLeftRunning) {
  auto state = std::make_shared<FakeState>();
  state->voltages = {120, 120, 95, 120, 120, 120, 100};
  auto s = settings();
  s.voltage_rampup_timeout = 1h;
  int asked = 0;
  auto loop = VelmoraControlLoop::create(s, fake_factory(state), [&] { return ++asked == 3; });
  ASSERT_FALSE(loop);
  EXPECT_TRUE(loop.error().is<MotorError::Interrupted>());
  EXPECT_EQ(state.use_count(), 1);  // the hardware is closed again
}

TEST(LoopStartup, GoodVoltageRebootsAndTakesAFirstReading) {
  auto state = std::make_shared<FakeState>();
  state->torque = true;
  auto loop = start(state);
  ASSERT_TRUE(loop);
  auto calls = state->snapshot();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "read_all_voltages"), 1);  // no sleep when fine at once
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "reboot"), 1);
  auto p = loop->get_last_position();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->left_arm, (std::array<double, 2>{0.1, 0.2}));
  EXPECT_EQ(p->nose, (std::array<double, 3>{0.5, 0.6, 0.7}));
  EXPECT_EQ(p->neck, (std::array<double, 3>{0.01, 0.02, 0.03}));
  EXPECT_EQ(loop->is_torque_enabled(), true);
  EXPECT_EQ(loop->motor_name_id().at("nose_right"), 7);
  EXPECT_FALSE(loop->get_stats().has_value());
}

TEST(LoopStartup, RejectsSettingsThatCannotRun) {
  auto state = std::make_shared<FakeState>();
  auto s = settings();
  s.read_position_loop_period = 0ns;
  EXPECT_EQ(invalid_settings(s), "read_position_loop_period must be greater than zero");
  EXPECT_THROW((void)VelmoraControlLoop::create(s, fake_factory(state)), std::invalid_argument);
  s = settings();
  s.allowed_retries = 0;
  EXPECT_EQ(invalid_settings(s), "allowed_retries must be at least 1");
  EXPECT_EQ(invalid_settings(settings()), std::nullopt);
}

TEST(LoopCycle, ExecutesCommandsInOrderBetweenReadings) {
  auto state = std::make_shared<FakeState>();
  auto loop = start(state);
  ASSERT_TRUE(loop);
  VelmoraTorsoPosition goal;
  goal.left_arm = {1, 2};
  goal.right_arm = {3, 4};
  goal.nose = {5, 6, 7};
  goal.neck = {8, 9, 10};
  ASSERT_TRUE(loop->send(cmd::SetAllGoalPositions{goal}));
  ASSERT_TRUE(loop->send(cmd::SetNeckPosition{{0.9, 0.1, -0.1}}));
  ASSERT_TRUE(loop->send(cmd::SetNeckPitchPosition{0.25}));
  ASSERT_TRUE(loop->send(cmd::EnableTorqueOnIds{{3}}));
  ASSERT_TRUE(loop->send(cmd::WriteRawBytes{2, 21, {1, 2, 3}}));
  ASSERT_TRUE(loop->send(cmd::EnableNose{false}));
  loop->close();
  std::vector<std::string> commands;
  for (auto& c : state->snapshot())
    if (c != "read_all_voltages" && c != "reboot") commands.push_back(c);
  EXPECT_EQ(commands, (std::vector<std::string>{
                          "set_all_goal_positions 1,2,3,4,5,6,7",
                          "command_neck_mit 0.5,0.1,-0.1 set_neck_position",  // clamped first
                          "set_single_neck_joint 1 0.25",
                          "set_torque_on_ids 3 on",
                          "write_raw_bytes 2 21 3",
                          "enable_nose 0",
                      }));
  EXPECT_EQ(loop->is_torque_enabled(), true);  // follows the command for the whole robot
}

TEST(LoopCycle, TorqueStateFollowsOnlySuccessfulCommands) {
  auto state = std::make_shared<FakeState>();
  state->torque = true;
  auto loop = start(state);
  ASSERT_TRUE(loop);
  ASSERT_TRUE(loop->send(cmd::DisableTorqueOnIds{{1, 2}}));
  ASSERT_TRUE(eventually([&] { return loop->is_torque_enabled() == false; }));
  {
    std::lock_guard lock(state->mutex);
    state->fail_commands = true;
  }
  ASSERT_TRUE(loop->send(cmd::EnableTorque{}));
  loop->close();
  EXPECT_EQ(loop->is_torque_enabled(), false);
}

TEST(LoopCycle, NeckOnlyLoopRefusesSerialCommandsWithoutTouchingTheBus) {
  auto state = std::make_shared<FakeState>();
  state->serial = false;
  auto loop = start(state, settings(std::nullopt));
  ASSERT_TRUE(loop);
  auto p = loop->get_last_position();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->left_arm, (std::array<double, 2>{0.0, 0.0}));
  EXPECT_EQ(p->neck[2], 0.03);
  EXPECT_EQ(loop->is_torque_enabled(), false);
  ASSERT_TRUE(loop->send(cmd::EnableArms{true}));
  ASSERT_TRUE(loop->send(cmd::EnableTorque{}));
  ASSERT_TRUE(loop->send(cmd::EnableNeck{true}));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(loop->async_read_raw_bytes(1, 21, 3));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);  // refused, not timed out
  loop->close();
  EXPECT_EQ(state->snapshot(), (std::vector<std::string>{"enable_neck 1"}));
  EXPECT_EQ(loop->is_torque_enabled(), false);
}

TEST(LoopCycle, FailedReadIsStoredUntilALaterTickSucceeds) {
  auto state = std::make_shared<FakeState>();
  auto s = settings();
  s.allowed_retries = 2;
  auto loop = start(state, s);
  ASSERT_TRUE(loop);
  {
    std::lock_guard lock(state->mutex);
    state->position_failures.assign(30, HardwareError{"timed out", true});
  }
  ASSERT_TRUE(eventually([&] { return !loop->get_last_position().has_value(); }));
  EXPECT_EQ(loop->get_last_position().error().message(), MotorError::communication().message());
  ASSERT_TRUE(eventually([&] { return loop->get_last_position().has_value(); }));
}

TEST(LoopCycle, RawReadRetriesAndAnswersOnlyItsRequester) {
  auto state = std::make_shared<FakeState>();
  auto loop = start(state);
  ASSERT_TRUE(loop);
  {
    std::lock_guard lock(state->mutex);
    state->raw_read_failures = {HardwareError{"timed out", true}};
  }
  auto bytes = loop->async_read_raw_bytes(4, 21, 3);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(*bytes, (Bytes{4, 4, 4}));
  {
    std::lock_guard lock(state->mutex);
    state->raw_read_failures = {HardwareError{"Checksum error", false}};
  }
  EXPECT_FALSE(loop->async_read_raw_bytes(4, 21, 3));

  auto [tx, rx] = make_reply_channel<Bytes>();
  ASSERT_TRUE(loop->send(cmd::WriteRawPacket{{1, 2, 3}, std::move(tx)}));
  EXPECT_EQ(rx.recv(), (Bytes{3, 2, 1}));
}

TEST(LoopCycle, ARequesterThatStoppedWaitingFailsOnlyTheRawPacket) {
  auto state = std::make_shared<FakeState>();
  testing::FakeHardware hw(state);
  Cell<TorqueResult> torque(false);
  auto gone = [] {
    auto [tx, rx] = make_reply_channel<Bytes>();
    return std::move(tx);  // the requester's end is dropped here
  };
  // The read itself went well: the command succeeds (and counts in write_dt).
  EXPECT_TRUE(handle_command(hw, torque, cmd::ReadRawBytes{4, 21, 3, gone()}, 1));
  // A raw packet's reply that cannot be delivered is the command's failure.
  auto packet = handle_command(hw, torque, cmd::WriteRawPacket{{1, 2, 3}, gone()}, 1);
  EXPECT_FALSE(packet);
  auto calls = state->snapshot();
  EXPECT_EQ(std::ranges::count(calls, std::string("write_raw_packet")), 1) << ::testing::PrintToString(calls);
}

TEST(LoopCycle, StatisticsBatchReadAndWriteSamplesPerPublication) {
  auto state = std::make_shared<FakeState>();
  auto s = settings();
  s.stats_pub_period = 400ms;
  auto loop = start(state, s);
  ASSERT_TRUE(loop);
  ASSERT_TRUE(loop->send(cmd::EnableArms{true}));
  // Ticks add period samples at once; read and write samples wait for the
  // first publication.
  ASSERT_TRUE(eventually([&] { return loop->get_stats()->period.size() >= 5; }));
  auto early = *loop->get_stats();
  EXPECT_TRUE(early.read_dt.empty());
  EXPECT_TRUE(early.write_dt.empty());
  EXPECT_LT(early.period.front(), 0.005);  // the first tick is due at once, not a period later

  ASSERT_TRUE(eventually([&] { return !loop->get_stats()->read_dt.empty(); }));
  auto published = *loop->get_stats();
  EXPECT_EQ(published.write_dt.size(), 1u);
  EXPECT_GE(published.period.size(), published.read_dt.size());

  {
    std::lock_guard lock(state->mutex);
    state->fail_commands = true;
  }
  ASSERT_TRUE(loop->send(cmd::EnableArms{false}));  // failed: no sample
  loop->close();
  EXPECT_EQ(loop->get_stats()->write_dt.size(), 1u);
}

TEST(LoopShutdown, DrainsEveryQueuedCommandAndThenRefusesNewOnes) {
  auto state = std::make_shared<FakeState>();
  state->command_delay = 2ms;
  auto loop = start(state);
  ASSERT_TRUE(loop);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(loop->send(cmd::SetNeckYawPosition{i / 1000.0}));
  loop->close();
  int executed = 0;
  for (auto& c : state->snapshot()) executed += c.starts_with("set_single_neck_joint 0") ? 1 : 0;
  EXPECT_EQ(executed, 100);
  EXPECT_FALSE(loop->send(cmd::EnableTorque{}));
  EXPECT_FALSE(loop->async_read_raw_bytes(1, 1, 1));
  EXPECT_TRUE(loop->get_last_position());  // the last reading stays readable
  loop->close();                           // a second close does nothing
}

TEST(LoopShutdown, BlockedSendersAreReleasedWhenTheLoopStops) {
  auto state = std::make_shared<FakeState>();
  state->command_delay = 3ms;
  auto loop = start(state);
  ASSERT_TRUE(loop);
  std::atomic<int> accepted{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([&] {
      for (int i = 0; i < 60; ++i) (loop->send(cmd::EnableNeck{true}) ? accepted : refused)++;
    });
  std::this_thread::sleep_for(30ms);
  loop->close();
  for (auto& t : senders) t.join();
  int executed = 0;
  for (auto& c : state->snapshot()) executed += c == "enable_neck 1" ? 1 : 0;
  EXPECT_EQ(accepted + refused, 240);
  EXPECT_EQ(executed, accepted.load());  // nothing accepted was lost
}

TEST(LoopShutdown, SendersThatNeverPauseCannotKeepCloseFromReturning) {
  auto state = std::make_shared<FakeState>();
  state->command_delay = 1ms;
  auto loop = start(state);
  ASSERT_TRUE(loop);
  std::atomic<int> accepted{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t)
    senders.emplace_back([&] {
      while (loop->send(cmd::EnableNeck{true})) ++accepted;
    });
  std::this_thread::sleep_for(50ms);
  loop->close();  // returns once what was accepted has run
  for (auto& t : senders) t.join();
  int executed = 0;
  for (auto& c : state->snapshot()) executed += c == "enable_neck 1" ? 1 : 0;
  EXPECT_EQ(executed, accepted.load());
}

TEST(LoopShutdown, CallsBackFromTheLoopThreadNeverWaitForItself) {
  // A Python log handler runs on the loop thread; whatever it asks of the
  // loop must not wait for the loop.
  auto state = std::make_shared<FakeState>();
  auto loop = start(state);
  ASSERT_TRUE(loop);
  std::atomic<int> refused{0};
  std::atomic<bool> read_failed{false};
  std::atomic<bool> done{false};
  VelmoraControlLoop* raw = loop.get();
  {
    std::lock_guard lock(state->mutex);
    state->on_read = [&, raw] {
      if (done.exchange(true)) return;
      for (int i = 0; i < 150; ++i) refused += raw->send(cmd::EnableNeck{true}) ? 0 : 1;
      read_failed = !raw->async_read_raw_bytes(1, 2, 3).has_value();
      raw->close();  // only asks
    };
  }
  ASSERT_TRUE(eventually([&] { return done.load(); }));
  loop->close();  // joins; the 100 accepted commands ran
  EXPECT_EQ(refused.load(), 50);
  EXPECT_TRUE(read_failed.load());
  int executed = 0;
  for (auto& c : state->snapshot()) executed += c == "enable_neck 1" ? 1 : 0;
  EXPECT_EQ(executed, 100);
}

TEST(LoopShutdown, ThreadFailureReleasesSendersAndIsReportedOnClose) {
  auto state = std::make_shared<FakeState>();
  auto loop = start(state);
  ASSERT_TRUE(loop);
  {
    std::lock_guard lock(state->mutex);
    state->on_read = [] { throw std::runtime_error("broken invariant"); };
  }
  // The dead loop must not leave a sender blocked on a full queue.
  std::thread filler([&] {
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < until && loop->send(cmd::EnableNeck{true})) {
    }
  });
  filler.join();
  EXPECT_FALSE(loop->send(cmd::EnableNeck{true}));
  auto& log = sink();
  loop->close();
  EXPECT_TRUE(log.has("Failed to join control loop thread: \"broken invariant\""));
}

TEST(LoopShutdown, ThreadFailureIsReportedInDebugForm) {
  auto& log = sink();
  auto fail_with = [](std::function<void()> thrower) {
    auto state = std::make_shared<FakeState>();
    auto loop = start(state);
    if (!loop) return;
    {
      std::lock_guard lock(state->mutex);
      state->on_read = thrower;
    }
    EXPECT_TRUE(hardware_released(state));  // the thread has ended
    loop->close();
  };
  // A message is quoted and escaped; a failure without one is opaque.
  fail_with([] { throw std::runtime_error("bad \"id\"\\\n"); });
  EXPECT_TRUE(log.has("Failed to join control loop thread: \"bad \\\"id\\\"\\\\\\n\""));
  fail_with([] { throw 42; });
  EXPECT_TRUE(log.has("Failed to join control loop thread: Any { .. }"));
}

TEST(LoopShutdown, DroppedOnItsOwnThreadTheLoopStillDrainsAndEnds) {
  // A log handler may hold the last reference: the loop then goes away on its
  // own thread, which cannot join itself.
  auto state = std::make_shared<FakeState>();
  auto owner = start(state);
  ASSERT_TRUE(owner);
  std::atomic<bool> entered{false};
  std::atomic<bool> dropped{false};
  std::atomic<int> accepted{0};
  {
    std::lock_guard lock(state->mutex);
    state->on_read = [&] {
      if (entered.exchange(true)) return;
      for (int i = 0; i < 3; ++i) accepted += owner->send(cmd::EnableNeck{true}) ? 1 : 0;
      owner.reset();
      dropped = true;
    };
  }
  ASSERT_TRUE(eventually([&] { return dropped.load(); }));
  ASSERT_TRUE(hardware_released(state));
  EXPECT_EQ(accepted.load(), 3);
  int executed = 0;
  for (auto& c : state->snapshot()) executed += c == "enable_neck 1" ? 1 : 0;
  EXPECT_EQ(executed, 3);
}

TEST(LoopShutdown, AThreadNobodyJoinsReportsItsOwnFailure) {
  auto& log = sink();
  auto state = std::make_shared<FakeState>();
  auto owner = start(state);
  ASSERT_TRUE(owner);
  std::atomic<bool> entered{false};
  std::atomic<bool> dropped{false};
  {
    std::lock_guard lock(state->mutex);
    state->on_read = [&] {
      if (entered.exchange(true)) return;
      owner.reset();
      dropped = true;
      throw std::runtime_error("failed after the drop");
    };
  }
  ASSERT_TRUE(eventually([&] { return dropped.load(); }));
  ASSERT_TRUE(hardware_released(state));
  EXPECT_TRUE(eventually([&] { return log.has("Failed to join control loop thread: \"failed after the drop\""); }));
}

TEST(LoopCycle, AFloodOfCommandsDoesNotStarveThePositionReads) {
  auto state = std::make_shared<FakeState>();
  state->command_delay = 2ms;  // the loop stays behind its 5 ms schedule for good
  auto loop = start(state);
  ASSERT_TRUE(loop);
  std::atomic<bool> stop{false};
  std::atomic<int> accepted{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t)
    senders.emplace_back([&] {
      while (!stop && loop->send(cmd::EnableNeck{true})) ++accepted;
    });
  std::this_thread::sleep_for(100ms);  // let the queue fill
  const int reads_before = [&] {
    std::lock_guard lock(state->mutex);
    return state->position_reads;
  }();
  std::this_thread::sleep_for(300ms);
  const int reads_during = [&] {
    std::lock_guard lock(state->mutex);
    return state->position_reads;
  }() - reads_before;
  stop = true;
  loop->close();
  for (auto& t : senders) t.join();
  // About one round in two is a tick while both are ready: some 60 reads in
  // 300 ms; a loop that preferred commands would read none.
  EXPECT_GE(reads_during, 15);
  EXPECT_GE(accepted.load(), 50);
}

TEST(LoopCycle, CloseWakesALoopWithALongPeriod) {
  auto state = std::make_shared<FakeState>();
  auto s = settings();
  s.read_position_loop_period = 10s;
  auto loop = start(state, s);
  ASSERT_TRUE(loop);
  std::this_thread::sleep_for(20ms);
  const auto t0 = std::chrono::steady_clock::now();
  loop->close();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

}  // namespace
}  // namespace velmora::control_loop
