#include "control_loop/loop_clock.hpp"

#include <thread>

namespace velmora::control_loop {
namespace {

class SteadyLoopClock final : public LoopClock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
  void sleep_for(std::chrono::nanoseconds duration) override { std::this_thread::sleep_for(duration); }
  void wait_until(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline,
                  const std::function<bool()>& ready) override {
    cv.wait_until(lock, deadline, ready);
  }
};

}  // namespace

std::shared_ptr<LoopClock> steady_loop_clock() {
  static const auto clock = std::make_shared<SteadyLoopClock>();
  return clock;
}

}  // namespace velmora::control_loop
