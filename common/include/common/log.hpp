#pragma once
// The process-wide log facade. Layers above the bus libraries log through it;
// the Python bindings install the one sink that forwards records to Python
// logging. With no sink installed records are dropped.

#include <cstdint>
#include <functional>
#include <source_location>
#include <string>
#include <string_view>

namespace velmora::log {

enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr std::string_view kControllerTarget = "velmora_motor_controller::controller";
inline constexpr std::string_view kControlLoopTarget = "velmora_motor_controller::control_loop";

class Sink {
 public:
  virtual ~Sink() = default;
  // May answer true when unsure; must be cheap and never block.
  virtual bool enabled(Level level, std::string_view target) noexcept = 0;
  virtual void write(Level level, std::string_view target, std::string_view message, const char* file,
                     unsigned line) noexcept = 0;
};

// Installs the process's single sink; false when one is installed already.
bool set_sink(Sink* sink) noexcept;
// Records above this level are dropped before they reach the sink.
void set_max_level(Level level) noexcept;

// Observers of every record written besides the sink (a flight recorder),
// whatever the sink keeps. While one is there every level up to the maximum
// counts as enabled. Taps are called on the writing thread, must be quick and
// must not log.
using Tap = std::function<void(Level level, std::string_view target, std::string_view message)>;
std::uint64_t add_tap(Tap tap);
void remove_tap(std::uint64_t id) noexcept;

bool enabled(Level level, std::string_view target) noexcept;
void write(Level level, std::string_view target, std::string_view message,
           std::source_location where = std::source_location::current()) noexcept;

}  // namespace velmora::log
