#include "servocom/feetech_handler.hpp"

#include <array>
#include <string>
#include <thread>
#include <utility>

namespace servocom {

namespace {

constexpr int kDrainPasses = 3;
constexpr std::chrono::microseconds kDrainPause{5000};

void default_sleep(std::chrono::microseconds d) { std::this_thread::sleep_for(d); }

// Reads and drops count bytes through a small buffer, whatever count a
// (possibly confused) port reports.
Result<void> discard(Port& port, std::size_t count) {
  std::array<std::uint8_t, 256> buf{};
  while (count > 0) {
    const std::size_t n = std::min(count, buf.size());
    if (auto r = port.read_exact(std::span(buf.data(), n)); !r) return r;
    count -= n;
  }
  return {};
}

// Sends an instruction without parameters: true when a valid status packet
// for id came back, false when reading or parsing it failed.
Result<bool> answered(const FeetechProtocolHandler& h, Port& port, std::uint8_t id, Instruction instruction) {
  auto packet = InstructionPacketFeetech::create(id, instruction, {});
  if (!packet) return std::unexpected(packet.error());
  if (auto r = h.send_instruction_packet(port, *packet); !r) return std::unexpected(r.error());
  return h.read_status_packet(port, id).has_value();
}

}  // namespace

FeetechProtocolHandler::FeetechProtocolHandler(std::optional<std::chrono::microseconds> pause, Sleep sleep)
    : pause_(pause), sleep_(sleep ? std::move(sleep) : Sleep(default_sleep)) {}

Result<void> FeetechProtocolHandler::discard_stale_input(Port& port) const {
  for (int pass = 0; pass < kDrainPasses; ++pass) {
    auto waiting = port.bytes_waiting();
    if (!waiting) return std::unexpected(waiting.error());
    if (*waiting == 0) return {};
    // Ask again: the first count may have caught a reply still arriving.
    auto again = port.bytes_waiting();
    if (!again) return std::unexpected(again.error());
    if (*again != 0) {
      if (auto r = discard(port, *again); !r) return r;
    }
    sleep_(kDrainPause);
  }
  auto waiting = port.bytes_waiting();
  if (!waiting) return std::unexpected(waiting.error());
  // A bus that keeps talking would collide with our request.
  if (*waiting != 0) return std::unexpected(Error::timeout("input kept arriving while the line was drained"));
  return {};
}

Result<void> FeetechProtocolHandler::send_instruction_packet(Port& port,
                                                             const InstructionPacketFeetech& packet) const {
  if (auto r = discard_stale_input(port); !r) return r;
  const auto bytes = packet.to_bytes();
  // Callers know a failed send as a time-out; the port's own words stay with it.
  if (auto written = port.write_all(bytes); !written) return std::unexpected(Error::timeout(written.error().message()));
  return {};
}

Result<StatusPacketFeetech> FeetechProtocolHandler::read_status_packet(Port& port, std::uint8_t expected_id) const {
  // Every failure says whose reply it was: in a sync read, the first servo that failed.
  const auto failed = [expected_id](Error e) {
    return std::unexpected(std::move(e).at("reply of servo " + std::to_string(expected_id)));
  };
  std::vector<std::uint8_t> bytes(4);
  if (auto r = port.read_exact(bytes); !r) return failed(r.error());
  // Not a packet start: leave the rest for the next send's drain.
  if (bytes[0] != 0xFF || bytes[1] != 0xFF) return failed(Error::parsing());
  const std::size_t length = bytes[3];
  bytes.resize(4 + length);
  if (auto r = port.read_exact(std::span(bytes).subspan(4)); !r) return failed(r.error());
  auto status = StatusPacketFeetech::from_bytes(bytes, expected_id);
  if (!status) return failed(std::move(status.error()));
  return status;
}

Result<bool> FeetechProtocolHandler::ping(Port& port, std::uint8_t id) const {
  return answered(*this, port, id, Instruction::Ping);
}

Result<bool> FeetechProtocolHandler::reboot(Port& port, std::uint8_t id) const {
  return answered(*this, port, id, Instruction::Reboot);
}

Result<std::vector<std::uint8_t>> FeetechProtocolHandler::read(Port& port, std::uint8_t id, std::uint8_t address,
                                                               std::uint8_t length) const {
  auto attempt = [&]() -> Result<std::vector<std::uint8_t>> {
    if (auto r = send_instruction_packet(port, PacketFeetech::read_packet(id, address, length)); !r) {
      return std::unexpected(r.error());
    }
    auto status = read_status_packet(port, id);
    if (!status) return std::unexpected(status.error());
    const auto params = status->params();
    return std::vector<std::uint8_t>(params.begin(), params.end());
  };
  auto result = attempt();
  if (pause_) sleep_(*pause_);
  return result;
}

Result<void> FeetechProtocolHandler::write(Port& port, std::uint8_t id, std::uint8_t address,
                                           std::span<const std::uint8_t> data) const {
  auto packet = PacketFeetech::write_packet(id, address, data);
  if (!packet) return std::unexpected(packet.error());
  if (auto r = send_instruction_packet(port, *packet); !r) return r;
  if (auto status = read_status_packet(port, id); !status) return std::unexpected(status.error());
  if (pause_) sleep_(*pause_);
  return {};
}

Result<std::vector<std::vector<std::uint8_t>>> FeetechProtocolHandler::sync_read(Port& port,
                                                                               std::span<const std::uint8_t> ids,
                                                                               std::uint8_t address,
                                                                               std::uint8_t length) const {
  auto packet = PacketFeetech::sync_read_packet(ids, address, length);
  if (!packet) return std::unexpected(packet.error());
  if (auto r = send_instruction_packet(port, *packet); !r) return std::unexpected(r.error());
  std::vector<std::vector<std::uint8_t>> replies;
  replies.reserve(ids.size());
  for (std::uint8_t id : ids) {
    // The first failure ends the read; unread replies are drained by the next send.
    auto status = read_status_packet(port, id);
    if (!status) return std::unexpected(status.error());
    const auto params = status->params();
    replies.emplace_back(params.begin(), params.end());
  }
  return replies;
}

Result<void> FeetechProtocolHandler::sync_write(Port& port, std::span<const std::uint8_t> ids, std::uint8_t address,
                                                std::span<const std::vector<std::uint8_t>> data) const {
  auto packet = PacketFeetech::sync_write_packet(ids, address, data);
  if (!packet) return std::unexpected(packet.error());
  return send_instruction_packet(port, *packet);
}

}  // namespace servocom
