#pragma once
// What a controller operation can fail with: its display text, and what the
// layers above need to know about it. Lower layers' errors become one in
// lift.hpp.

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace velmora::controller {

struct ControllerError {
  // Which of the two buses the failure came from.
  enum class Bus : std::uint8_t { None, Servos, Neck };

  // The display text: what callers are told, often a fixed text.
  std::string message;
  // An I/O error that timed out or was interrupted: the only kind the control
  // loop retries.
  bool retryable = false;
  // Set when a long operation stopped because its caller asked it to.
  bool interrupted = false;
  // The bus's device went away (or is still away); its link reports it.
  bool disconnected = false;
  Bus bus = Bus::None;
  // What the message leaves out (the servo, the OS error behind a fixed
  // text), for the logs that tell why. Empty: the message says it all.
  std::string cause = {};

  // "{message} ({cause})", or the message alone.
  std::string detail() const { return cause.empty() ? message : message + " (" + cause + ")"; }

  static ControllerError text(std::string m) { return {std::move(m)}; }
  // An operation refused because the bus's device went away: "{device}
  // disconnected ({cause}); {why it is not back}".
  static ControllerError gone(Bus bus, const std::string& device, const std::string& cause,
                              const std::string& not_back) {
    ControllerError c{device + " disconnected (" + cause + "); " + not_back};
    c.bus = bus;
    c.disconnected = true;
    return c;
  }
  static ControllerError stopped() {
    ControllerError c{"interrupted"};
    c.interrupted = true;
    return c;
  }
};

template <class T>
using Result = std::expected<T, ControllerError>;

}  // namespace velmora::controller
