#pragma once
// The loop thread's body: position reads on an absolute schedule, queued
// commands in between, statistics, and the drain on stop.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "control_loop/command_queue.hpp"
#include "control_loop/fair_choice.hpp"
#include "control_loop/loop_clock.hpp"
#include "control_loop/loop_recording.hpp"
#include "control_loop/loop_stats.hpp"
#include "control_loop/motor_command.hpp"
#include "control_loop/shared_cells.hpp"
#include "control_loop/tick_schedule.hpp"
#include "common/log.hpp"
#include "controller/controller.hpp"
#include "controller/outage_log.hpp"

namespace velmora::control_loop {

using MotorCommandQueue = CommandQueue<MotorCommand>;

// One complete reading of the ten joints: the servos under the retry policy
// (zeros without a serial port), then the neck once. A failure's cause goes
// to `why` when given.
PositionResult read_pos(controller::VelmoraMotorController& controller, std::uint64_t allowed_retries,
                        LoopClock& clock, controller::ControllerError* why = nullptr);

// A device that went away is tried again at most this often while the loop runs.
inline constexpr std::chrono::milliseconds kReconnectInterval{250};

struct LoopContext {
  std::unique_ptr<controller::VelmoraMotorController> controller;
  std::shared_ptr<MotorCommandQueue> commands;
  std::shared_ptr<SharedCells> cells;
  std::chrono::nanoseconds period{};
  std::uint64_t allowed_retries = 1;
  std::optional<std::uint32_t> choice_seed;  // fixed coin for tests
  std::shared_ptr<LoopClock> clock;
};

// The rounds of a running loop and its drain, on a context it does not own.
// The first tick is due at once.
class LoopCycle {
 public:
  explicit LoopCycle(const LoopContext& context);

  // Rounds until the stop flag is set, then the drain.
  void run();
  // Waits for the next tick or command and takes one of them; when both are
  // ready, a fair coin picks.
  void round();
  // Executes everything still queued, closing the receiver once it is empty;
  // no statistics are taken.
  void drain();

 private:
  void tick();
  // What a reading's outcome means beyond the reading itself: an outage of
  // the readings begins or ends (logged once each; a device that went away
  // is logged by its link instead), and the servos' torque state, which a
  // servo loses with its power, is unknown while readings fail and read
  // again once they are back, or once the serial port was opened anew.
  void after_reading(bool ok, const controller::ControllerError& why);
  void publish();
  void execute(MotorCommand command);

  controller::VelmoraMotorController& controller_;
  MotorCommandQueue& queue_;
  SharedCells& cells_;
  LoopClock& clock_;
  const std::uint64_t allowed_retries_;
  TickSchedule schedule_;
  FairChoice coin_;
  LoopClock::TimePoint last_publish_;
  LoopClock::TimePoint last_tick_;
  // Samples waiting for the next publication: no more than a window's worth,
  // however long the publication period.
  SampleWindow pending_read_dts_;
  SampleWindow pending_write_dts_;
  controller::OutageLog reading_outage_{log::kControlLoopTarget, "readings"};
  LoopRecording recording_;
  bool torque_stale_ = false;
  std::uint64_t serial_reconnections_seen_ = 0;
};

// The thread body: runs the loop to its end. Whatever way it ends (an
// exception included), the queue's receiving end is closed first, so no
// sender can block on a dead loop, and the controller is released last (it
// is the context's first member).
void run(LoopContext context);

}  // namespace velmora::control_loop
