#pragma once
// State shared between the loop thread and its callers. Each cell has its own
// mutex; nobody ever holds two of them, and nobody logs or calls into Python
// while holding one.

#include <chrono>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>

#include "control_loop/flight_recorder.hpp"
#include "control_loop/loop_stats.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/torso_position.hpp"

namespace velmora::control_loop {

template <class T>
class Cell {
 public:
  explicit Cell(T value) : value_(std::move(value)) {}
  T get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }
  template <class F>
  void update(F&& f) {
    std::lock_guard lock(mutex_);
    f(value_);
  }
  template <class F>
  auto read(F&& f) const {
    std::lock_guard lock(mutex_);
    return f(value_);
  }

 private:
  mutable std::mutex mutex_;
  T value_;
};

using PositionResult = std::expected<VelmoraTorsoPosition, MotorError>;
using TorqueResult = std::expected<bool, MotorError>;

struct SharedCells {
  SharedCells(PositionResult position, TorqueResult torque, std::optional<std::chrono::nanoseconds> stats_period)
      : last_position(std::move(position)), last_torque(std::move(torque)), stats_pub_period(stats_period) {}

  Cell<PositionResult> last_position;
  Cell<TorqueResult> last_torque;
  // Present only with statistics on.
  const std::optional<std::chrono::nanoseconds> stats_pub_period;
  Cell<StatsWindows> last_stats{StatsWindows{}};
  Cell<bool> stop_flag{false};
  // The recording the loop writes into, while one runs.
  Cell<std::shared_ptr<FlightRecorder>> recorder{nullptr};
};

}  // namespace velmora::control_loop
