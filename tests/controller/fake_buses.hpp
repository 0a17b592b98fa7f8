#pragma once
// In-memory stand-ins for the two buses: a Feetech servo bus that parses the
// instruction packets it is sent and answers like the servos would, and a CAN
// bus with three Damiao motors. Plus a fake clock and a log capture, so the
// controller can be driven without hardware or real waiting.

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "controller/controller.hpp"
#include "motorcom/can.hpp"
#include "servocom/port.hpp"

namespace velmora::controller::testing {

struct Packet {
  std::uint8_t id;
  std::uint8_t instruction;
  std::vector<std::uint8_t> params;
};

struct ServoBusState {
  std::array<std::array<std::uint8_t, 256>, 8> registers{};
  // The absolute encoder angle of each servo; present position is derived
  // from it and the stored offset when read.
  std::array<double, 8> encoder{};
  std::set<std::uint8_t> present{1, 2, 3, 4, 5, 6, 7};
  // Pings a servo ignores after a reboot instruction (-1: it never answers again).
  std::array<int, 8> silent_after_reboot{};
  // Servos that add the offset instead of subtracting it.
  bool inverted_offset = false;
  bool fail_writes = false;
  std::vector<Packet> received;
  std::deque<std::uint8_t> rx;
  // Extra bytes put on the line after the next instruction (raw replies).
  std::vector<std::uint8_t> next_extra;
  // Runs for every instruction, before the servos answer it (it may throw).
  std::function<void(const Packet&)> on_packet;
};

class FakeServoPort final : public servocom::Port {
 public:
  explicit FakeServoPort(std::shared_ptr<ServoBusState> state) : s_(std::move(state)) {}
  servocom::Result<std::size_t> bytes_waiting() override;
  servocom::Result<void> read_exact(std::span<std::uint8_t> buf) override;
  servocom::Result<void> write_all(std::span<const std::uint8_t> data) override;
  servocom::Result<void> drain() override { return {}; }

 private:
  void answer(const Packet& p);
  void reply(std::uint8_t id, std::vector<std::uint8_t> data);
  std::vector<std::uint8_t> read_registers(std::uint8_t id, std::uint8_t address, std::uint8_t length) const;
  std::shared_ptr<ServoBusState> s_;
  std::array<int, 8> silent_{};
};

struct MitSent {
  std::uint16_t motor;
  double position;
  std::uint16_t kp_code;
  std::uint16_t kd_code;
};

struct NeckMotor {
  double position = 0.0;
  std::uint32_t mode = 1;
  bool enabled = false;
  bool blocked = false;
  bool silent = false;
  bool mute_commands = false;  // answers feedback requests, not commands
  bool refuse_mode = false;
};

struct NeckBusState {
  std::array<NeckMotor, 4> motors{};  // index = CAN id (0 unused)
  std::vector<motorcom::CanFrame> sent;
  std::vector<MitSent> mit;
  std::deque<motorcom::CanFrame> replies;
};

class FakeNeckBus final : public motorcom::CanTransport {
 public:
  explicit FakeNeckBus(std::shared_ptr<NeckBusState> state) : s_(std::move(state)) {}
  motorcom::CanResult<void> send(const motorcom::CanFrame& frame) override;
  motorcom::CanResult<motorcom::CanFrame> recv(std::chrono::nanoseconds timeout) override;

 private:
  void feedback(std::uint16_t id);
  std::shared_ptr<NeckBusState> s_;
};

struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  std::vector<std::chrono::microseconds> sleeps;
};

// A controller wired to fresh fakes; `serial` false builds a neck-only one.
struct Rig {
  std::shared_ptr<ServoBusState> servos = std::make_shared<ServoBusState>();
  std::shared_ptr<NeckBusState> neck = std::make_shared<NeckBusState>();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::unique_ptr<VelmoraMotorController> controller;
  explicit Rig(bool serial = true);
};

// Raw register helpers for the fake servos.
void set_u16(ServoBusState& s, std::uint8_t id, std::uint8_t address, std::uint16_t value);
std::uint16_t get_u16(const ServoBusState& s, std::uint8_t id, std::uint8_t address);
// The neck reply's position as the controller decodes it (a 16-bit code).
double quantized_neck_position(double radians);

struct LogRecord {
  log::Level level;
  std::string target;
  std::string message;
  std::string file;
  unsigned line = 0;
};
// Records written since the last call (installs the capture sink on first use).
std::vector<LogRecord> take_log();

}  // namespace velmora::controller::testing
