// The loop from its start-up checks to its end, with its own thread, on the
// virtual torso. Time never moves by itself here: a tick after the first comes
// only when something sleeps, and every close() has to wake the loop itself.

#include <gtest/gtest.h>

#include <functional>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "control_loop/control_loop.hpp"
#include "torso_rig.hpp"

namespace velmora::control_loop {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::Packet;
using testing::TorsoRig;

constexpr std::uint8_t kReboot = 0x08;

std::string start_error(const TorsoRig& rig, LoopSettings s) {
  auto loop = VelmoraControlLoop::create(std::move(s), rig.factory());
  return loop ? "started" : loop.error().message();
}

std::size_t count_instructions(const std::vector<Packet>& packets, std::uint8_t instruction) {
  return static_cast<std::size_t>(std::ranges::count(packets, instruction, &Packet::instruction));
}

// Neck enable frames sent to the yaw motor: one per EnableNeck{true} executed.
std::size_t yaw_enables(const TorsoRig& rig) {
  return static_cast<std::size_t>(std::ranges::count_if(rig.neck->sent, [](const motorcom::CanFrame& f) {
    return f.id.value == 1 && f.data.size() == 8 && f.data[7] == 0xFC;
  }));
}

void await_at_least(std::atomic<int>& value, int wanted) {
  for (int seen = value.load(); seen < wanted; seen = value.load()) value.wait(seen);
}

TEST(LoopStartup, ReportsEachHardwareProblem) {
  TorsoRig rig;
  auto s = rig.settings();
  s.serialport = "/nonexistent/tty";
  EXPECT_EQ(start_error(rig, s), "Check if your USB cable is connected. Could not find port: /nonexistent/tty!");
  // Only "/dev/null" would be checked by the file system.
  s.serialport = std::string("/dev/null\0x", 11);
  EXPECT_EQ(start_error(rig, s),
            "Check if your USB cable is connected. Could not find port: " + std::string("/dev/null\0x", 11) + "!");

  auto refuse = [](const std::optional<std::string>&, const std::string&, const std::shared_ptr<LoopClock>&)
      -> controller::Result<std::unique_ptr<VelmoraMotorController>> {
    return std::unexpected(controller::ControllerError::text("no such interface"));
  };
  EXPECT_EQ(VelmoraControlLoop::create(rig.settings(), refuse).error().message(),
            "Could not open serial port: /dev/null! Check permissions and if the port is already in use.");
  s = rig.settings();
  s.serialport.reset();
  EXPECT_EQ(VelmoraControlLoop::create(s, refuse).error().message(),
            "Could not open serial port: ! Check permissions and if the port is already in use.");

  rig.servos->present = {};
  EXPECT_EQ(start_error(rig, rig.settings()),
            "No motors detected. Check if the power supply is connected and turned on!");
  rig.servos->present = {1, 2, 3, 4, 6};
  EXPECT_EQ(start_error(rig, rig.settings()), "Missing motors: [\"nose_top\", \"nose_right\"]!");
  rig.servos->present = {1, 2, 3, 4, 5, 6, 7};
  rig.neck->motors[2].silent = true;
  EXPECT_EQ(start_error(rig, rig.settings()), "Missing motors: [\"neck_pitch\"]!");
  rig.serial = false;
  EXPECT_EQ(start_error(rig, rig.settings()), "Missing motors: [\"neck_pitch\"]!");
}

TEST(LoopStartup, VoltageWaitTimesOutWithTheLowestReadingAndDoesNotReboot) {
  TorsoRig rig;
  rig.servos->registers[3][testing::kPresentVoltage] = 95;
  rig.servos->registers[7][testing::kPresentVoltage] = 100;
  auto s = rig.settings();
  s.voltage_rampup_timeout = 300ms;
  EXPECT_EQ(start_error(rig, s), "Voltage did not ramp up to 12V (got 9.5V) within 300ms!");
  EXPECT_EQ(rig.clock->elapsed(), 300ms);  // polled every 100 ms
  EXPECT_EQ(count_instructions(rig.servos->received, kReboot), 0U);
}

TEST(LoopStartup, VoltageWaitStopsWhenAskedWithNothingLeftOpen) {
  TorsoRig rig;
  rig.servos->registers[3][testing::kPresentVoltage] = 95;
  auto s = rig.settings();
  s.voltage_rampup_timeout = 1h;
  int asked = 0;
  auto loop = VelmoraControlLoop::create(s, rig.factory(), [&] { return ++asked == 3; });
  ASSERT_FALSE(loop);
  EXPECT_TRUE(loop.error().is<MotorError::Interrupted>());
  EXPECT_EQ(rig.released->load(), 1);
}

TEST(LoopStartup, GoodVoltageRebootsAndTakesAFirstReading) {
  TorsoRig rig;
  rig.servos->encoder[2] = 0.5;
  for (std::uint8_t id = 1; id <= 7; ++id) rig.servos->registers[id][testing::kTorqueEnable] = 1;
  auto loop = std::move(*rig.create());
  EXPECT_EQ(rig.clock->elapsed(), 100ms);  // no voltage poll; one wait for the rebooted servos
  auto p = loop->get_last_position();
  ASSERT_TRUE(p);
  EXPECT_NEAR(p->left_arm[1], 0.5, 1e-3);
  EXPECT_EQ(loop->is_torque_enabled(), true);
  EXPECT_EQ(loop->motor_name_id().at("nose_right"), 7);
  EXPECT_FALSE(loop->get_stats().has_value());
  loop->close();  // the torso is the loop thread's until then
  EXPECT_EQ(count_instructions(rig.servos->received, kReboot), 7U);
}

TEST(LoopStartup, NeckOnlyLoopReadsZerosForTheServosAndRefusesRawReads) {
  TorsoRig rig;
  rig.serial = false;
  auto loop = rig.create();
  ASSERT_TRUE(loop);
  auto p = (*loop)->get_last_position();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->nose, (std::array<double, 3>{0.0, 0.0, 0.0}));
  EXPECT_EQ((*loop)->is_torque_enabled(), false);
  // Refused at once: with time standing still a time-out would never end.
  EXPECT_FALSE((*loop)->async_read_raw_bytes(1, 21, 3));
}

TEST(LoopStartup, RejectsSettingsThatCannotRun) {
  TorsoRig rig;
  auto s = rig.settings();
  s.read_position_loop_period = 0ns;
  EXPECT_EQ(invalid_settings(s), "read_position_loop_period must be greater than zero");
  EXPECT_THROW((void)VelmoraControlLoop::create(s, rig.factory()), std::invalid_argument);
  s = rig.settings();
  s.allowed_retries = 0;
  EXPECT_EQ(invalid_settings(s), "allowed_retries must be at least 1");
  EXPECT_EQ(invalid_settings(rig.settings()), std::nullopt);
}

TEST(LoopShutdown, DrainsEveryQueuedCommandAndThenRefusesNewOnes) {
  TorsoRig rig;
  auto loop = std::move(*rig.create());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(loop->send(cmd::EnableNeck{true}));
  loop->close();
  EXPECT_EQ(yaw_enables(rig), 100U);
  EXPECT_FALSE(loop->send(cmd::EnableTorque{}));
  EXPECT_FALSE(loop->async_read_raw_bytes(1, 1, 1));
  EXPECT_TRUE(loop->get_last_position());  // the last reading stays readable
  loop->close();                           // a second close does nothing
}

TEST(LoopShutdown, CloseReleasesBlockedAndBusySendersAndLosesNothingAccepted) {
  TorsoRig rig;
  std::latch resume(1);
  std::atomic<bool> stalled{false};
  // The loop stalls in its first command, so the queue fills up.
  rig.servos->on_packet = [&](const Packet& p) {
    if (p.instruction == testing::kInstructionSyncWrite && !stalled.exchange(true)) resume.wait();
  };
  auto loop = std::move(*rig.create());
  std::atomic<int> accepted{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t)
    senders.emplace_back([&] {
      while (loop->send(cmd::EnableArms{true})) {
        ++accepted;
        accepted.notify_all();
      }
    });
  await_at_least(accepted, 101);  // one in execution, a full queue: the senders wait
  std::thread closer([&] { loop->close(); });
  for (auto& t : senders) t.join();  // refused once close() has begun
  resume.count_down();
  closer.join();
  EXPECT_EQ(count_instructions(rig.servos->received, testing::kInstructionSyncWrite), static_cast<std::size_t>(accepted.load()));
}

TEST(LoopShutdown, CallsFromTheLoopThreadNeverWaitForItself) {
  // A Python log handler runs on the loop thread; whatever it asks of the
  // loop must not wait for the loop.
  TorsoRig rig;
  std::atomic<VelmoraControlLoop*> self{nullptr};
  std::atomic<int> refused{0};
  std::atomic<bool> read_failed{false};
  std::atomic<bool> done{false};
  rig.servos->on_packet = [&](const Packet& p) {
    if (p.instruction != testing::kInstructionSyncWrite) return;
    for (int i = 0; i < 150; ++i) refused += self.load()->send(cmd::EnableNeck{true}) ? 0 : 1;
    read_failed = !self.load()->async_read_raw_bytes(1, 2, 3).has_value();
    self.load()->close();  // only asks
    done = true;
    done.notify_all();
  };
  auto loop = std::move(*rig.create());
  self = loop.get();
  ASSERT_TRUE(loop->send(cmd::EnableArms{true}));
  done.wait(false);
  loop->close();  // joins; the 100 accepted commands ran
  EXPECT_EQ(refused.load(), 50);
  EXPECT_TRUE(read_failed.load());
  EXPECT_EQ(yaw_enables(rig), 100U);
}

TEST(LoopShutdown, AThreadFailureReleasesSendersAndIsReportedOnClose) {
  auto& log = LogCapture::get();
  const std::vector<std::pair<std::function<void()>, std::string>> failures{
      {[] { throw std::runtime_error("broken invariant"); }, "\"broken invariant\""},
      // A message is quoted and escaped; a failure without one is opaque.
      {[] { throw std::runtime_error("bad \"id\"\\\n"); }, "\"bad \\\"id\\\"\\\\\\n\""},
      {[] { throw 42; }, "Any { .. }"},
  };
  for (const auto& [fail, report] : failures) {
    TorsoRig rig;
    rig.servos->on_packet = [&](const Packet& p) {
      if (p.instruction == testing::kInstructionSyncWrite) fail();
    };
    auto loop = std::move(*rig.create());
    ASSERT_TRUE(loop->send(cmd::EnableArms{true}));
    rig.await_released(1);  // the thread has ended
    EXPECT_FALSE(loop->send(cmd::EnableNeck{true}));
    loop->close();
    const auto lines = log.take();
    EXPECT_NE(std::ranges::find(lines, "velmora_motor_controller::control_loop: Failed to join control loop thread: " +
                                           report),
              lines.end());
  }
}

TEST(LoopShutdown, DroppedOnItsOwnThreadTheLoopDrainsEndsAndReportsItsOwnFailure) {
  // A log handler may hold the last reference: the loop then goes away on its
  // own thread, which cannot join itself.
  auto& log = LogCapture::get();
  for (const bool fail : {false, true}) {
    TorsoRig rig;
    std::unique_ptr<VelmoraControlLoop> owner;
    int accepted = 0;
    rig.servos->on_packet = [&](const Packet& p) {
      if (p.instruction != testing::kInstructionSyncWrite) return;
      for (int i = 0; i < 3; ++i) accepted += owner->send(cmd::EnableNeck{true}) ? 1 : 0;
      owner.reset();
      if (fail) throw std::runtime_error("failed after the drop");
    };
    owner = std::move(*rig.create());
    ASSERT_TRUE(owner->send(cmd::EnableArms{true}));
    rig.await_released(1);
    EXPECT_EQ(accepted, 3);
    EXPECT_EQ(yaw_enables(rig), fail ? 0U : 3U);  // a failed loop drains nothing
    if (fail) log.await("velmora_motor_controller::control_loop: Failed to join control loop thread: "
                        "\"failed after the drop\"");
  }
}

}  // namespace
}  // namespace velmora::control_loop
