#pragma once
// Feetech request/response transactions on a borrowed port.
// (Packets and their wire format: servocom/feetech_packet.hpp.)

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "servocom/error.hpp"
#include "servocom/feetech_packet.hpp"
#include "servocom/port.hpp"

namespace servocom {

class FeetechProtocolHandler {
 public:
  using Sleep = std::function<void(std::chrono::microseconds)>;

  // pause: optional pause after read (every attempt) and write (on success).
  // sleep: how the handler sleeps (drain passes, pause); tests inject a fake.
  explicit FeetechProtocolHandler(std::optional<std::chrono::microseconds> pause = std::nullopt,
                                  Sleep sleep = {});

  // true when a valid status packet for id came back; false when reading or
  // parsing it failed. Send failures are errors.
  Result<bool> ping(Port& port, std::uint8_t id) const;
  Result<std::vector<std::uint8_t>> read(Port& port, std::uint8_t id, std::uint8_t address,
                                         std::uint8_t length) const;
  Result<void> write(Port& port, std::uint8_t id, std::uint8_t address,
                     std::span<const std::uint8_t> data) const;
  // One params vector per id, in the order of ids. The first failing reply
  // fails the whole read.
  Result<std::vector<std::vector<std::uint8_t>>> sync_read(Port& port, std::span<const std::uint8_t> ids,
                                                           std::uint8_t address, std::uint8_t length) const;
  // Sends without reading a reply. Entries must pair up with ids and share
  // one non-zero length, and every request must fit one packet: otherwise
  // Kind::InvalidRequest and nothing is sent (write() too).
  Result<void> sync_write(Port& port, std::span<const std::uint8_t> ids, std::uint8_t address,
                          std::span<const std::vector<std::uint8_t>> data) const;
  Result<bool> reboot(Port& port, std::uint8_t id) const;

  // Reads and drops whatever earlier replies left on the line; TimeoutError
  // when it keeps arriving.
  Result<void> discard_stale_input(Port& port) const;
  // The two steps every operation is made of. Sending first discards stale
  // input (TimeoutError, with nothing written, when it keeps arriving); any
  // write failure is reported as TimeoutError, the port's error its cause.
  Result<void> send_instruction_packet(Port& port, const InstructionPacketFeetech& packet) const;
  // Reads one status packet (header, then as many bytes as its length byte
  // says) and parses it for the expected id. A failure's cause names the servo.
  Result<StatusPacketFeetech> read_status_packet(Port& port, std::uint8_t expected_id) const;

 private:
  std::optional<std::chrono::microseconds> pause_;
  Sleep sleep_;
};

}  // namespace servocom
