#pragma once
// One complete reading of the ten joints, with the wall-clock time it was taken.

#include <array>
#include <string>

namespace velmora::control_loop {

struct VelmoraTorsoPosition {
  std::array<double, 2> left_arm{};   // pitch, yaw (servo ids 1, 2)
  std::array<double, 2> right_arm{};  // pitch, yaw (servo ids 3, 4)
  std::array<double, 3> nose{};       // top, left, right (servo ids 5, 6, 7)
  std::array<double, 3> neck{};       // yaw, pitch, roll
  double timestamp = 0.0;             // seconds since the Unix epoch

  // Servo positions in bus order (ids 1..7) plus the neck, stamped now.
  static VelmoraTorsoPosition from_readings(const std::array<double, 7>& servos, const std::array<double, 3>& neck);
  // The seven servo values in bus order.
  std::array<double, 7> servo_goals() const;
  std::string repr() const;
};

// Wall-clock seconds since the Unix epoch; 0.0 when the clock reads earlier.
double wall_clock_timestamp();

}  // namespace velmora::control_loop
