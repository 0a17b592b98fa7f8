// Display texts of the loop's records and errors, the statistics window and
// the retry policy.

#include <gtest/gtest.h>

#include <cmath>

#include "common/log.hpp"
#include "control_loop/loop_stats.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/retry.hpp"
#include "control_loop/torso_position.hpp"
#include "torso_rig.hpp"

namespace velmora::control_loop {
namespace {

using namespace std::chrono_literals;

TEST(MotorError, DisplayTexts) {
  EXPECT_EQ(MotorError(MotorError::MissingMotors{{"nose_top", "neck_roll"}}).message(),
            "Missing motors: [\"nose_top\", \"neck_roll\"]!");
  EXPECT_EQ(MotorError::communication().message(), "Motor communication error! Check connections and power supply.");
  EXPECT_EQ(MotorError(MotorError::NoMotorsDetected{}).message(),
            "No motors detected. Check if the power supply is connected and turned on!");
  EXPECT_EQ(MotorError(MotorError::VoltageRampupTimeout{0, 30s}).message(),
            "Voltage did not ramp up to 12V (got 0.0V) within 30s!");
  EXPECT_EQ(MotorError(MotorError::VoltageRampupTimeout{115, 1500ms}).message(),
            "Voltage did not ramp up to 12V (got 11.5V) within 1.5s!");
  EXPECT_EQ(MotorError(MotorError::VoltageRampupTimeout{99, 250ms}).message(),
            "Voltage did not ramp up to 12V (got 9.9V) within 250ms!");
  EXPECT_EQ(MotorError(MotorError::PortNotFound{"/dev/ttyUSB0"}).message(),
            "Check if your USB cable is connected. Could not find port: /dev/ttyUSB0!");
  EXPECT_EQ(MotorError(MotorError::PortOpenFailed{""}).message(),
            "Could not open serial port: ! Check permissions and if the port is already in use.");
}

TEST(Records, TorsoPositionReprAndTimestamp) {
  auto p = VelmoraTorsoPosition::from_readings({0.0, -1.25, 1.0, 0.1, 1e-5, 2.0, 3.0}, {0.5, 0.0, -0.0});
  const std::string r = p.repr();
  EXPECT_EQ(r.rfind("VelmoraTorsoPosition(left_arm=[0.0, -1.25], right_arm=[1.0, 0.1], nose=[1e-5, 2.0, 3.0], "
                    "neck=[0.5, 0.0, -0.0], timestamp=",
                    0),
            0u)
      << r;
  // three decimals, and a wall-clock time (not a monotonic one)
  const auto dot = r.rfind('.');
  EXPECT_EQ(r.size() - dot, 5u) << r;
  EXPECT_GT(p.timestamp, 1.6e9);
  EXPECT_EQ(p.servo_goals(), (std::array<double, 7>{0.0, -1.25, 1.0, 0.1, 1e-5, 2.0, 3.0}));
}

TEST(Records, StatsReprUsesMeansAndNaNWhenEmpty) {
  EXPECT_EQ(ControlLoopStats{}.repr(), "ControlLoopStats(period=~NaNms, read_dt=~NaN ms, write_dt=~NaN ms)");
  ControlLoopStats s{{0.010, 0.012}, {0.0005}, {}};
  EXPECT_EQ(s.repr(), "ControlLoopStats(period=~11.00ms, read_dt=~0.50 ms, write_dt=~NaN ms)");
}

TEST(Records, SampleWindowKeepsTheMostRecentSamplesInOrder) {
  SampleWindow w(4);
  for (int i = 1; i <= 3; ++i) w.push(i);
  EXPECT_EQ(w.to_vector(), (std::vector<double>{1, 2, 3}));
  std::vector<double> more{4, 5, 6, 7, 8, 9};
  w.append(more);
  EXPECT_EQ(w.to_vector(), (std::vector<double>{6, 7, 8, 9}));

  SampleWindow big;  // the default window bounds a days-long run
  for (int i = 0; i < 100'005; ++i) big.push(i);
  const auto before = big.snapshot();
  for (int i = 100'005; i < 100'005 + 5000; ++i) big.push(i);  // a snapshot shares blocks: later samples stay out
  const auto v = before.to_vector();
  ASSERT_EQ(v.size(), kStatsWindow);
  EXPECT_EQ(v.front(), 5.0);
  EXPECT_EQ(v.back(), 100'004.0);
  EXPECT_EQ(big.to_vector().front(), 5005.0);
}

TEST(RetryPolicy, RetriesOnlyTimeoutsAndLogsTheRecovery) {
  auto& log = testing::LogCapture::get();
  (void)log.take();
  using controller::ControllerError;
  using controller::Result;
  testing::ManualClock clock;
  int calls = 0;
  auto flaky = [&]() -> Result<int> {
    if (++calls < 3) return std::unexpected(ControllerError{"timed out", true});
    return 42;
  };
  EXPECT_EQ(with_retry(5, clock, flaky), 42);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(clock.elapsed(), 40ms);  // 20 ms before each retry
  EXPECT_EQ(log.take(),
            std::vector<std::string>{"velmora_motor_controller::control_loop: Serial I/O recovered after 2 retries"});

  calls = 0;
  auto always_timeout = [&]() -> Result<int> {
    ++calls;
    return std::unexpected(ControllerError{"timed out", true});
  };
  EXPECT_FALSE(with_retry(3, clock, always_timeout));
  EXPECT_EQ(calls, 3);  // attempts in all, not retries on top

  calls = 0;
  auto protocol_error = [&]() -> Result<int> {
    ++calls;
    return std::unexpected(ControllerError{"Checksum error", false});
  };
  const auto before = clock.elapsed();
  EXPECT_FALSE(with_retry(5, clock, protocol_error));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(clock.elapsed(), before);

  EXPECT_THROW(static_cast<void>(with_retry(0, clock, protocol_error)), std::logic_error);
}

}  // namespace
}  // namespace velmora::control_loop
