#pragma once
// The coin that decides, when a tick and a command are both ready, which one
// this round takes: equal chance each round, so a steady stream of commands
// cannot starve the position reads and the reads cannot starve the commands.

#include <cstdint>
#include <random>

namespace velmora::control_loop {

class FairChoice {
 public:
  FairChoice() : engine_(std::random_device{}()) {}
  explicit FairChoice(std::uint32_t seed) : engine_(seed) {}
  // True: take the tick; false: take the command.
  bool tick_first() { return (engine_() & 1U) != 0; }

 private:
  std::mt19937 engine_;
};

}  // namespace velmora::control_loop
