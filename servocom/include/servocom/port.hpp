#pragma once
// What the Feetech transactions need of a serial port. The Linux TTY
// implements it (serial_port.hpp); tests script it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "servocom/error.hpp"

namespace servocom {

class Port {
 public:
  virtual ~Port() = default;
  // Count of received, unread bytes.
  virtual Result<std::size_t> bytes_waiting() = 0;
  // Fills buf completely or fails; with no byte arriving within the port's
  // read time-out it fails with an Io error of kind TimedOut.
  virtual Result<void> read_exact(std::span<std::uint8_t> buf) = 0;
  // Writes every byte or fails with an Io error.
  virtual Result<void> write_all(std::span<const std::uint8_t> data) = 0;
  // Waits, within a bound, until the output has been transmitted.
  virtual Result<void> drain() = 0;
  // Why the device has gone for good (it hung up, went away: a pulled USB
  // adapter), once an operation has found out; nothing while it works. A
  // lost port never works again: its device must be opened anew.
  virtual std::optional<std::string> lost() const { return std::nullopt; }
};

}  // namespace servocom
