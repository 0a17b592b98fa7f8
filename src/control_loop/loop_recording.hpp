#pragma once
// The loop's side of a recording: what it writes of each tick and each
// command, and the bus tap it lends the controller while the bus traffic is
// recorded. Nothing is made while no recording runs.

#include <cstdint>
#include <memory>

#include "control_loop/flight_recorder.hpp"
#include "control_loop/motor_command.hpp"
#include "control_loop/shared_cells.hpp"
#include "controller/controller.hpp"

namespace velmora::control_loop {

class LoopRecording {
 public:
  LoopRecording(Cell<std::shared_ptr<FlightRecorder>>& slot, controller::VelmoraMotorController& controller)
      : slot_(slot), controller_(controller) {}
  ~LoopRecording() { controller_.set_bus_tap(nullptr); }
  LoopRecording(const LoopRecording&) = delete;
  LoopRecording& operator=(const LoopRecording&) = delete;

  // Before every round: takes up the recording asked for now, if any.
  void refresh();
  bool on() const { return recorder_ != nullptr; }

  // A tick that started at `started_ns`: its timing, and its reading or why it failed.
  void tick(std::int64_t started_ns, double period_s, double read_s, const PositionResult& position,
            const controller::ControllerError& why);
  // A command, described before it ran (name, arguments), and how it went.
  struct Started {
    std::int64_t at_ns;
    std::string_view name;
    std::string arguments;
  };
  Started starting(const MotorCommand& command) const;
  void command(const Started& started, const controller::Result<void>& outcome, double duration_s);

 private:
  Cell<std::shared_ptr<FlightRecorder>>& slot_;
  controller::VelmoraMotorController& controller_;
  std::shared_ptr<FlightRecorder> recorder_;
};

}  // namespace velmora::control_loop
