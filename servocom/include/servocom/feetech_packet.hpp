#pragma once
// Feetech instruction and status packets and their wire format. Pure
// encoding and decoding: nothing here touches a port.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "servocom/error.hpp"

namespace servocom {

enum class Instruction : std::uint8_t {
  Ping = 0x01,
  Read = 0x02,
  Write = 0x03,
  Reboot = 0x08,
  SyncWrite = 0x83,
  SyncRead = 0x82,
};

// Sync packets go to every servo on the bus.
inline constexpr std::uint8_t BROADCAST_ID = 0xFE;

// The length byte holds N + 2, so at most 253 parameter bytes fit a packet.
inline constexpr std::size_t kMaxParams = 253;

// Codes of the status error byte, in ascending bit order (bits 0, 1, 2, 3, 5).
// The servos report them; nothing in this library acts on them.
enum StatusErrorCode : std::uint8_t {
  kVoltageError = 0,
  kAngleSensorError = 1,
  kOverheatError = 2,
  kOvercurrentError = 3,
  kOverloadError = 4,
};

// The complement of the wrapping sum of the bytes: the checksum of both
// packet directions, taken from the id up to the byte before the checksum.
std::uint8_t feetech_checksum(std::span<const std::uint8_t> bytes);

class InstructionPacketFeetech {
 public:
  // Refuses (Kind::InvalidRequest) more than kMaxParams parameter bytes:
  // no length byte could describe them.
  static Result<InstructionPacketFeetech> create(std::uint8_t id, Instruction instruction,
                                                 std::vector<std::uint8_t> params);

  std::uint8_t id() const { return id_; }
  Instruction instruction() const { return instruction_; }
  std::span<const std::uint8_t> params() const { return params_; }
  std::vector<std::uint8_t> to_bytes() const;

 private:
  InstructionPacketFeetech(std::uint8_t id, Instruction instruction, std::vector<std::uint8_t> params)
      : params_(std::move(params)), instruction_(instruction), id_(id) {}
  std::vector<std::uint8_t> params_;
  Instruction instruction_;
  std::uint8_t id_;
};

class StatusPacketFeetech {
 public:
  // Errors: ParsingError (too short, wrong id, wrong length byte) or
  // ChecksumError, which also prints one line to standard output.
  static Result<StatusPacketFeetech> from_bytes(std::span<const std::uint8_t> bytes, std::uint8_t expected_id);

  std::uint8_t id() const { return id_; }
  // StatusErrorCode values of the set bits, ascending.
  std::span<const std::uint8_t> errors() const { return errors_; }
  std::span<const std::uint8_t> params() const { return params_; }

 private:
  StatusPacketFeetech(std::uint8_t id, std::vector<std::uint8_t> errors, std::vector<std::uint8_t> params)
      : errors_(std::move(errors)), params_(std::move(params)), id_(id) {}
  std::vector<std::uint8_t> errors_;
  std::vector<std::uint8_t> params_;
  std::uint8_t id_;
};

// Builders of the packets the transactions send.
struct PacketFeetech {
  static InstructionPacketFeetech read_packet(std::uint8_t id, std::uint8_t address, std::uint8_t length);
  static Result<InstructionPacketFeetech> write_packet(std::uint8_t id, std::uint8_t address,
                                                       std::span<const std::uint8_t> data);
  static Result<InstructionPacketFeetech> sync_read_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                           std::uint8_t length);
  // One data entry per id, all of the same non-zero length; anything else is
  // refused (Kind::InvalidRequest) rather than put on the wire.
  static Result<InstructionPacketFeetech> sync_write_packet(std::span<const std::uint8_t> ids,
                                                            std::uint8_t address,
                                                            std::span<const std::vector<std::uint8_t>> data);
};

}  // namespace servocom
