#pragma once
// The loop thread's body: position reads on an absolute schedule, queued
// commands in between, statistics, and the drain on stop.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "control_loop/command_queue.hpp"
#include "control_loop/fair_choice.hpp"
#include "control_loop/loop_hardware.hpp"
#include "control_loop/motor_command.hpp"
#include "control_loop/shared_cells.hpp"

namespace velmora::control_loop {

using MotorCommandQueue = CommandQueue<MotorCommand>;

// One complete reading of the ten joints: the servos under the retry policy
// (zeros without a serial port), then the neck once.
PositionResult read_pos(LoopHardware& hw, std::uint64_t allowed_retries);

struct LoopContext {
  std::unique_ptr<LoopHardware> hardware;
  std::shared_ptr<MotorCommandQueue> commands;
  std::shared_ptr<SharedCells> cells;
  std::chrono::nanoseconds period{};
  std::uint64_t allowed_retries = 1;
  std::optional<std::uint32_t> choice_seed;  // fixed coin for tests
};

// Runs until the stop flag is set and the queue is drained. Whatever way it
// ends (an exception included), the queue's receiving end is closed first, so
// no sender can block on a dead loop, and the hardware is released last.
void run(LoopContext context);

}  // namespace velmora::control_loop
