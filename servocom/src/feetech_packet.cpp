#include "servocom/feetech_packet.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include "common/text.hpp"

namespace servocom {

std::uint8_t feetech_checksum(std::span<const std::uint8_t> bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : bytes) sum = static_cast<std::uint8_t>(sum + b);
  return static_cast<std::uint8_t>(~sum);
}

Result<InstructionPacketFeetech> InstructionPacketFeetech::create(std::uint8_t id, Instruction instruction,
                                                                  std::vector<std::uint8_t> params) {
  if (params.size() > kMaxParams) {
    return std::unexpected(Error::invalid_request("instruction packet has " + std::to_string(params.size()) +
                                                  " parameter bytes, at most " + std::to_string(kMaxParams) +
                                                  " fit a packet"));
  }
  return InstructionPacketFeetech(id, instruction, std::move(params));
}

// Packets are sized once and filled in place. Growing a reserved vector with
// push_back makes GCC 14 at -O3 warn (-Wfree-nonheap-object) about the
// reallocation path that reserve has made unreachable.

std::vector<std::uint8_t> InstructionPacketFeetech::to_bytes() const {
  std::vector<std::uint8_t> out(params_.size() + 6);
  out[0] = 0xFF;
  out[1] = 0xFF;
  out[2] = id_;
  // create() keeps params_ within kMaxParams, so the length fits its byte.
  out[3] = static_cast<std::uint8_t>(params_.size() + 2);
  out[4] = static_cast<std::uint8_t>(instruction_);
  std::ranges::copy(params_, out.begin() + 5);
  out.back() = feetech_checksum(std::span(out).subspan(2, out.size() - 3));
  return out;
}

namespace {

// The one line printed on a checksum mismatch, e.g.
// "read crc: 242, computed crc: 241 data: [255, 255, 1, 4, 0, 0, 8, 242]".
void print_checksum_mismatch(std::uint8_t received, std::uint8_t computed, std::span<const std::uint8_t> data) {
  const std::string line = "read crc: " + std::to_string(received) + ", computed crc: " + std::to_string(computed) +
                           " data: " + velmora::text::bracketed(data, velmora::text::decimal) + "\n";
  // One call, so lines of concurrent parsers never interleave.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::vector<std::uint8_t> error_codes(std::uint8_t error_byte) {
  // Bits 0 to 3 map to codes 0 to 3 and bit 5 to code 4; 4, 6 and 7 carry no code.
  static constexpr struct {
    std::uint8_t mask;
    std::uint8_t code;
  } kBits[] = {{0x01, kVoltageError},
               {0x02, kAngleSensorError},
               {0x04, kOverheatError},
               {0x08, kOvercurrentError},
               {0x20, kOverloadError}};
  std::vector<std::uint8_t> codes;
  for (const auto& bit : kBits) {
    if ((error_byte & bit.mask) != 0) codes.push_back(bit.code);
  }
  return codes;
}

}  // namespace

Result<StatusPacketFeetech> StatusPacketFeetech::from_bytes(std::span<const std::uint8_t> bytes,
                                                            std::uint8_t expected_id) {
  if (bytes.size() < 6) return std::unexpected(Error::parsing());
  const std::uint8_t received = bytes.back();
  const std::uint8_t computed = feetech_checksum(bytes.subspan(2, bytes.size() - 3));
  if (received != computed) {
    print_checksum_mismatch(received, computed, bytes);
    return std::unexpected(Error::checksum());
  }
  // The FF FF header is checked by the reader before it asks for the rest.
  if (bytes[2] != expected_id) return std::unexpected(Error::parsing());
  if (bytes.size() - 4 != bytes[3]) return std::unexpected(Error::parsing());
  std::vector<std::uint8_t> params(bytes.begin() + 5, bytes.end() - 1);
  return StatusPacketFeetech(expected_id, error_codes(bytes[4]), std::move(params));
}

InstructionPacketFeetech PacketFeetech::read_packet(std::uint8_t id, std::uint8_t address, std::uint8_t length) {
  // Two parameter bytes always fit.
  return *InstructionPacketFeetech::create(id, Instruction::Read, {address, length});
}

Result<InstructionPacketFeetech> PacketFeetech::write_packet(std::uint8_t id, std::uint8_t address,
                                                             std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> params(data.size() + 1);
  params[0] = address;
  std::ranges::copy(data, params.begin() + 1);
  return InstructionPacketFeetech::create(id, Instruction::Write, std::move(params));
}

Result<InstructionPacketFeetech> PacketFeetech::sync_read_packet(std::span<const std::uint8_t> ids,
                                                                 std::uint8_t address, std::uint8_t length) {
  std::vector<std::uint8_t> params(ids.size() + 2);
  params[0] = address;
  params[1] = length;
  std::ranges::copy(ids, params.begin() + 2);
  return InstructionPacketFeetech::create(BROADCAST_ID, Instruction::SyncRead, std::move(params));
}

Result<InstructionPacketFeetech> PacketFeetech::sync_write_packet(std::span<const std::uint8_t> ids,
                                                                  std::uint8_t address,
                                                                  std::span<const std::vector<std::uint8_t>> data) {
  // The wire format carries one per-servo length: unpaired ids or entries of
  // different lengths would be read by the servos as someone else's bytes.
  if (ids.empty()) return std::unexpected(Error::invalid_request("sync write needs at least one servo id"));
  if (data.size() != ids.size()) {
    return std::unexpected(Error::invalid_request("sync write has " + std::to_string(ids.size()) + " ids but " +
                                                  std::to_string(data.size()) + " data entries"));
  }
  const std::size_t entry = data.front().size();
  if (entry == 0) return std::unexpected(Error::invalid_request("sync write data entries are empty"));
  for (const auto& d : data) {
    if (d.size() != entry) {
      return std::unexpected(Error::invalid_request("sync write data entries differ in length (" +
                                                    std::to_string(entry) + " and " + std::to_string(d.size()) +
                                                    " bytes)"));
    }
  }
  const std::size_t total = 2 + ids.size() * (entry + 1);
  if (total > kMaxParams) {
    return std::unexpected(Error::invalid_request("sync write needs " + std::to_string(total) +
                                                  " parameter bytes, at most " + std::to_string(kMaxParams) +
                                                  " fit a packet"));
  }
  std::vector<std::uint8_t> params(total);
  params[0] = address;
  params[1] = static_cast<std::uint8_t>(entry);  // entry < total <= kMaxParams
  auto at = params.begin() + 2;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    *at++ = ids[i];
    at = std::ranges::copy(data[i], at).out;
  }
  return InstructionPacketFeetech::create(BROADCAST_ID, Instruction::SyncWrite, std::move(params));
}

}  // namespace servocom
